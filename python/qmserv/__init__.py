"""Servers written in Python.

The plug-in imports this package once, in its root interpreter, when Python
starts.  It marks the interface classes (qmserv.interfaces: one class per
host interface a Python server may implement) and then loads the user's
server modules: every *.py file of the host's servers folder (the folder
the host's "servers:" alias names) and of each folder named "servers" on
the import path, in name order.  A server module derives its classes from
the interface classes and blesses them:

    import qm
    from qmserv import interfaces

    class Gravity(interfaces.SimulationModifier):
        def sim_Enabled(self, chanRead):
            return True
        ...

    qm.bless(Gravity, "gravity", {"label": "Gravity"})

Server modules are loaded by their path, each as a module of this package
(qmserv._servers.NAME), so that a file named like a standard module
(random.py, json.py) is loaded all the same and the standard module keeps
its name.  A server module is also known by its plain name when a plain
import would find that very file (its folder is on the import path and
nothing earlier there has the name), so that other code can import it.

A module that fails to load is reported to the event log (an error entry
of the "python" subsystem, "loading Python servers from PATH failed", with
the lines of its traceback under it), listed in `failures`, and skipped;
the others still load.  Servers load only in the root interpreter: a
script's own interpreter can import this package for its classes but
blesses nothing.
"""
import imp
import os
import sys

import qm
from qmserv import interfaces

# The server modules that failed to load: (path, traceback text), in the
# order they were tried.
failures = []

# The package the server modules are loaded into.  Its path is empty: a
# server module's plain imports find the standard modules, never another
# server module of the same folder by accident.
_PACKAGE = __name__ + "._servers"


def _package():
    package = sys.modules.get(_PACKAGE)
    if package is None:
        package = imp.new_module(_PACKAGE)
        package.__path__ = []
        package.__file__ = __file__
        sys.modules[_PACKAGE] = package
        globals()["_servers"] = package
    return package


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _source_of(module):
    path = getattr(module, "__file__", None)
    if not isinstance(path, str):
        return None
    if path.endswith((".pyc", ".pyo")):
        path = path[:-1]
    return path


def _host_servers_folder():
    """The folder the host's "servers:" alias names, or None."""
    try:
        folder = qm.service.File().ToLocalAlias("servers:")
    except Exception:
        return None
    return folder if isinstance(folder, str) and folder else None


def _server_folders():
    folders = [entry for entry in list(sys.path)
               if isinstance(entry, str) and os.path.basename(os.path.normpath(entry)) == "servers"]
    host = _host_servers_folder()
    if host is not None:
        folders.append(host)
    seen = []
    for entry in folders:
        folder = os.path.abspath(entry)
        if os.path.isdir(folder) and not any(_same_file(folder, s) for s in seen):
            seen.append(folder)
            yield folder


def _plain_module(name, path):
    """What the plain name `name` stands for as far as the server file at
    `path` is concerned: (module, True) when that file is already loaded
    under it, (None, True) when a plain import would load that file,
    (None, False) when the name belongs to something else."""
    if "." in name:
        return None, False
    loaded = sys.modules.get(name)
    if loaded is not None:
        source = _source_of(loaded)
        return (loaded, True) if source and _same_file(source, path) else (None, False)
    try:
        found = imp.find_module(name)
    except Exception:
        return None, False
    if found[0] is not None:
        found[0].close()
    mine = found[2][2] == imp.PY_SOURCE and _same_file(found[1], path)
    return None, mine


def _report(path, text):
    heading = "loading Python servers from %s failed" % path
    try:
        logs = qm.service.Log()
        entry = logs.CreateEntryMessage(qm.result.FAILED & 0xFFFFFFFF, heading)
        for line in text.rstrip("\n").split("\n"):
            entry.AddEntry(logs.CreateEntryMessage(qm.result.INFO, line))
        logs.SubSystemLookup("python").AddEntry(entry)
    except Exception:
        # A host without that log still shows the plug-in's own output.
        try:
            qm.out("%s:\n%s" % (heading, text.rstrip("\n")))
        except Exception:
            pass


def _load(folder, filename):
    path = os.path.join(folder, filename)
    name = filename[:-3]
    package = _package()
    private = "%s.%s" % (_PACKAGE, name)
    n = 2
    while private in sys.modules:
        private = "%s.%s_%d" % (_PACKAGE, name, n)
        n += 1
    plain, mine = _plain_module(name, path)
    if plain is not None:
        # Imported already by its plain name (another server module
        # imported it): the same module, not a second copy.
        sys.modules[private] = plain
        setattr(package, private.rsplit(".", 1)[1], plain)
        return
    module = imp.new_module(private)
    # Its imports are absolute, as those of a top-level module: "import
    # random" in it is the standard module, whatever the server modules
    # are called.
    module.__package__ = ""
    sys.modules[private] = module
    if mine:
        sys.modules[name] = module
    try:
        # Runs the file in the module made above (the one in sys.modules).
        imp.load_source(private, path)
    except:
        kind, value, tb = sys.exc_info()
        # The first frame is this function's.
        import traceback  # only for a module that failed: the start stays light
        text = "".join(traceback.format_exception(kind, value, tb.tb_next if tb else None))
        del tb
        for key in (private, name):
            if sys.modules.get(key) is module:
                del sys.modules[key]
        failures.append((path, text))
        _report(path, text)
        return
    setattr(package, private.rsplit(".", 1)[1], module)


def _load_servers():
    for folder in _server_folders():
        try:
            filenames = sorted(os.listdir(folder))
        except OSError:
            continue
        for filename in filenames:
            stem, ext = os.path.splitext(filename)
            if ext != ".py" or stem.startswith("_") or not stem:
                continue
            _load(folder, filename)


if interfaces.MARKED:
    _load_servers()

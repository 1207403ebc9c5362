#!/usr/bin/env python
# Writes what the running package has, as JSON, to the file named by the
# first argument: every function and type of qm with its docstring, the
# types of qm.object and qm.service with their methods and docstrings, the
# names and values of qm.symbol and qm.result, what qm.throw raises for each
# failure code, and the public names of the qmserv modules.
import inspect
import json
import types

import qm
import qmserv
import qmserv.command
import qmserv.interfaces

SUBMODULES = ("object", "service", "result", "symbol", "ifc")


def methods(cls):
    return dict((name, getattr(cls, name).__doc__) for name in dir(cls)
                if not name.startswith("__"))


def type_entry(cls):
    return {"name": cls.__name__, "module": cls.__module__, "doc": cls.__doc__,
            "methods": methods(cls)}


def types_of(module):
    return dict((name, type_entry(value)) for name, value in vars(module).items()
                if isinstance(value, type))


def public(module):
    """The public names a module defines (not those it imports), with their
    kind; a class with the public names it defines itself."""
    names = {}
    for name, value in vars(module).items():
        if name.startswith("_"):
            continue
        if isinstance(value, types.ModuleType):
            if value.__name__.startswith(module.__name__ + "."):
                names[name] = {"kind": "module"}
            continue
        if inspect.isclass(value) or inspect.isfunction(value):
            if value.__module__ != module.__name__:
                continue
        if inspect.isclass(value):
            own = sorted(n for n in vars(value) if not n.startswith("_"))
            names[name] = {"kind": "class", "members": own, "doc": value.__doc__}
        elif inspect.isfunction(value):
            names[name] = {"kind": "function"}
        else:
            names[name] = {"kind": "value"}
    return names


def raised(code):
    try:
        qm.throw(code & 0xFFFFFFFF)
    except Exception, e:
        return [type(e).__name__, str(e)]
    return None


functions = {}
qm_types = {}
for name, value in vars(qm).items():
    if name.startswith("__") or name in SUBMODULES:
        continue
    if isinstance(value, type):
        qm_types[name] = type_entry(value)
    else:
        functions[name] = value.__doc__

dump = {
    "doc": qm.__doc__,
    "functions": functions,
    "types": qm_types,
    "submodules": [n for n in SUBMODULES if isinstance(getattr(qm, n, None), types.ModuleType)],
    "object": types_of(qm.object),
    "service": types_of(qm.service),
    "symbol": dict((n, v) for n, v in vars(qm.symbol).items() if not n.startswith("__")),
    "result": dict((n, v) for n, v in vars(qm.result).items() if not n.startswith("__")),
    "ifc": sorted(n for n in vars(qm.ifc) if not n.startswith("__")),
    "raises": dict(("0x%08X" % (v & 0xFFFFFFFF), raised(v))
                   for n, v in vars(qm.result).items() if not n.startswith("__") and v < 0),
    "qmserv": dict((m.__name__, public(m))
                   for m in (qmserv, qmserv.command, qmserv.interfaces)),
}
out = open(qm.args()[0], "w")
json.dump(dump, out, indent=1, sort_keys=True)
out.close()
print "dumped %d object types, %d service types, %d symbols" % (
    len(dump["object"]), len(dump["service"]), len(dump["symbol"]))

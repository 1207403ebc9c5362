"""What the editor stubs (stubs.py) and the API reference (reference.py)
are made from: the interface catalogues as gen.py reads them, package.txt
(the qm package's own functions and types) and, for the reference, the
reference host's tables (qmhost_tables)."""
import ast
import os
import re

import gen
from kinds import CatalogError

TYPING_NAMES = ("Any", "Dict", "List", "Mapping", "NoReturn", "Optional", "Sequence", "Tuple",
                "Union")
TYPING_RE = re.compile(r"\b(%s)\b" % "|".join(TYPING_NAMES))


def qualify_typing(annotation):
    """Writes the names of the typing module as `_t.NAME`: a method may be
    named like one of them (Optional, Type), and a name defined in a class
    hides a module's name from the annotations after it."""
    return TYPING_RE.sub(r"_t.\1", annotation)


def catalog_files(folder):
    names = sorted(n for n in os.listdir(folder) if n.endswith(".ifc"))
    return [os.path.join(folder, n) for n in names + ["results.txt", "families.txt"]]


def load(paths):
    """The catalogue and package.txt, both among `paths`."""
    package = [p for p in paths if os.path.basename(p) == "package.txt"]
    if len(package) != 1:
        raise CatalogError("expected package.txt among the catalogue files")
    return gen.load([p for p in paths if p not in package]), parse_package(package[0])


def write(outdir, files):
    """Writes (name, text) pairs below `outdir`, each only when its text changes."""
    for name, text in files:
        path = os.path.join(outdir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        gen.write_if_changed(path, text)


# --- package.txt -------------------------------------------------------------------------


class Decl:
    """A function, type or method of package.txt."""

    def __init__(self, kind, name, params, result, source):
        self.kind, self.name, self.params, self.result = kind, name, params, result
        self.source = source
        self.doc = None     # the docstring the code gives it
        self.text = []      # lines of its description
        self.methods = []   # of a type

    @property
    def module(self):
        """The submodule of qm a type stands in ("" for qm itself)."""
        return self.name.rpartition(".")[0]

    @property
    def short(self):
        return self.name.rpartition(".")[2]

    def signature(self):
        text = "%s(%s)" % (self.short, self.params)
        return text + (" -> " + self.result if self.result else "")


class Package:
    def __init__(self):
        self.doc, self.text = None, []
        self.functions, self.types = [], []
        self.exceptions = {}   # failure code -> (exception class, message)
        self.other = None      # (exception class, message) of the other codes

    def exception(self, code, name):
        """What qm.throw raises for failure `code`, whose name is `name`."""
        cls, message = self.exceptions.get(code, self.other)
        return cls, message.replace("NAME", name)


DECL_RE = re.compile(r"^(\s*)(function|type|method)\s+([\w.]+)\((.*)\)\s*(?:->\s*(.+?))?\s*$")
EXCEPTION_RE = re.compile(r'^exception\s+(0x[0-9A-Fa-f]{8}|other)\s+(\w+)\s+"(.*)"\s*$')


def check_annotations(params, result, where):
    try:
        ast.parse("def f(%s) -> %s: pass" % (params, result or "None"))
    except SyntaxError:
        raise CatalogError("%s: parameters or result are not Python" % where)


def parse_package(path):
    package = Package()
    current = None
    owner = None  # the type whose methods follow
    for lineno, raw in enumerate(open(path), 1):
        line = raw.rstrip("\n")
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        where = "catalog/%s:%d" % (os.path.basename(path), lineno)
        stripped = line.strip()
        if stripped.startswith("module "):
            package.doc = ast.literal_eval(stripped[len("module "):])
            current = package
            continue
        m = EXCEPTION_RE.match(stripped)
        if m:
            answer = (m.group(2), m.group(3))
            if m.group(1) == "other":
                package.other = answer
            else:
                package.exceptions[int(m.group(1), 16)] = answer
            current = None
            continue
        m = DECL_RE.match(line)
        if m:
            indent, kind, name, params, result = m.groups()
            check_annotations(params, result, where)
            current = Decl(kind, name, params, result, where)
            if kind == "method":
                if owner is None or not indent:
                    raise CatalogError("%s: a method belongs under a type" % where)
                owner.methods.append(current)
            elif kind == "type":
                owner = current
                package.types.append(current)
            else:
                owner = None
                package.functions.append(current)
            continue
        if current is None:
            raise CatalogError("%s: text outside a declaration" % where)
        if stripped.startswith('"'):
            current.doc = ast.literal_eval(stripped)
        elif stripped.startswith("|"):
            current.text.append(stripped[1:].strip())
        else:
            raise CatalogError("%s: expected a declaration, a docstring or '| text'" % where)
    if package.doc is None or package.other is None:
        raise CatalogError("%s: the module line or the other codes' exception is missing" % path)
    return package


def paragraphs(lines):
    """Description lines joined into one paragraph."""
    return " ".join(lines)


# --- The catalogue's views --------------------------------------------------------------


def code_names(catalog):
    """Result code -> the name registered last for it (the one that names it)."""
    names = {}
    for name, code in catalog.results:
        names[code] = name
    return names


def signed(code):
    return code - (1 << 32) if code & 0x80000000 else code


def symbols(catalog):
    """[(symbol, family)] in set-up order, each name once."""
    seen, result = set(), []
    for family in catalog.family_order:
        for s in gen.family_items(catalog, family)[1]:
            if s.name not in seen:
                seen.add(s.name)
                result.append((s, family))
    return result


SYMBOL_GROUPS = [
    ("u_", "interface and service GUIDs"), ("a_", "server, interface and item type names"),
    ("s", "strings"), ("s_", "strings"), ("f", "flag bits"), ("f_", "flag values"),
    ("i", "enumerations"), ("i_", "integer constants"), ("e", "informational results"),
    ("e_", "result codes"), ("m", "masks"), ("a", "states"), ("v_", "floats")]


def symbol_group(name):
    head = name.split("_", 1)[0] + "_" if "_" in name and len(name.split("_", 1)[0]) == 1 else None
    if head in dict(SYMBOL_GROUPS):
        return head
    return name[0]


def scripted(catalog, service):
    return [i for i in catalog.interfaces if i.scripted and i.service == service]


def servers(catalog):
    return [i for i in catalog.interfaces if i.server]


# --- The reference host's tables ----------------------------------------------------------


class HostTables:
    def __init__(self, path):
        self.services = {}  # service -> {method: implemented}
        self.texts = {}     # result code -> the host's text
        for lineno, line in enumerate(open(path), 1):
            parts = line.rstrip("\n").split("\t")
            if parts[0] == "service" and len(parts) == 4:
                self.services.setdefault(parts[1], {})[parts[2]] = parts[3] == "yes"
            elif parts[0] == "result" and len(parts) == 3:
                self.texts[int(parts[1], 16)] = parts[2]
            else:
                raise CatalogError("%s:%d: not a line of the host's tables" % (path, lineno))

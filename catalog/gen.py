#!/usr/bin/env python3
"""Turns the catalogues under catalog/ into C++.

    gen.py OUTDIR CATALOG...

*.ifc files declare interfaces, families and constants (see
catalog/README.md); results.txt lists the result codes; families.txt the
order in which families are set up.  Every output is rewritten only when its
text changes, so that a catalogue edit rebuilds only what depends on it.
"""
import keyword
import os
import re
import sys
import zlib

WRAPPER_SHARDS = 8


# Parameter and result kinds, one class each: see kinds.py.
from kinds import CatalogError, KINDS, RETURNS, RULE_RETURN, SLOT_ANSWERS, ZERO_ENDED  # noqa: E402


FIXED = {"notimpl": "QMe_NOTIMPL", "zero": "0", "nothing": None}

CPP_KEYWORDS = {"class", "default", "delete", "new", "operator", "template", "this", "union",
                "register", "int", "float", "double", "char", "bool", "long", "short",
                "unsigned", "signed", "const", "switch", "case", "do", "for", "while", "if",
                "else", "return", "struct", "typename", "namespace", "private", "public",
                "protected", "virtual", "friend", "auto", "static", "void", "self", "args"}


def py_name(name):
    """A parameter's name as Python can write it."""
    return name + "_" if keyword.iskeyword(name) or name == "self" else name


def py_type(annotation, o):
    """An annotation of kinds.py for a file where `o` qualifies the types
    of qm.object."""
    return annotation.replace("{o}", o)


def py_results(annotations):
    """One annotation for a call's results: None, one, or a tuple of them."""
    if not annotations:
        return "None"
    if len(annotations) == 1:
        return annotations[0]
    return "Tuple[%s]" % ", ".join(annotations)


class Param:
    def __init__(self, kind, name, out, wraps, index, length=None):
        self.kind, self.name, self.out, self.wraps = kind, name, out, wraps
        self.length = length  # of an array: a number, another parameter's name, or None
        self.count = None     # of an array: the integer parameter its length names
        self.named = name is not None
        self.cname = name if name is not None else "result%d" % index
        if self.cname in CPP_KEYWORDS:
            self.cname += "_"

    @property
    def k(self):
        return KINDS[self.kind]

    def c_decl(self):
        """The C++ parameter(s) of the host method."""
        return self.k.c_decl(self.cname, self.out)

    def result_doc(self):
        return self.k.result_doc(self) + (" " + self.name if self.named else "")


class Method:
    def __init__(self, name, params, result, flags, source):
        self.name, self.params, self.result, self.flags = name, params, result, flags
        self.source = source
        self.script = True  # set from the interface's script list

    @property
    def ret(self):
        return RETURNS[self.result]

    @property
    def rtype(self):
        return self.ret.ctype

    @property
    def fail_value(self):
        return self.ret.fail

    @property
    def fixed(self):
        """The fixed answer of a Python server's slot, or False."""
        return self.flags.get("python", False)

    def c_params(self, with_self):
        parts = ["void* self"] if with_self else []
        for p in self.params:
            parts += p.c_decl()
        return ", ".join(parts)

    def arg_names(self):
        return ", ".join(n for p in self.params for n in p.k.c_arg_names(p.cname))

    def inputs(self):
        return [p for p in self.params if not p.out and not p.k.hidden]

    def outputs(self):
        return [p for p in self.params if p.out]

    def result_targets(self):
        """Where a Python server's result goes, in order: None for the
        method's return value (when it has one with a rule), then each
        out-parameter."""
        return ([None] if self.ret.rule is not None else []) + self.outputs()

    # The docstring of the wrapper method.
    def docstring(self):
        params = ",".join("%s %s" % (p.k.doc, p.name) for p in self.inputs())
        results = []
        if self.ret.doc is not None:
            results.append(self.ret.doc)
        results += [p.result_doc() for p in self.outputs()]
        call = "%s(%s)" % (self.name, params)
        if not results:
            return call
        if len(results) == 1:
            return "%s = %s" % (results[0], call)
        return "(%s) = %s" % (",".join(results), call)

    def wrapper_format(self):
        return "".join(p.k.fmt for p in self.inputs())

    @property
    def catch(self):
        """What a Python server's slot answers on a failure: "n" nothing (a
        no-result method), "v" 0 (a value method), None the result code."""
        if self.rtype == "void":
            return "n"
        return "v" if self.result is not None else None

    # What a Python server sees: "Name(fmt)[kinds]:kind >rule".
    def server_signature(self):
        if self.fixed is not False:
            return "[%s]" % {"notimpl": "QMe_NOTIMPL", "zero": "0", "nothing": "nothing"}[self.fixed]
        units = "".join(p.k.unit for p in self.inputs())
        text = "%s(%s)" % (self.name, units)
        kinds = [p.k.bracket or "O" for p in self.inputs() if p.k.unit == "O"]
        if any(k != "O" for k in kinds):
            text += "[%s]" % ",".join(kinds)
        if self.catch is not None:
            text += ":" + self.catch
        rules = []
        if self.ret.rule is not None:
            rules.append(self.ret.rule)
        rules += [p.k.rule for p in self.outputs()]
        if len(rules) == 1:
            text += " >" + rules[0]
        elif rules:
            text += " >t(%s)" % ",".join(rules)
        return text

    # --- Python types (the annotations of kinds.py), for the editor stubs,
    # the API reference and the interface classes' docstrings ---
    def script_params(self, o):
        """[(name, annotation)] of what a script passes."""
        return [(py_name(p.name), py_type(p.k.py_arg, o)) for p in self.inputs()]

    def script_result(self, o):
        results = [self.ret.py_result] if self.ret.doc is not None else []
        results += [p.k.script_result_type(p) for p in self.outputs()]
        return py_results([py_type(r, o) for r in results])

    def server_params(self, o):
        """[(name, annotation)] of what a Python server receives."""
        return [(py_name(p.name), py_type(p.k.py_receives, o)) for p in self.inputs()]

    def server_answer(self, o):
        """Annotation of what a Python server returns."""
        answers = [self.ret.py_answer if t is None else t.k.py_answer
                   for t in self.result_targets()]
        return py_results([py_type(a, o) for a in answers])

    def server_call(self, prefix, o):
        """The Python method a server defines: "sim_Step(time: float) -> None"."""
        params = ", ".join("%s: %s" % p for p in self.server_params(o))
        return "%s_%s(%s) -> %s" % (prefix, self.name, params, self.server_answer(o))


class Interface:
    def __init__(self, name, cname, guid, prefix, source, service, family, flags):
        self.name, self.cname, self.guid, self.prefix = name, cname, guid, prefix
        self.source, self.service, self.family = source, service, family
        self.object = "object" in flags
        self.server = "server" in flags
        self.methods = []
        self.script_order = None

    @property
    def short(self):
        """The C++ name without its IQm prefix (Module, GUIDService)."""
        return self.cname[3:]

    @property
    def scripted(self):
        return self.service or self.object

    def script_methods(self):
        if self.script_order is None:
            return [m for m in self.methods]
        by_name = {m.name: m for m in self.methods}
        return [by_name[n] for n in self.script_order]

    @property
    def py_type(self):
        return ("QmSvc_" if self.service else "QmObj_") + self.name

    @property
    def u_symbol(self):
        return "u_" + self.name.upper() + ("SERVICE" if self.service else "")


class Symbol:
    def __init__(self, name, kind, value):
        self.name, self.kind, self.value = name, kind, value


class Catalog:
    def __init__(self):
        self.interfaces = []
        self.families = {}      # name -> list of interfaces and symbols in order
        self.family_order = []  # from families.txt
        self.results = []


# --- Parsing ----------------------------------------------------------------------------

GUID_RE = re.compile(r"^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-"
                     r"[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$")
HEAD_RE = re.compile(r"^(interface|service)\s+(\w+)\s+(\S+)\s+prefix\s+(\w+)((?:\s+\w+)*)\s*$")
METHOD_RE = re.compile(r"^(\w+)\s*\((.*?)\)\s*(?:->\s*(\w+))?\s*(?:\{(.*)\})?\s*$")
PARAM_RE = re.compile(r"^(out\s+)?([\w\[\]-]+)(?:<(\w+)>)?(?:\s+(\w+))?$")
SYMBOL_RE = re.compile(r"^symbol\s+(\w+)\s+(.+?)\s*$")


def parse_value(text, where):
    if text.startswith('"'):
        if not text.endswith('"') or len(text) < 2:
            raise CatalogError("%s: unterminated string" % where)
        return "s", text[1:-1]
    try:
        if re.match(r"^-?(0x[0-9A-Fa-f]+|\d+)$", text):
            value = int(text, 0)
            if value >= 2 ** 31:
                value -= 2 ** 32  # a 32-bit code with its top bit set
            if not -2 ** 31 <= value < 2 ** 31:
                raise ValueError
            return "i", value
        return "f", float(text)
    except ValueError:
        raise CatalogError("%s: bad value %s" % (where, text))


def parse_ifc(path, catalog):
    current = None
    family = None
    for lineno, raw in enumerate(open(path), 1):
        line = raw.split("#", 1)[0].rstrip()
        if not line.strip():
            continue
        where = "catalog/%s:%d" % (os.path.basename(path), lineno)
        if not line[0].isspace():
            words = line.split()
            if words[0] == "family":
                if len(words) != 2 or not FAMILY_RE.match(words[1]):
                    raise CatalogError("%s: expected 'family NAME'" % where)
                family = words[1]
                catalog.families.setdefault(family, [])
                current = None
                continue
            if words[0] == "symbol":
                m = SYMBOL_RE.match(line)
                if not m or family is None:
                    raise CatalogError("%s: expected 'symbol NAME VALUE' inside a family" % where)
                kind, value = parse_value(m.group(2), where)
                catalog.families[family].append(Symbol(m.group(1), kind, value))
                current = None
                continue
            m = HEAD_RE.match(line)
            if not m:
                raise CatalogError("%s: expected 'interface|service NAME GUID prefix PFX'" % where)
            if family is None:
                raise CatalogError("%s: interface outside a family" % where)
            kind, name, guid, prefix, flags = m.groups()
            flags = flags.split()
            for f in flags:
                if f not in ("object", "server"):
                    raise CatalogError("%s: unknown interface flag %s" % (where, f))
            if not GUID_RE.match(guid):
                raise CatalogError("%s: bad GUID %s" % (where, guid))
            cname = "IQm" + name + ("Service" if kind == "service" else "")
            current = Interface(name, cname, guid, prefix, where, kind == "service", family, flags)
            catalog.interfaces.append(current)
            catalog.families[family].append(current)
            continue
        if current is None:
            raise CatalogError("%s: method outside an interface" % where)
        text = line.strip()
        if text.startswith("script:"):
            current.script_order = text[len("script:"):].split()
            continue
        m = METHOD_RE.match(text)
        if not m:
            raise CatalogError("%s: expected 'Method(type name, ...) [-> type] [{flags}]'" % where)
        mname, plist, result, flagtext = m.groups()
        if result not in RETURNS:
            raise CatalogError("%s: unknown result type %s" % (where, result))
        flags = {}
        for item in filter(None, (s.strip() for s in (flagtext or "").split(","))):
            key, _, value = item.partition(":")
            key, value = key.strip(), value.strip()
            if key == "waits" and not value:
                flags[key] = True
                continue
            if key != "python" or value not in FIXED:
                raise CatalogError("%s: unknown method flag '%s'" % (where, item))
            flags[key] = value
        params = []
        for index, item in enumerate(filter(None, (s.strip() for s in plist.split(",")))):
            pm = PARAM_RE.match(item)
            if not pm:
                raise CatalogError("%s: bad parameter '%s'" % (where, item))
            out, kind, wraps, name = bool(pm.group(1)), pm.group(2), pm.group(3), pm.group(4)
            length = None
            am = re.match(r"^(\w+)\[([\w-]+)\]$", kind)
            if am:
                kind, length = am.group(1) + "[]", am.group(2)
                if kind not in KINDS:
                    raise CatalogError("%s: bad parameter '%s'" % (where, item))
                if re.match(r"^[0-9]+$", length):
                    length = int(length)
                elif length == ZERO_ENDED:
                    if not KINDS[kind].counts_elements:
                        raise CatalogError("%s: only an integer list can be ended by 0" % where)
                elif not re.match(r"^[A-Za-z_]\w*$", length):
                    raise CatalogError("%s: bad array length '%s'" % (where, length))
            if kind not in KINDS:
                raise CatalogError("%s: bad parameter '%s'" % (where, item))
            k = KINDS[kind]
            if out and k.c_out is None:
                raise CatalogError("%s: %s cannot be an out-parameter" % (where, kind))
            if not out and k.c_in is None:
                raise CatalogError("%s: %s can only be an out-parameter" % (where, kind))
            if name is None and not out:
                raise CatalogError("%s: only out-parameters may be unnamed" % where)
            if wraps is not None and not k.host_object:
                raise CatalogError("%s: only obj names an interface" % where)
            params.append(Param(kind, name, out, wraps, index, length))
        names = [p.cname for p in params]
        if len(set(names)) != len(names):
            raise CatalogError("%s: repeated parameter name" % where)
        for p in params:
            if isinstance(p.length, str) and p.length != ZERO_ENDED:
                p.count = next((q for q in params if q.name == p.length), None)
                if p.count is None or p.count.out or not p.count.k.counts:
                    raise CatalogError("%s: array length %s is no integer parameter"
                                       % (where, p.length))
        if any(mm.name == mname for mm in current.methods):
            raise CatalogError("%s: method %s declared twice" % (where, mname))
        current.methods.append(Method(mname, params, result, flags, where))


def parse_results(path, catalog):
    for lineno, raw in enumerate(open(path), 1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        parts = line.split()
        if len(parts) != 2 or not re.match(r"^0x[0-9A-Fa-f]{8}$", parts[1]):
            raise CatalogError("%s:%d: expected 'NAME 0xXXXXXXXX'" % (path, lineno))
        catalog.results.append((parts[0], int(parts[1], 16)))


# A family names generated files: a short lower-case word.
FAMILY_RE = re.compile(r"^[a-z][a-z0-9_]{0,39}$")


def parse_families(path, catalog):
    for lineno, raw in enumerate(open(path), 1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        if not FAMILY_RE.match(line):
            raise CatalogError("%s:%d: a family is a short lower-case word, not '%s'"
                               % (path, lineno, line))
        catalog.family_order.append(line)


def check(catalog):
    for kind, key in (("C++ name", lambda i: i.cname), ("GUID", lambda i: i.guid.upper())):
        seen = {}
        for i in catalog.interfaces:
            k = key(i)
            if k in seen:
                raise CatalogError("%s: %s %s already used at %s" % (i.source, kind, k, seen[k]))
            seen[k] = i.source
    names = {}
    for i in catalog.interfaces:
        if i.scripted:
            key = (i.service, i.name)
            if key in names:
                raise CatalogError("%s: type %s already declared" % (i.source, i.name))
            names[key] = i
    for i in catalog.interfaces:
        if i.script_order is not None:
            declared = {m.name for m in i.methods}
            for n in i.script_order:
                if n not in declared:
                    raise CatalogError("%s: script method %s is not declared" % (i.source, n))
            if len(set(i.script_order)) != len(i.script_order):
                raise CatalogError("%s: script list repeats a method" % i.source)
        if not i.scripted:
            continue
        for m in i.script_methods():
            for p in m.params:
                if not p.k.script:
                    raise CatalogError("%s: %s cannot be scripted (%s)" % (m.source, m.name, p.kind))
    listed = set(catalog.family_order)
    for f in catalog.families:
        if f not in listed:
            raise CatalogError("family %s is missing from families.txt" % f)
    for f in catalog.family_order:
        catalog.families.setdefault(f, [])  # a family may have nothing declared yet
    symbols = {}  # a constant may stand in two families, with one value
    for f in catalog.family_order:
        here = set()
        for item in catalog.families[f]:
            if isinstance(item, Interface):
                name, value = item.u_symbol, ("s", item.guid.upper())
            else:
                name, value = item.name, (item.kind, item.value)
            if name in here:
                raise CatalogError("symbol %s stands twice in family %s" % (name, f))
            here.add(name)
            if name in symbols and symbols[name] != value:
                raise CatalogError("symbol %s has two values" % name)
            symbols[name] = value
    # A wrapper method that hands out an object of a type no declaration
    # makes would fail at every call.
    objects = {i.name for i in catalog.interfaces if i.object}
    for i in catalog.interfaces:
        if not i.scripted:
            continue
        for m in i.script_methods():
            for p in m.outputs():
                if p.k.host_object and (p.wraps or "Unknown") not in objects:
                    raise CatalogError("%s: %s hands out %s, which is no declared object type"
                                       % (m.source, m.name, p.wraps))


# --- Output: SDK --------------------------------------------------------------------------

HEADER = "// Generated by catalog/gen.py from the catalogues; do not edit.\n#pragma once\n\n"
SOURCE = "// Generated by catalog/gen.py from the catalogues; do not edit.\n"


def guid_initializer(text):
    h = text.replace("-", "")
    d4 = ", ".join("0x%s" % h[16 + 2 * i:18 + 2 * i].upper() for i in range(8))
    return "{0x%sU, 0x%s, 0x%s, {%s}}" % (h[0:8].upper(), h[8:12].upper(), h[12:16].upper(), d4)


def canonical_guid(text):
    return text.upper()


def gen_results(catalog):
    out = [HEADER, '#include "qm_types.h"\n\n']
    seen = set()
    for name, code in catalog.results:
        if name in seen:
            continue
        seen.add(name)
        out.append("inline constexpr QmResult QMe_%s = 0x%08XU;\n" % (name, code))
    out.append("\nstruct QmResultName {\n  const char* name;\n  QmResult code;\n};\n\n")
    out.append("// Every result code name, in registration order.\n")
    out.append("inline constexpr QmResultName kQmResultRegistry[] = {\n")
    for name, code in catalog.results:
        out.append('    {"%s", 0x%08XU},\n' % (name, code))
    out.append("};\n")
    out.append("inline constexpr unsigned kQmResultRegistryCount = %d;\n" % len(catalog.results))
    return "".join(out)


# --- Output: per-family headers -----------------------------------------------------------
#
# Each family's interfaces get headers of their own (qm_ifc_FAMILY.h, the
# layouts; qm_impl_FAMILY.h, the implementation side; qm_loc_FAMILY.h, the
# plug-in's handles), so that a unit includes only the families it uses and
# a catalogue edit rebuilds only the units of the family it touches.  No
# layout names another interface (object parameters are plain pointers), so
# a family's headers need nothing of the other families; what all of them
# share is in qm_forward.h, which changes only when an interface is added,
# removed, renamed or moved to another family.


def ifc_header(family):
    return "qm_ifc_%s.h" % family


def impl_header(family):
    return "qm_impl_%s.h" % family


def loc_header(family):
    return "qm_loc_%s.h" % family


def family_includes(catalog, interfaces, header):
    """The #include lines of the headers (named by `header`) of the families
    that declare `interfaces`, in families.txt order."""
    used = {i.family for i in interfaces}
    return "".join('#include "%s"\n' % header(f) for f in catalog.family_order if f in used)


def family_interfaces(catalog, family):
    return [i for i in catalog.interfaces if i.family == family]


def gen_forward(catalog):
    out = [HEADER, '#include "qm_types.h"\n\n']
    out.append("// What every unit may see of the catalogues: the templates that the\n"
               "// family headers (qm_ifc_FAMILY.h, qm_impl_FAMILY.h) specialise, and a\n"
               "// declaration of every interface.  Nothing here depends on an interface's\n"
               "// methods or GUID.\n\n")
    out.append("// The layout facts of interface I (qm_ifc_FAMILY.h).\n"
               "template <class I>\nstruct QmInterfaceInfo;\n")
    out.append("// The thunks and implementation class of interface I (qm_impl_FAMILY.h).\n"
               "template <class I>\nstruct QmImplOf;\n")
    out.append("// Which methods of service I a class T derived from its implementation\n"
               "// class overrides (qm_impl_FAMILY.h): Visit(f) calls f(name, overridden,\n"
               "// slot, answer) for each method in table order, where answer is what\n"
               "// the method gives when it is not overridden.\n"
               "template <class I, class T>\nstruct QmServiceOverrides;\n"
               "// The answer of a method that returns nothing.\nstruct QmNoAnswer {};\n\n")
    out.append("// A table slot as stored in an interface descriptor.\nusing QmSlot = void (*)();\n")
    for f in catalog.family_order:
        interfaces = family_interfaces(catalog, f)
        if not interfaces:
            continue
        out.append("\n// family %s (%s)\n" % (f, ifc_header(f)))
        for i in interfaces:
            out.append("struct %s;\n" % i.cname)
    out.append("\nstruct QmInterfaceEntry {\n  const char* name;   // catalogue name\n"
               "  const char* cname;  // C++ name\n  const QmGUID* guid;\n"
               "  const char* prefix;\n  unsigned methods;\n"
               "  bool service;      // a global service\n"
               "  bool scriptQuery;  // its first method is ScriptQuery\n};\n\n")
    out.append("inline constexpr unsigned kQmInterfaceCount = %d;\n" % len(catalog.interfaces))
    out.append("// Every interface of the catalogues, in catalogue order (qm_interface_table.cpp).\n")
    out.append("extern const QmInterfaceEntry kQmInterfaces[kQmInterfaceCount];\n")
    return "".join(out)


def gen_family_interfaces(catalog, family):
    out = [HEADER, '#include <cstdint>\n\n#include "qm_forward.h"\n\n']
    for i in family_interfaces(catalog, family):
        out.append("// %s (prefix %s_)\n" % (i.cname, i.prefix))
        out.append("inline constexpr QmGUID IID_%s = %s;\n" % (i.cname, guid_initializer(i.guid)))
        out.append("struct %s_Vtbl {\n" % i.cname)
        out.append("  QmResult (*QueryInterface)(void* self, const QmGUID* iid, void** object);\n")
        out.append("  uint32_t (*AddRef)(void* self);\n")
        out.append("  uint32_t (*Release)(void* self);\n")
        for m in i.methods:
            out.append("  %s (*%s)(%s);\n" % (m.rtype, m.name, m.c_params(True)))
        out.append("};\n")
        out.append("struct %s {\n  const %s_Vtbl* vt;\n};\n" % (i.cname, i.cname))
        out.append("template <>\nstruct QmInterfaceInfo<%s> {\n" % i.cname)
        out.append("  using Vtbl = %s_Vtbl;\n" % i.cname)
        out.append('  static constexpr const char* name = "%s";\n' % i.name)
        out.append('  static constexpr const char* prefix = "%s";\n' % i.prefix)
        out.append("  static constexpr const QmGUID& guid = IID_%s;\n" % i.cname)
        out.append("  static constexpr unsigned methods = %d;\n" % len(i.methods))
        out.append("};\n\n")
    return "".join(out)


def gen_interface_table(catalog):
    # The one unit that sees every family: a method added to any interface
    # recompiles this table and nothing else that only walks the catalogue.
    out = [SOURCE, '#include "qm_forward.h"\n\n']
    out.append(family_includes(catalog, catalog.interfaces, ifc_header))
    out.append("\nconst QmInterfaceEntry kQmInterfaces[kQmInterfaceCount] = {\n")
    for i in catalog.interfaces:
        query = bool(i.methods) and i.methods[0].name == "ScriptQuery"
        out.append('    {"%s", "%s", &IID_%s, "%s", %d, %s, %s},\n'
                   % (i.name, i.cname, i.cname, i.prefix, len(i.methods),
                      "true" if i.service else "false", "true" if query else "false"))
    out.append("};\n")
    return "".join(out)


def fault_answer(i, m):
    """The thunk's first statement: an Access class that injects faults
    (sdk/qm_guarded.h) may answer the call in the implementation's place.
    Methods without an answer have nothing to fail with."""
    if m.rtype == "void":
        return ""
    if m.rtype == "QmResult":
        outs = [n for p in m.outputs() for n in p.k.c_arg_names(p.cname)]
        answer = "QmFaultCode(%s)" % ", ".join(["injected"] + outs)
        nullable = any(p.k.c_out is not None and p.k.c_out.endswith("**")
                       for p in m.outputs())
        answers = "kCodeOrNull" if nullable else "kCode"
    else:
        answer, answers = m.fail_value, "kValue"
    return ("if constexpr (QmAccessFaults<Access>::value) {\n"
            "      QmFault injected;\n"
            "      if (Access::Fault(\"%s.%s\", QmFaultAnswers::%s, &injected)) return %s;\n"
            "    }\n    " % (i.short, m.name, answers, answer))


def guarded_call(m, call):
    """The thunk's statement running `call` under the catch template of its
    result type (sdk/qm_guarded.h)."""
    if m.rtype == "void":
        return "QmGuardedVoid([&] { %s; });" % call
    if m.rtype == "QmResult":
        return "return QmGuardedCode([&] { return %s; });" % call
    return "return QmGuardedValue<%s>(%s, [&] { return %s; });" % (m.rtype, m.fail_value, call)




def gen_family_impl(catalog, family):
    interfaces = family_interfaces(catalog, family)
    out = [HEADER]
    if any(i.service and i.methods for i in interfaces):
        out.append("#include <type_traits>\n\n")
    out.append('#include "qm_guarded.h"\n#include "%s"\n#include "qm_results.h"\n\n'
               % ifc_header(family))
    for i in interfaces:
        if not i.methods:
            continue
        impl = "CQmImpl_" + i.short
        out.append("// Implementation side of %s: one virtual per method, named with the\n"
                   "// interface prefix.  A method that is not overridden answers as\n"
                   "// not implemented.\n" % i.cname)
        out.append("class %s {\n public:\n  virtual ~%s() = default;\n" % (impl, impl))
        for m in i.methods:
            names = ", ".join(
                "%s /*%s*/" % (d.rsplit(" ", 1)[0], d.rsplit(" ", 1)[1])
                for p in m.params for d in p.c_decl())
            body = "{}" if m.rtype == "void" else "{\n    return %s;\n  }" % m.fail_value
            out.append("  virtual %s %s_%s(%s) %s\n" % (m.rtype, i.prefix, m.name, names, body))
        out.append("};\n\n")
        out.append("// Thunks of %s: Access::Impl turns the object pointer the caller\n"
                   "// holds into the implementation; a thrown result code or any other\n"
                   "// exception is turned into the method's failure answer.\n" % i.cname)
        out.append("template <class Access>\nstruct CQmThunks_%s {\n" % i.short)
        for m in i.methods:
            call = "Access::template Impl<%s>(self)->%s_%s(%s)" % (impl, i.prefix, m.name,
                                                                   m.arg_names())
            out.append("  // %s\n  static %s %s(%s) {\n    %s%s\n  }\n"
                       % (m.source, m.rtype, m.name, m.c_params(True), fault_answer(i, m),
                          guarded_call(m, call)))
        out.append("  // Writes the method slots (after the three base slots) into a table.\n")
        out.append("  static void Fill(QmSlot* slots) {\n")
        for n, m in enumerate(i.methods):
            out.append("    slots[%d] = reinterpret_cast<QmSlot>(&%s);\n" % (n, m.name))
        out.append("  }\n")
        out.append("  // A complete function table, with the base slots taken from Access.\n")
        out.append("  static constexpr %s_Vtbl table = {\n" % i.cname)
        out.append("      &Access::QueryInterface, &Access::AddRef, &Access::Release,\n")
        for m in i.methods:
            out.append("      &%s,\n" % m.name)
        out.append("  };\n};\n\n")
    if any(i.methods for i in interfaces):
        out.append("// The thunks and implementation class of each interface type.\n")
    for i in interfaces:
        if not i.methods:
            continue
        out.append("template <>\nstruct QmImplOf<%s> {\n  using Impl = CQmImpl_%s;\n"
                   "  template <class Access>\n  using Thunks = CQmThunks_%s<Access>;\n};\n"
                   % (i.cname, i.short, i.short))
    for i in interfaces:
        if i.service and i.methods:
            out.append(service_overrides(i))
    return "".join(out)


def service_overrides(i):
    """QmServiceOverrides of service i: a method is overridden when
    `&T::method` is found in a class other than the implementation class."""
    impl = "CQmImpl_" + i.short
    out = ["\n// What a class derived from %s overrides.\ntemplate <class T>\n"
           "struct QmServiceOverrides<%s, T> {\n  template <class F>\n"
           "  static void Visit(F&& f) {\n" % (impl, i.cname)]
    for m in i.methods:
        member = "%s_%s" % (i.prefix, m.name)
        answer = ("QmNoAnswer{}" if m.rtype == "void"
                  else "static_cast<%s>(%s)" % (m.rtype, m.fail_value))
        out.append('    f("%s", !std::is_same_v<decltype(&T::%s), decltype(&%s::%s)>,\n'
                   '      &%s_Vtbl::%s, %s);\n' % (m.name, member, impl, member, i.cname, m.name,
                                                answer))
    out.append("  }\n};\n")
    return "".join(out)


def gen_family_loc(catalog, family):
    out = [HEADER, '#include "module/handle.h"\n#include "%s"\n\n' % ifc_header(family)]
    out.append("// One handle class per host interface.\n")
    for i in family_interfaces(catalog, family):
        if i.name == "Unknown":
            continue  # the unknown handle holds any object; it is written by hand
        out.append("class CQmLoc_%s : public CQmLocalize<%s> {\n public:\n"
                   "  const QmGUID& guid() const override {\n    return IID_%s;\n  }\n};\n"
                   % (i.short, i.cname, i.cname))
    return "".join(out)


# --- Output: wrapper types ---------------------------------------------------------------


def cstr(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def wrapper_method(i, m):
    """The C++ function of one wrapper method."""
    fn = "%s_%s" % (i.py_type, m.name)
    body = []
    # 1. Result wrappers of object results come first.
    for p in m.outputs():
        holder = p.k.wrapper_holder(p)
        if holder is not None:
            body.append(holder)
    # 2. The receiver (object types only), checked before the arguments are
    # looked at.
    if not i.service:
        body.append("auto* ifc = Receiver<%s>(self);" % i.cname)
    # 3. Arguments.
    inputs = m.inputs()
    if inputs:
        for p in inputs:
            body.append(p.k.wrapper_parsed(p.cname))
        body.append("if (!PyArg_ParseTuple(args, %s, %s)) ThrowParseError();"
                    % (cstr(m.wrapper_format()), ", ".join("&a_" + p.cname for p in inputs)))
    else:
        body.append("NoArguments(args);")
    if i.service:
        body.append("auto* ifc = ServiceReceiver<%s>(self);" % i.cname)
    # 4. Conversions and out-locations.  The memory of storage objects is
    # taken last: converting another argument runs Python code, which could
    # resize a storage and move its memory.
    host_args = {}
    for p in m.params:
        if p.out:
            host_args[p.cname] = p.k.wrapper_out(p, body)
        elif not p.k.storage_memory:
            host_args[p.cname] = [p.k.wrapper_in(p, body, m.source)]
    for p in m.inputs():
        if p.k.storage_memory:
            host_args[p.cname] = [p.k.wrapper_in(p, body, m.source)]
    if inputs and not i.service:
        # Converting the arguments ran Python code (an argument's __int__, a
        # sequence's items), which may have emptied or refilled the
        # receiver's wrapper: the call goes to what the wrapper holds now.
        body.append("ifc = Receiver<%s>(self);" % i.cname)
    call_args = [a for p in m.params for a in host_args[p.cname]]
    call = "ifc->vt->%s(%s)" % (m.name, ", ".join(["ifc"] + call_args))
    if m.flags.get("waits"):
        # The host waits for other threads, which may need Python or the
        # interpreter lock: both are let go during the call, and the
        # receiver is held meanwhile (another thread may empty its wrapper).
        if any(p.k.holds_memory for p in m.inputs()):
            raise CatalogError("%s: a method that waits cannot take memory of Python objects"
                               % m.source)
        call = "WithoutPython(ifc, [&] { return %s; })" % call
    # 5-6. The call and its code.
    results = []
    buffered = [p for p in m.outputs() if p.k.through_buffer]
    if buffered:
        if m.result is not None:
            raise CatalogError("%s: a text through a buffer needs a result code" % m.source)
        body.append("PyRef s_%s(StringThroughBuffer([&](char* buffer, uint32_t length) {\n"
                    "      return %s;\n    }));" % (buffered[0].cname, call))
    else:
        statements, result = m.ret.wrapper_call(call)
        body += statements
        if result is not None:
            results.append(result)
    # 7. Results.
    for p in m.outputs():
        results.append(p.k.wrapper_result(p))
    if not results:
        body.append("return ReturnNone();")
    elif len(results) == 1:
        body.append("return %s;" % results[0])
    else:
        for k, r in enumerate(results):
            body.append("PyRef t%d(%s);" % (k, r))
        body.append("return TupleResult({%s});" % ", ".join("t%d.release()" % k
                                                              for k in range(len(results))))
    text = "// %s\n" % m.source
    text += "PyObject* %s(PyObject* self, PyObject* args) {\n" % fn
    text += "  return PythonBoundary([&]() -> PyObject* {\n"
    for line in body:
        text += "    " + line + "\n"
    text += "  });\n}\n\n"
    return fn, text


def gen_wrapper_type(i):
    out = []
    entries = []
    for m in i.script_methods():
        fn, text = wrapper_method(i, m)
        out.append(text)
        entries.append('    {%s, %s, METH_VARARGS, %s},\n' % (cstr(m.name), fn, cstr(m.docstring())))
    out.append("PyMethodDef %s_methods[] = {\n" % i.py_type)
    if not i.service:
        out.append('    {"set", WrapperSet, METH_VARARGS, "bool = set(object source)"},\n')
        out.append('    {"test", WrapperTest, METH_VARARGS, "bool = test()"},\n')
    out.extend(entries)
    out.append("    {nullptr, nullptr, 0, nullptr},\n};\n\n")
    if i.service:
        out.append("PyObject* %s_new(PyTypeObject* type, PyObject*, PyObject*) {\n"
                   "  return ServiceNew(type, IID_%s);\n}\n\n" % (i.py_type, i.cname))
        out.append("}  // namespace\n\nvoid SetUp_%s(PyObject* module) {\n"
                   "  FillServiceType(&%s, %s_methods, %s_new);\n"
                   "  RegisterServiceType(module, &%s, %s);\n}\n\nnamespace {\n\n"
                   % (i.py_type, i.py_type, i.py_type, i.py_type, i.py_type, cstr(i.name)))
    else:
        handle = "CQmLoc_Unknown" if i.name == "Unknown" else "CQmLoc_" + i.short
        out.append("}  // namespace\n\nvoid SetUp_%s(PyObject* module) {\n"
                   "  FillObjectType(&%s, %s_methods, WrapperNew<%s>);\n"
                   "  RegisterObjectType(module, &%s, %s);\n}\n\nnamespace {\n\n"
                   % (i.py_type, i.py_type, i.py_type, handle, i.py_type, cstr(i.name)))
    return "".join(out)


def scripted(catalog):
    return [i for i in catalog.interfaces if i.scripted]


def gen_wrappers_header(catalog):
    # Only what hand-written code calls: a catalogue edit that adds or
    # changes an interface leaves this header as it is.
    out = [HEADER, '#include "interp/python.h"\n\n']
    out.append("// Fills and registers the Unknown type.\n"
               "void SetUp_QmObj_Unknown(PyObject* module);\n")
    out.append("\n// Fills and registers every type and adds every constant, family by\n"
               "// family; `object`, `service` and `symbol` are the submodules.\n")
    out.append("void SetUpFamilies(PyObject* object, PyObject* service, PyObject* symbol);\n")
    return "".join(out)


def deal(interfaces, count):
    """Deals interfaces into `count` shards (one source file each) by a hash
    of their names, so that adding or changing one interface rewrites only
    the shard it lands in."""
    shards = [[] for _ in range(count)]
    for i in interfaces:
        shards[zlib.crc32(i.name.encode()) % count].append(i)
    return shards


def gen_wrapper_shards(catalog):
    shards = deal(scripted(catalog), WRAPPER_SHARDS)
    texts = []
    for shard in shards:
        out = [SOURCE, '#include "interp/python.h"\n\n#include "interp/guard.h"\n'
               '#include "qm_wrappers.h"\n#include "scripting/storage.h"\n#include "wrappers/runtime.h"\n',
               family_includes(catalog, shard, loc_header), "\n"]
        for i in shard:
            out.append("PyTypeObject %s = BlankType();\n" % i.py_type)
        out.append("\nnamespace {\n\n")
        for i in shard:
            out.append("// --- %s ---\n\n" % i.py_type)
            out.append(gen_wrapper_type(i))
        out.append("}  // namespace\n")
        texts.append("".join(out))
    return texts


def family_items(catalog, family):
    """A family's types and then its constants, in set-up order."""
    types, symbols = [], []
    for item in catalog.families[family]:
        if isinstance(item, Interface):
            if item.scripted and item.name != "Unknown":
                types.append(item)
            symbols.append(Symbol(item.u_symbol, "s", canonical_guid(item.guid)))
        else:
            symbols.append(item)
    return types, symbols


def all_symbols(catalog):
    result = []
    for f in catalog.family_order:
        result += family_items(catalog, f)[1]
    return result


def gen_setup(catalog):
    out = [SOURCE, '#include "interp/python.h"\n\n#include "qm_wrappers.h"\n'
           '#include "wrappers/runtime.h"\n#include "wrappers/symbols.h"\n\n']
    for i in scripted(catalog):
        out.append("void SetUp_%s(PyObject* module);  // %s\n" % (i.py_type, i.source))
    out.append("\n")
    out.append("void SetUpFamilies(PyObject* object, PyObject* service, PyObject* symbol) {\n")
    for f in catalog.family_order:
        types, symbols = family_items(catalog, f)
        out.append("  // family %s\n" % f)
        for i in types:
            out.append("  SetUp_%s(%s);\n" % (i.py_type, "service" if i.service else "object"))
        if symbols:
            out.append("  {\n    static const QmSymbol kSymbols[] = {\n")
            for s in symbols:
                if s.kind == "s":
                    out.append("        {%s, QmSymbol::kString, 0, 0.0, %s},\n"
                               % (cstr(s.name), cstr(s.value)))
                elif s.kind == "i":
                    out.append("        {%s, QmSymbol::kLong, %dL, 0.0, nullptr},\n" % (cstr(s.name), s.value))
                else:
                    out.append("        {%s, QmSymbol::kFloat, 0, %r, nullptr},\n" % (cstr(s.name), s.value))
            out.append("    };\n    AddSymbols(symbol, kSymbols, %d);\n  }\n" % len(symbols))
    out.append("}\n")
    return "".join(out)


# --- Output: test support ------------------------------------------------------------------


def gen_server_signatures(catalog):
    """What each method looks like to a Python server, one line per interface."""
    lines = []
    for i in catalog.interfaces:
        if i.methods:
            lines.append("%s: %s" % (i.name, ", ".join(m.server_signature() for m in i.methods)))
    return "\n".join(lines) + "\n"


def gen_docstrings(catalog):
    """Every wrapper type's methods with their docstrings, for tests."""
    lines = []
    for i in scripted(catalog):
        kind = "service" if i.service else "object"
        for m in i.script_methods():
            lines.append("%s.%s.%s\t%s\t%s" % (kind, i.name, m.name, m.wrapper_format(), m.docstring()))
    return "\n".join(lines) + "\n"


# --- Output: recording implementations for tests ------------------------------------------
#
# Every scripted interface gets a host object that records each call of a
# wrapper method ("Name(arg,arg)") and answers with fixed values, and a
# Python table of calls: arguments to pass, the record to expect, and the
# result to expect.  The test drives every wrapper method with them.

def recorder_class(i, objects):
    cls = "Rec_" + i.short
    out = ["class %s : public qmhost::HostObject, public CQmImpl_%s {\n public:\n" % (cls, i.short)]
    for m in i.script_methods():
        params = ", ".join(d for p in m.params for d in p.c_decl())
        out.append("  %s %s_%s(%s) override {\n" % (m.rtype, i.prefix, m.name, params))
        args = [p.k.record(p.cname) for p in m.inputs()]
        out.append("    Record(\"%s\", {%s});\n" % (m.name, ", ".join(args)))
        for p in m.params:
            if p.k.hidden:
                out.append('    std::snprintf(%s, kQmMaxPath, "path");\n' % p.cname)
        for p in m.outputs():
            if p.k.host_object:
                wraps = p.wraps or "Unknown"
                made = "Rec_%s" % wraps if wraps in objects and wraps != "Unknown" else "RecUnknown"
                out.append("    *%s = NewRecorded<%s>();\n" % (p.cname, made))
            elif p.k.through_buffer:
                out.append("    return FillText(%s, %sLength);\n" % (p.cname, p.cname))
            else:
                out.append("    " + p.k.out_sample[0] % p.cname + "\n")
        if not any(p.k.through_buffer for p in m.outputs()):
            value = m.ret.test[0]
            if value is not None:
                out.append("    return %s;\n" % value)
        out.append("  }\n")
    out.append(" protected:\n  void* Find(const QmGUID& iid) override {\n"
               "    return iid == IID_%s || iid == IID_QmBaseUnknown ? face_.get() : nullptr;\n  }\n"
               % i.cname)
    out.append("\n private:\n  qmhost::HostFace<%s> face_{this};\n};\n\n" % i.cname)
    return "".join(out)


def gen_recorders(catalog):
    objects = {i.name for i in catalog.interfaces if i.object}
    recorded = [i for i in scripted(catalog) if i.methods]
    out = [HEADER, '#include "tests/recorder_support.h"\n',
           family_includes(catalog, recorded, impl_header), "\n"]
    for i in recorded:
        out.append("class Rec_%s;\n" % i.short)
    out.append("\n")
    for i in recorded:
        out.append(recorder_class(i, objects))
    out.append("// Every recorded interface: its kind, type name, and a new recorder\n"
               "// (one reference, seen through the interface).\n")
    out.append("inline const RecordedType kRecordedTypes[] = {\n")
    for i in recorded:
        out.append('    {"%s", "%s", [] { return NewRecorded<Rec_%s>(); }},\n'
                   % ("service" if i.service else "object", i.name, i.short))
    out.append("};\n")
    return "".join(out)


def expected_result(m, objects):
    results = []
    if m.ret.test[1] is not None:
        results.append(m.ret.test[1])
    for p in m.outputs():
        if p.k.host_object:
            wraps = p.wraps or "Unknown"
            if wraps not in objects:
                return "ERROR('RuntimeError: bad result: FAILED')"
            results.append("TYPE(%r)" % wraps)
        elif p.k.through_buffer:
            results.append("'b' * 700")
        else:
            results.append(p.k.out_sample[1])
    if not results:
        return "None"
    if len(results) == 1:
        return results[0]
    return "(%s,)" % ", ".join(results)


def gen_wrapper_calls(catalog):
    objects = {i.name for i in catalog.interfaces if i.object}
    lines = ["# Generated by catalog/gen.py from the catalogues; do not edit.",
             "# (kind, type, method, arguments, record, result) of every wrapper method.",
             "CALLS = ["]
    for i in scripted(catalog):
        if not i.methods:
            continue
        kind = "service" if i.service else "object"
        for m in i.script_methods():
            args = [p.k.sample[0] for p in m.inputs()]
            record = "%s(%s)" % (m.name, ",".join(p.k.sample[1] for p in m.inputs()))
            lines.append("    (%r, %r, %r, [%s], %r, %s)," % (
                kind, i.name, m.name, ", ".join(args), record, expected_result(m, objects)))
    lines.append("]")
    return "\n".join(lines) + "\n"



# --- Output: adapters of Python servers ---------------------------------------------------
#
# Every `server` interface gets an adapter: a descriptor whose slots are
# thunks that carry a host call into the Python method "prefix_Name" of the
# instance behind the host object, and turn its result back.

ADAPTER_SHARDS = 4

def adapter_conversion(m, p, value):
    """Statements converting Python value `value` into out-parameter `p`
    (or, with p None, an expression for the method's return value)."""
    if p is None:
        if m.ret.rule not in RULE_RETURN:
            raise CatalogError("%s: a Python server cannot return %s" % (m.source, m.ret.token))
        return RULE_RETURN[m.ret.rule] % {"type": m.rtype, "value": value}
    return p.k.adapter_out(p, value)


def adapter_thunk(i, m):
    head = "  static %s %s(%s)" % (m.rtype, m.name, m.c_params(True))
    if m.fixed is not False:
        names = [d.rsplit(" ", 1) for p in m.params for d in p.c_decl()]
        head = "  static %s %s(%s)" % (m.rtype, m.name, ", ".join(["void*"] + [t for t, _ in names]))
        if m.fixed == "notimpl":
            if m.rtype != "QmResult":
                raise CatalogError("%s: only a result-code slot can answer not implemented" % m.source)
            return head + " {\n    return QMe_NOTIMPL;\n  }\n"
        if m.fixed == "zero":
            if m.rtype == "void":
                raise CatalogError("%s: a slot without result cannot answer 0" % m.source)
            return head + " {\n    return {};\n  }\n"
        return head + " {%s}\n" % ("" if m.rtype == "void" else "\n    return {};\n  ")
    units = "".join(p.k.unit for p in m.inputs())
    args = [p.k.adapter_in(m, p) for p in m.inputs()]
    targets = m.result_targets()
    body = ['static MethodName slotName{"%s_%s", nullptr};' % (i.prefix, m.name),
            '%sc.Invoke(slotName, "(%s)"%s);'
            % ("PyObject* r = " if targets else "", units, "".join(", " + a for a in args))]
    rules = [m.ret.rule if t is None else t.k.rule for t in targets]
    if any(r in ("s", "sp") for r in rules):
        body.append("c.KeepResult();")
    values = ["r"] if len(targets) == 1 else ["PyTuple_GET_ITEM(r, %d)" % k for k in range(len(targets))]
    if len(targets) > 1:
        body.append("c.Tuple(r, %d);" % len(targets))
    ret = None
    for t, v in zip(targets, values):
        if t is None:
            body.append("%s ret = %s;" % (m.rtype, adapter_conversion(m, None, v)))
            ret = "ret"
        else:
            body.append(adapter_conversion(m, t, v))
    if m.rtype == "QmResult":
        kind = "CodeThunk"
        body.append("return %s;" % (ret or "QMe_OK"))
    elif m.rtype == "void":
        kind = "VoidThunk"
    else:
        kind = "ValueThunk<%s>" % m.rtype
        if ret is None:
            raise CatalogError("%s: a value method needs a result rule" % m.source)
        body.append("return ret;")
    text = head + " {\n    return %s(self, [&](ServerCall& c) {\n" % kind
    for line in body:
        text += "      " + line + "\n"
    text += "    });\n  }\n"
    return text


def server_interfaces(catalog):
    return [i for i in catalog.interfaces if i.server]


def gen_adapter_shards(catalog):
    shards = deal(server_interfaces(catalog), ADAPTER_SHARDS)
    texts = []
    for shard in shards:
        out = [SOURCE, '#include "pyservers/adapters.h"\n#include "pyservers/call.h"\n',
               family_includes(catalog, shard, ifc_header), "\n"
               "namespace {\n\n"
               "template <class T, class V>\nvoid Put(T* out, V value) {\n"
               "  if (out != nullptr) *out = static_cast<T>(value);\n}\n\n"]
        for i in shard:
            out.append("// %s (%s_)\nstruct Adapter_%s {\n" % (i.cname, i.prefix, i.short))
            for m in i.methods:
                out.append("  // %s\n" % m.source)
                out.append(adapter_thunk(i, m))
            out.append("};\n\n")
        out.append("}  // namespace\n\n")
        for i in shard:
            out.append("CQmInterfaceDesc* MakeAdapter_%s() {\n" % i.short)
            out.append("  CQmInterfaceDesc* desc = CQmNewDescriptor(&IID_%s, %d);\n"
                       % (i.cname, len(i.methods)))
            for k, m in enumerate(i.methods):
                out.append("  desc->table[%d] = reinterpret_cast<QmSlot>(&Adapter_%s::%s);\n"
                           % (k + 3, i.short, m.name))
            out.append("  return desc;\n}\n\n")
        texts.append("".join(out))
    return texts


def gen_adapter_table(catalog):
    servers = server_interfaces(catalog)
    out = [SOURCE, '#include "pyservers/adapters.h"\n\n']
    for i in servers:
        out.append("CQmInterfaceDesc* MakeAdapter_%s();\n" % i.short)
    out.append("\nconst QmAdapterEntry kQmAdapters[] = {\n")
    for i in servers:
        out.append('    {"%s", &MakeAdapter_%s, %d},\n' % (i.name, i.short, len(i.methods)))
    out.append("};\nconst unsigned kQmAdapterCount = %d;\n" % len(servers))
    return "".join(out)


# What a Python server's method answers the host when it raises.
CATCH_NOTES = {None: "", "v": "  (on an exception the host gets 0)",
               "n": "  (no result: an exception is only logged)"}
FIXED_NOTES = {"notimpl": "QMe_NOTIMPL", "zero": "0", "nothing": "nothing"}


def interface_class_doc(i):
    """The docstring of an interface class: the methods a server defines,
    what they receive and what they return."""
    calls = [m for m in i.methods if m.fixed is False]
    lines = ["Host interface %s (%s), method prefix %s_." % (i.name, i.guid, i.prefix), ""]
    if calls:
        lines += ["%s%s" % (m.server_call(i.prefix, "qm.object."), CATCH_NOTES[m.catch])
                  for m in calls]
    else:
        lines.append("No method reaches Python.")
    fixed = [m for m in i.methods if m.fixed is not False]
    if fixed:
        lines += ["", "Answered without Python: %s." % ", ".join(
            "%s (%s)" % (m.name, FIXED_NOTES[m.fixed]) for m in fixed)]
    return ['    """' + lines[0]] + [("    " + line).rstrip() for line in lines[1:]] + ['    """']


def gen_interface_classes(catalog):
    """The Python module of interface classes: one classic class per
    interface a Python server may implement, marked with qm.bless."""
    lines = ['"""Interface classes: a server class derives from the classes of the',
             "host interfaces it implements and defines their methods, named with the",
             "interface prefix (SimulationModifier.Enabled is sim_Enabled).",
             "",
             "Each class's docstring lists its methods with what they receive and",
             "what they return, as Python annotations: qm.object.Unknown is a host",
             "object's wrapper, qm.object.storage a storage object over the host's",
             "memory, qm.object._Wrapper a wrapper of any qm.object type and",
             "qm.object._Server an instance of a Python server class (the two names",
             "exist in the editor stubs only).  A method whose note does not say",
             "otherwise answers the host a result code: OK, or the code of the",
             "exception it raises.",
             '"""',
             "# Generated by catalog/gen.py from the catalogues; do not edit.",
             "import qm", "",
             "# Only the root interpreter marks classes (and so only there can servers be",
             "# blessed); in a script's own interpreter the classes are plain bases.",
             "MARKED = True", "", "",
             "def _mark(cls, name):",
             "    global MARKED",
             "    if MARKED:",
             "        try:",
             "            qm.bless(cls, ':' + name)",
             "        except RuntimeError:",
             "            MARKED = False", ""]
    for i in server_interfaces(catalog):
        lines.append("")
        lines.append("class %s:" % i.name)
        lines += interface_class_doc(i)
        lines.append("")
        lines.append('_mark(%s, "%s")' % (i.name, i.name))
    return "\n".join(lines) + "\n"



# --- Output: the test of every adapter slot ------------------------------------------------
#
# A Python server per implementable interface answers every method through
# one recorder (what it received, and a fixed value per result rule); the
# C++ side calls every slot with fixed arguments and shows what it got.

def slot_rule_key(t, m):
    if t is None:
        return m.ret.rule
    return t.k.slot_rule or t.k.rule


def gen_adapter_slot_servers(catalog):
    lines = ["# Generated by catalog/gen.py from the catalogues; do not edit.",
             "# A server per implementable interface whose every method records its",
             "# arguments and answers a fixed value of its result rule.",
             "import qm", "from qmserv import interfaces", "",
             "calls = []", "STORE = qm.object.storage('f', 4)", "RESULTS = {}", "", "",
             "def _show(a):",
             "    if isinstance(a, qm.object.Unknown):",
             "        return a.test() and 'obj' or 'null'",
             "    if isinstance(a, qm.object.storage):",
             "        return 'storage'",
             "    if isinstance(a, str):",
             "        return a",
             "    return repr(a)", "", "",
             "class _Recorder:",
             "    def __getattr__(self, name):",
             "        if name.startswith('__'):",
             "            raise AttributeError(name)",
             "        def method(*args):",
             "            calls.append('%s(%s)' % (name, ','.join(_show(a) for a in args)))",
             "            value = RESULTS[(self.IFACE, name)]",
             "            if isinstance(value, tuple):",
             "                return tuple(self if v == 'self' else v for v in value)",
             "            return self if value == 'self' else value",
             "        return method", ""]
    for i in server_interfaces(catalog):
        lines.append("")
        lines.append("class Slots_%s(_Recorder, interfaces.%s):" % (i.name, i.name))
        lines.append("    IFACE = '%s'" % i.name)
        lines.append("")
        lines.append("qm.bless(Slots_%s, 'slots.%s')" % (i.name, i.name))
        for m in i.methods:
            if m.fixed is not False:
                continue
            targets = m.result_targets()
            values = [SLOT_ANSWERS[slot_rule_key(t, m)][0] for t in targets]
            if not values:
                value = "None"
            elif len(values) == 1:
                value = values[0]
            else:
                value = "(%s,)" % ", ".join(values)
            lines.append("RESULTS[('%s', '%s_%s')] = %s" % (i.name, i.prefix, m.name, value))
    return "\n".join(lines) + "\n"


def gen_adapter_slot_calls(catalog):
    out = [HEADER, '#include "tests/adapter_slots_support.h"\n',
           family_includes(catalog, server_interfaces(catalog), ifc_header), "\n"]
    for i in server_interfaces(catalog):
        out.append("inline const SlotCall kSlots_%s[] = {\n" % i.name)
        for m in i.methods:
            if m.fixed is not False:
                continue
            body = ["auto* x = static_cast<%s*>(object);" % i.cname]
            args = []
            for p in m.params:
                if p.out:
                    body.append(p.k.slot_out_decl % ("o_" + p.cname))
                    args.append("o_" + p.cname)
                    if p.k.through_buffer:
                        args.append("64")
                    elif p.k.slot_out_by_address:
                        args[-1] = "&" + args[-1]
                elif p.k.slot_arg[0] == "memory":
                    args.append("static_cast<%s>(memory)" % p.k.c_in)
                else:
                    args.append(p.k.slot_arg[0])
            call = "x->vt->%s(%s)" % (m.name, ", ".join(["x"] + args))
            shown = []
            expected = []
            targets = m.result_targets()
            if m.rtype == "QmResult":  # a code, read as a truth value or not
                body.append("QmResult ret = %s;" % call)
                shown.append("ShowCode(ret)")
                expected.append("0x00000000")
            elif m.rtype == "void":
                body.append(call + ";")
            else:
                body.append("auto ret = %s;" % call)
                shown.append("%s(ret)" % m.ret.show)
            for t in targets:
                if t is None:
                    if m.rtype == "QmResult":
                        continue  # shown as the code
                    expected.append(SLOT_ANSWERS[slot_rule_key(t, m)][1])
                else:
                    shown.append(t.k.slot_out_show % ("o_" + t.cname))
                    expected.append(SLOT_ANSWERS[slot_rule_key(t, m)][1])
            body.append("return Join({%s});" % ", ".join(shown))
            record = "%s_%s(%s)" % (i.prefix, m.name,
                                    ",".join(p.k.slot_arg[1] for p in m.inputs()))
            out.append("    {%s, [](void* object, void* host, void* memory) -> std::string {\n"
                       "       (void)host;\n       (void)memory;\n" % cstr(m.name))
            for line in body:
                out.append("       %s\n" % line)
            out.append("     }, %s, %s},\n" % (cstr(record), cstr(";".join(expected))))
        out.append("    {nullptr, nullptr, nullptr, nullptr},\n};\n\n")
    out.append("#define QM_FOR_EACH_SERVER_INTERFACE(X) \\\n")
    out.append(" \\\n".join("  X(%s, %s)" % (i.name, i.cname) for i in server_interfaces(catalog)))
    out.append("\n")
    return "".join(out)


# --- Driver --------------------------------------------------------------------------------


def write_if_changed(path, text):
    try:
        with open(path) as f:
            if f.read() == text:
                return
    except OSError:
        pass
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def outputs(catalog):
    """Every generated file: its path under the output folder and its text."""
    files = [("qm_results.h", gen_results(catalog)),
             ("qm_forward.h", gen_forward(catalog)),
             ("qm_interface_table.cpp", gen_interface_table(catalog))]
    for f in catalog.family_order:
        files += [(ifc_header(f), gen_family_interfaces(catalog, f)),
                  (impl_header(f), gen_family_impl(catalog, f)),
                  (loc_header(f), gen_family_loc(catalog, f))]
    files.append(("qm_wrappers.h", gen_wrappers_header(catalog)))
    for n, text in enumerate(gen_wrapper_shards(catalog)):
        files.append(("qm_wrappers_%d.cpp" % n, text))
    files += [("qm_setup.cpp", gen_setup(catalog)),
              ("qm_server_signatures.txt", gen_server_signatures(catalog)),
              ("qm_docstrings.txt", gen_docstrings(catalog)),
              ("qm_recorders.h", gen_recorders(catalog)),
              ("qm_wrapper_calls.py", gen_wrapper_calls(catalog))]
    for n, text in enumerate(gen_adapter_shards(catalog)):
        files.append(("qm_adapters_%d.cpp" % n, text))
    files += [("qm_adapter_table.cpp", gen_adapter_table(catalog)),
              ("interfaces.py", gen_interface_classes(catalog)),
              (os.path.join("servers", "adapter_slots.py"), gen_adapter_slot_servers(catalog)),
              ("qm_adapter_slots.h", gen_adapter_slot_calls(catalog))]
    return files


def remove_stale(outdir, written):
    """Removes the C++ files of the output folder that this run did not
    write (the headers of a family that is gone, files of an older
    layout), so that nothing can still include them."""
    for name in os.listdir(outdir):
        if name.endswith((".h", ".cpp")) and name not in written:
            os.remove(os.path.join(outdir, name))


def load(paths):
    """Reads and checks the catalogue files `paths`."""
    catalog = Catalog()
    for path in paths:
        base = os.path.basename(path)
        if path.endswith(".ifc"):
            parse_ifc(path, catalog)
        elif base == "results.txt":
            parse_results(path, catalog)
        elif base == "families.txt":
            parse_families(path, catalog)
        else:
            raise CatalogError("%s: unknown catalogue kind" % path)
    check(catalog)
    return catalog


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    outdir = argv[1]
    catalog = load(argv[2:])
    files = outputs(catalog)
    os.makedirs(os.path.join(outdir, "servers"), exist_ok=True)
    for name, text in files:
        write_if_changed(os.path.join(outdir, name), text)
    remove_stale(outdir, {name for name, _ in files})
    return 0


def run(main):
    """Runs a writer's `main` on the command line: a catalogue error is a
    message and exit status 1."""
    try:
        sys.exit(main(sys.argv))
    except CatalogError as e:
        sys.stderr.write("catalog error: %s\n" % e)
        sys.exit(1)


if __name__ == "__main__":
    run(main)

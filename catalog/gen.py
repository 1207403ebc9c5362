#!/usr/bin/env python3
"""Turns the catalogues under catalog/ into C++ headers.

    gen.py OUTDIR CATALOG...

*.ifc files declare interfaces (see catalog/README.md); results.txt lists the
result codes.  Every output is rewritten only when its text changes, so that
a catalogue edit rebuilds only what depends on the changed header.
"""
import os
import re
import sys

# Parameter types: catalogue token -> C++ type.
PARAM_TYPES = {
    "i32": "int32_t",
    "u32": "uint32_t",
    "f64": "double",
    "f32": "float",
    "str": "const char*",
    "guid": "const QmGUID*",
    "obj": "void*",
    "ptr": "void*",
    "id": "void*",
    "tagentry": "QmTagInfo*",
    "buf": "char*",
    "hints": "const QmTextValueHint*",
}

# Result types: token -> (C++ type, value returned when the call fails).
RESULT_TYPES = {
    None: ("QmResult", "QMe_NOTIMPL"),
    "truth": ("QmResult", "QMe_NOTIMPL"),
    "void": ("void", None),
    "i32": ("int32_t", "0"),
    "u32": ("uint32_t", "0"),
    "f64": ("double", "0.0"),
    "f32": ("float", "0.0f"),
    "str": ("const char*", "nullptr"),
    "guid": ("const QmGUID*", "nullptr"),
    "obj": ("void*", "nullptr"),
    "ptr": ("void*", "nullptr"),
    "id": ("void*", "nullptr"),
    "hints": ("const QmTextValueHint*", "nullptr"),
}

CPP_KEYWORDS = {"class", "default", "delete", "new", "operator", "template",
                "this", "union", "register", "int", "float", "double", "char",
                "bool", "long", "short", "unsigned", "signed", "const",
                "switch", "case", "do", "for", "while", "if", "else", "return",
                "struct", "typename", "namespace", "private", "public",
                "protected", "virtual", "friend", "auto", "static", "void"}


class CatalogError(Exception):
    pass


class Param:
    def __init__(self, kind, name, out, wraps):
        self.kind, self.name, self.out, self.wraps = kind, name, out, wraps

    @property
    def cname(self):
        return self.name + "_" if self.name in CPP_KEYWORDS else self.name

    @property
    def ctype(self):
        base = PARAM_TYPES[self.kind]
        return base + "*" if self.out else base


class Method:
    def __init__(self, name, params, result):
        self.name, self.params, self.result = name, params, result

    @property
    def rtype(self):
        return RESULT_TYPES[self.result][0]

    @property
    def fail_value(self):
        return RESULT_TYPES[self.result][1]

    def decl_params(self, with_self):
        parts = ["void* self"] if with_self else []
        parts += ["%s %s" % (p.ctype, p.cname) for p in self.params]
        return ", ".join(parts)

    def arg_names(self):
        return ", ".join(p.cname for p in self.params)


class Interface:
    def __init__(self, name, cname, guid, prefix, source, service=False):
        self.name, self.cname, self.guid, self.prefix = name, cname, guid, prefix
        self.service = service
        self.source = source
        self.methods = []

    @property
    def short(self):
        """The C++ name without its IQm prefix (Module, GUIDService)."""
        return self.cname[3:]


GUID_RE = re.compile(r"^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-"
                     r"[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$")
HEAD_RE = re.compile(r"^(interface|service)\s+(\w+)\s+(\S+)\s+prefix\s+(\w+)\s*$")
METHOD_RE = re.compile(r"^(\w+)\s*\((.*)\)\s*(?:->\s*(\w+))?\s*$")
PARAM_RE = re.compile(r"^(out\s+)?(\w+)(?:<(\w+)>)?\s+(\w+)$")


def parse_ifc(path):
    interfaces = []
    current = None
    with open(path) as f:
        for lineno, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].rstrip()
            if not line.strip():
                continue
            where = "%s:%d" % (path, lineno)
            if not line[0].isspace():
                m = HEAD_RE.match(line)
                if not m:
                    raise CatalogError("%s: expected 'interface|service NAME GUID prefix PFX'" % where)
                kind, name, guid, prefix = m.groups()
                if not GUID_RE.match(guid):
                    raise CatalogError("%s: bad GUID %s" % (where, guid))
                cname = "IQm" + name + ("Service" if kind == "service" else "")
                current = Interface(name, cname, guid, prefix, where, kind == "service")
                interfaces.append(current)
                continue
            if current is None:
                raise CatalogError("%s: method outside an interface" % where)
            m = METHOD_RE.match(line.strip())
            if not m:
                raise CatalogError("%s: expected 'Method(type name, ...) [-> type]'" % where)
            mname, plist, result = m.groups()
            if result not in RESULT_TYPES:
                raise CatalogError("%s: unknown result type %s" % (where, result))
            params = []
            for item in filter(None, (s.strip() for s in plist.split(","))):
                pm = PARAM_RE.match(item)
                if not pm or pm.group(2) not in PARAM_TYPES:
                    raise CatalogError("%s: bad parameter '%s'" % (where, item))
                params.append(Param(pm.group(2), pm.group(4), bool(pm.group(1)), pm.group(3)))
            names = [p.name for p in params]
            if len(set(names)) != len(names):
                raise CatalogError("%s: repeated parameter name" % where)
            if any(mm.name == mname for mm in current.methods):
                raise CatalogError("%s: method %s declared twice" % (where, mname))
            current.methods.append(Method(mname, params, result))
    return interfaces


def parse_results(path):
    regs = []
    with open(path) as f:
        for lineno, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            parts = line.split()
            if len(parts) != 2 or not re.match(r"^0x[0-9A-Fa-f]{8}$", parts[1]):
                raise CatalogError("%s:%d: expected 'NAME 0xXXXXXXXX'" % (path, lineno))
            regs.append((parts[0], int(parts[1], 16)))
    return regs


def guid_initializer(text):
    h = text.replace("-", "")
    d4 = ", ".join("0x%s" % h[16 + 2 * i:18 + 2 * i].upper() for i in range(8))
    return "{0x%sU, 0x%s, 0x%s, {%s}}" % (h[0:8].upper(), h[8:12].upper(), h[12:16].upper(), d4)


HEADER = "// Generated by catalog/gen.py from the catalogues; do not edit.\n#pragma once\n\n"


def gen_results(regs):
    out = [HEADER, '#include "qm_types.h"\n\n']
    seen = set()
    for name, code in regs:
        if name in seen:
            continue
        seen.add(name)
        out.append("inline constexpr QmResult QMe_%s = 0x%08XU;\n" % (name, code))
    out.append("\nstruct QmResultName {\n  const char* name;\n  QmResult code;\n};\n\n")
    out.append("// Every result code name, in registration order.\n")
    out.append("inline constexpr QmResultName kQmResultRegistry[] = {\n")
    for name, code in regs:
        out.append('    {"%s", 0x%08XU},\n' % (name, code))
    out.append("};\n")
    out.append("inline constexpr unsigned kQmResultRegistryCount = %d;\n" % len(regs))
    return "".join(out)


def gen_interfaces(ifcs):
    out = [HEADER, '#include <cstdint>\n\n#include "qm_types.h"\n\n']
    out.append("template <class I>\nstruct QmInterfaceInfo;\n\n")
    for i in ifcs:
        out.append("// %s (prefix %s_)\n" % (i.cname, i.prefix))
        out.append("inline constexpr QmGUID IID_%s = %s;\n" % (i.cname, guid_initializer(i.guid)))
        out.append("struct %s_Vtbl {\n" % i.cname)
        out.append("  QmResult (*QueryInterface)(void* self, const QmGUID* iid, void** object);\n")
        out.append("  uint32_t (*AddRef)(void* self);\n")
        out.append("  uint32_t (*Release)(void* self);\n")
        for m in i.methods:
            out.append("  %s (*%s)(%s);\n" % (m.rtype, m.name, m.decl_params(True)))
        out.append("};\n")
        out.append("struct %s {\n  const %s_Vtbl* vt;\n};\n" % (i.cname, i.cname))
        out.append("template <>\nstruct QmInterfaceInfo<%s> {\n" % i.cname)
        out.append("  using Vtbl = %s_Vtbl;\n" % i.cname)
        out.append('  static constexpr const char* name = "%s";\n' % i.name)
        out.append('  static constexpr const char* prefix = "%s";\n' % i.prefix)
        out.append("  static constexpr const QmGUID& guid = IID_%s;\n" % i.cname)
        out.append("  static constexpr unsigned methods = %d;\n" % len(i.methods))
        out.append("};\n\n")
    out.append("struct QmInterfaceEntry {\n  const char* name;   // catalogue name\n"
               "  const char* cname;  // C++ name\n  const QmGUID* guid;\n"
               "  const char* prefix;\n  unsigned methods;\n"
               "  bool service;      // a global service\n"
               "  bool scriptQuery;  // its first method is ScriptQuery\n};\n\n")
    out.append("// Every interface of the catalogues, in catalogue order.\n")
    out.append("inline constexpr QmInterfaceEntry kQmInterfaces[] = {\n")
    for i in ifcs:
        query = bool(i.methods) and i.methods[0].name == "ScriptQuery"
        out.append('    {"%s", "%s", &IID_%s, "%s", %d, %s, %s},\n'
                   % (i.name, i.cname, i.cname, i.prefix, len(i.methods),
                      "true" if i.service else "false", "true" if query else "false"))
    out.append("};\n")
    out.append("inline constexpr unsigned kQmInterfaceCount = %d;\n" % len(ifcs))
    return "".join(out)


def catch_clause(m):
    if m.rtype == "void":
        return "catch (...) {\n    }\n"
    if m.rtype == "QmResult":
        return ("catch (QmResult code) {\n      return code;\n    } catch (const std::bad_alloc&) {\n"
                "      return QMe_OUTOFMEMORY;\n    } catch (...) {\n      return QMe_FAILED;\n    }\n")
    return "catch (...) {\n      return %s;\n    }\n" % m.fail_value


def gen_impl(ifcs):
    out = [HEADER, "#include <new>\n\n", '#include "qm_interfaces.h"\n#include "qm_results.h"\n\n']
    out.append("// A table slot as stored in an interface descriptor.\nusing QmSlot = void (*)();\n\n")
    for i in ifcs:
        if not i.methods:
            continue
        impl = "CQmImpl_" + i.short
        out.append("// Implementation side of %s: one virtual per method, named with the\n"
                   "// interface prefix.  A method that is not overridden answers as\n"
                   "// not implemented.\n" % i.cname)
        out.append("class %s {\n public:\n  virtual ~%s() = default;\n" % (impl, impl))
        for m in i.methods:
            names = ", ".join("%s /*%s*/" % (p.ctype, p.cname) for p in m.params)
            body = "{}" if m.rtype == "void" else "{\n    return %s;\n  }" % m.fail_value
            out.append("  virtual %s %s_%s(%s) %s\n" % (m.rtype, i.prefix, m.name, names, body))
        out.append("};\n\n")
        out.append("// Thunks of %s: Access::Impl turns the object pointer the caller\n"
                   "// holds into the implementation; a thrown result code or any other\n"
                   "// exception is turned into the method's failure answer.\n" % i.cname)
        out.append("template <class Access>\nstruct CQmThunks_%s {\n" % i.short)
        for m in i.methods:
            call = "Access::template Impl<%s>(self)->%s_%s(%s)" % (impl, i.prefix, m.name, m.arg_names())
            out.append("  static %s %s(%s) {\n    try {\n      %s%s;\n    } %s  }\n"
                       % (m.rtype, m.name, m.decl_params(True),
                          "" if m.rtype == "void" else "return ", call,
                          catch_clause(m)))
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
    out.append("// Finds the thunks and implementation class of an interface type.\n")
    out.append("template <class I>\nstruct QmImplOf;\n")
    for i in ifcs:
        if not i.methods:
            continue
        out.append("template <>\nstruct QmImplOf<%s> {\n  using Impl = CQmImpl_%s;\n"
                   "  template <class Access>\n  using Thunks = CQmThunks_%s<Access>;\n};\n"
                   % (i.cname, i.short, i.short))
    return "".join(out)


def gen_loc(ifcs):
    out = [HEADER, '#include "module/handle.h"\n#include "qm_interfaces.h"\n\n']
    out.append("// One handle class per host interface.\n")
    for i in ifcs:
        if i.name == "Unknown":
            continue  # the unknown handle holds any object; it is written by hand
        out.append("class CQmLoc_%s : public CQmLocalize<%s> {\n public:\n"
                   "  const QmGUID& guid() const override {\n    return IID_%s;\n  }\n};\n"
                   % (i.short, i.cname, i.cname))
    return "".join(out)


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


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    outdir = argv[1]
    ifcs, regs = [], []
    for path in argv[2:]:
        if path.endswith(".ifc"):
            ifcs += parse_ifc(path)
        elif os.path.basename(path) == "results.txt":
            regs += parse_results(path)
        else:
            raise CatalogError("%s: unknown catalogue kind" % path)
    for kind, key in (("C++ name", lambda i: i.cname), ("GUID", lambda i: i.guid.upper())):
        seen = {}
        for i in ifcs:
            k = key(i)
            if k in seen:
                raise CatalogError("%s: %s %s already used at %s" % (i.source, kind, k, seen[k]))
            seen[k] = i.source
    os.makedirs(outdir, exist_ok=True)
    write_if_changed(os.path.join(outdir, "qm_results.h"), gen_results(regs))
    write_if_changed(os.path.join(outdir, "qm_interfaces.h"), gen_interfaces(ifcs))
    write_if_changed(os.path.join(outdir, "qm_impl.h"), gen_impl(ifcs))
    write_if_changed(os.path.join(outdir, "qm_loc.h"), gen_loc(ifcs))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except CatalogError as e:
        sys.stderr.write("catalog error: %s\n" % e)
        sys.exit(1)

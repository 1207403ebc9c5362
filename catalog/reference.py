#!/usr/bin/env python3
"""Writes the API reference of the qm package and of the Python servers.

    reference.py OUTDIR HOST_TABLES CATALOG...

OUTDIR gets index.html (one page with a search box) and the same reference
in Markdown (index.md and a page per part).  Made from the interface
catalogues, catalog/package.txt (the qm package's own functions and types)
and HOST_TABLES, what qmhost_tables writes: which service methods the
reference host implements, and its texts of the result codes.
"""
import html
import sys

import api
import gen
from kinds import KINDS, RETURNS, CatalogError

MADE_FROM = ("catalog/reference.py from the interface catalogues (catalog/*.ifc, "
             "catalog/results.txt), catalog/package.txt and the reference host's tables "
             "(qmhost_tables)")
FIXED = {"notimpl": "QMe_NOTIMPL", "zero": "0", "nothing": "nothing"}
CATCH = {None: "result code: OK, or the code of the exception it raises",
         "v": "value method: an exception gives the host 0",
         "n": "no result: an exception is only logged"}


class Entry:
    """A thing the reference describes; `name` (its full Python name) is
    what the search finds it by."""

    def __init__(self, kind, name, signature=None, doc=None, text=None, facts=(), children=()):
        self.kind, self.name, self.signature, self.doc = kind, name, signature, doc
        self.text = text or ""
        self.facts = list(facts)        # (label, value) pairs
        self.children = list(children)  # entries


class Table:
    """Rows of things too many for entries (symbols, result codes); the
    first column is the thing's name, `key` the prefix of its full name."""

    def __init__(self, kind, key, columns, rows, title=None):
        self.kind, self.key, self.columns, self.rows, self.title = kind, key, columns, rows, title


class Section:
    def __init__(self, page, title, intro, parts):
        self.page, self.title, self.intro, self.parts = page, title, intro, parts


# --- What the reference says --------------------------------------------------------------


def declared(decl, prefix, kind):
    return Entry(kind, prefix + decl.short, decl.signature(), decl.doc, api.paragraphs(decl.text),
                 children=[declared(m, "%s%s." % (prefix, decl.short), "method")
                           for m in decl.methods])


def functions_section(package):
    parts = [declared(f, "qm.", "function") for f in package.functions]
    parts += [declared(t, "qm.", "type") for t in package.types if not t.module]
    intro = [package.doc + " " + api.paragraphs(package.text),
             "qm.ifc is an empty module: the plug-in adds nothing to it."]
    return Section("functions", "qm: functions and types", intro, parts)


def wrapper_method(owner, m, host=None):
    params = ", ".join("%s: %s" % p for p in m.script_params("qm.object."))
    facts = [("argument format", m.wrapper_format() or "(none)")]
    if m.flags.get("waits"):
        facts.append(("waits", "lets go of Python's lock while the host works"))
    if host is not None:
        facts.append(("reference host", "implements it" if host.get(m.name)
                      else "does not implement it (answers as not implemented)"))
    return Entry("method", "%s.%s" % (owner, m.name),
                 "%s(%s) -> %s" % (m.name, params, m.script_result("qm.object.")), m.docstring(),
                 facts=facts)


def objects_section(catalog, package):
    parts = []
    for i in api.scripted(catalog, False):
        name = "qm.object." + i.name
        methods = [Entry("method", name + ".set", "set(source: qm.object._Object) -> bool",
                         "bool = set(object source)",
                         "Holds the source's object through this interface; False (and "
                         "empty) when the source is None, 0 or lacks the interface."),
                   Entry("method", name + ".test", "test() -> bool", "bool = test()",
                         "Whether the wrapper holds an object.")]
        methods += [wrapper_method(name, m) for m in i.script_methods()]
        parts.append(Entry("object type", name, "%s(source=None)" % i.name,
                           text="Wrapper of host interface %s: %s(source) holds the source's "
                                "object through it (NOINTERFACE when the object lacks it)."
                                % (i.cname, name),
                           facts=[("GUID", i.guid), ("symbol", "qm.symbol." + i.u_symbol),
                                  ("declared at", i.source)], children=methods))
    for t in package.types:
        if t.module == "object":
            parts.append(declared(t, "qm.object.", "object type"))
    intro = ["One type per host interface that scripts use; a wrapper holds one host "
             "object seen through its interface, or nothing.  Arguments and results are "
             "converted by their kinds (see Kinds); a failing host call raises the exception "
             "of its result code (see qm.result), an empty receiver NOINTERFACE."]
    return Section("objects", "qm.object: wrapper types", intro, parts)


def services_section(catalog, host):
    parts = []
    for i in api.scripted(catalog, True):
        name = "qm.service." + i.name
        implemented = host.services.get(i.name)
        methods = [wrapper_method(name, m, implemented or {}) for m in i.script_methods()]
        if implemented is None:
            hosted = "does not have this service"
        else:
            hosted = "implements %d of its %d methods" % (
                sum(1 for v in implemented.values() if v), len(implemented))
        parts.append(Entry("service type", name, "%s()" % i.name,
                           text="Host service %s: every %s() calls the same service." % (
                               i.cname, name),
                           facts=[("GUID", i.guid), ("symbol", "qm.symbol." + i.u_symbol),
                                  ("reference host", hosted), ("declared at", i.source)],
                           children=methods))
    intro = ["One type per global service of the host; qm.service.NAME() reaches it.  Whether "
             "the reference host (qmhost) implements each method comes from the host's own "
             "classes: a method its class does not override answers as not implemented "
             "(QMe_NOTIMPL, or 0, None or nothing for a method with a result of its own)."]
    return Section("services", "qm.service: service types", intro, parts)


def results_section(catalog, package, host):
    names = api.code_names(catalog)
    rows = []
    for name, code in catalog.results:
        if code & 0x80000000:
            cls, message = package.exception(code, names[code])
            raises = "%s(%r)" % (cls, message)
        else:
            raises = "(success)"
        rows.append((name, "0x%08X" % code, str(api.signed(code)),
                     "yes" if names[code] == name else "no (%s)" % names[code], raises,
                     host.texts.get(code, "")))
    intro = ["Every result code with its value, as qm.result and qm.symbol (e_NAME) give it "
             "(a signed 32-bit value: failures are negative).  Where codes share a value, "
             "the name registered last names the code in messages.  qm.throw(code) raises "
             "the exception shown, and a Python server's method that raises it answers the "
             "host that code (RuntimeError('bad result: NAME') for any code by its name).  "
             "The text is the reference host's message for the code."]
    table = Table("result", "qm.result.",
                  ["name", "code", "value", "names the code", "qm.throw raises", "host's text"],
                  rows)
    return Section("results", "qm.result: result codes", intro, [table])


def symbols_section(catalog):
    groups = {}
    for s, family in api.symbols(catalog):
        groups.setdefault(api.symbol_group(s.name), []).append(
            (s.name, repr(s.value), family))
    tables = []
    for prefix, what in api.SYMBOL_GROUPS:
        rows = groups.pop(prefix, [])
        if rows:
            tables.append(Table("symbol", "qm.symbol.", ["name", "value", "family"], rows,
                                "%s: %s (%d)" % (prefix, what, len(rows))))
    if groups:
        raise CatalogError("symbols of no group: %s" % sorted(groups))
    intro = ["The constants of the host's interfaces, by the prefix that tells their kind "
             "(catalog/README.md tells how their values are made)."]
    return Section("symbols", "qm.symbol: constants", intro, tables)


def server_method(i, m):
    name = "qmserv.interfaces.%s.%s_%s" % (i.name, i.prefix, m.name)
    if m.fixed is not False:
        return Entry("fixed slot", name, "%s (answered without Python: %s)"
                     % (m.name, FIXED[m.fixed]))
    return Entry("server method", name, m.server_call(i.prefix, "qm.object."),
                 facts=[("call format", m.server_signature()), ("answers", CATCH[m.catch]),
                        ("declared at", m.source)])


def servers_section(catalog):
    parts = []
    for i in api.servers(catalog):
        parts.append(Entry("interface", "qmserv.interfaces." + i.name,
                           "class %s(qmserv.interfaces.%s)" % ("MyServer", i.name),
                           text="Host interface %s, method prefix %s_." % (i.cname, i.prefix),
                           facts=[("GUID", i.guid), ("slots", str(len(i.methods)))],
                           children=[server_method(i, m) for m in i.methods]))
    intro = ["The host interfaces a Python class may implement.  A server class derives from "
             "the classes of qmserv.interfaces and defines their methods, named with the "
             "interface's prefix; qm.bless(cls, 'name', tags) makes it a server.  Each method "
             "receives what its signature shows and returns what the arrow shows "
             "(qm.object._Wrapper: a wrapper of any qm.object type; qm.object._Server: an "
             "instance of a Python server class).  The call format is the one "
             "qm_server_signatures.txt gives (units of Py_BuildValue; in brackets the kinds "
             "of the O units that are not host objects, after > the result rules: see Kinds)."]
    return Section("servers", "qmserv.interfaces: Python servers", intro, parts)


def kinds_section():
    def t(annotation):
        return gen.py_type(annotation, "qm.object.") if annotation else ""
    rows = []
    for token, k in KINDS.items():
        result = "qm.object.T (the type it names)" if k.host_object else t(k.py_result)
        unit = "%s%s" % (k.unit, " [%s]" % k.bracket if k.bracket else "")
        rows.append((token, k.doc or "(hidden)", k.fmt or "", t(k.py_arg), result,
                     unit if k.py_receives else "", t(k.py_receives), k.rule or "",
                     t(k.py_answer)))
    params = Table("kind", "", ["kind", "docstring", "format", "a script passes",
                                "a script gets back", "server unit", "a server receives",
                                "rule", "a server answers"], rows, "Parameter kinds")
    rows = [(token or "(a result code)", r.doc or "", t(r.py_result) or "None", r.rule or "",
             t(r.py_answer) or "None") for token, r in RETURNS.items()]
    returns = Table("kind", "", ["returns", "docstring", "a script gets back", "rule",
                                 "a server answers"], rows, "Result kinds")
    intro = ["How each kind of the catalogue crosses between Python and the host "
             "(catalog/kinds.py; catalog/README.md tells the codes).  Three names of the "
             "annotations exist in the editor stubs only: qm.object._Object, what an object "
             "parameter takes (a wrapper, a Python server instance, None or 0); "
             "qm.object._Wrapper, a wrapper of any qm.object type; qm.object._Server, an "
             "instance of a Python server class."]
    return Section("kinds", "Kinds of arguments and results", intro, [params, returns])


def sections(catalog, package, host):
    return [functions_section(package), objects_section(catalog, package),
            services_section(catalog, host), results_section(catalog, package, host),
            symbols_section(catalog), servers_section(catalog), kinds_section()]


# --- Markdown ---------------------------------------------------------------------------


def md_cell(text):
    return str(text).replace("|", "\\|").replace("\n", " ")


def md_entry(e, level):
    out = ['<a id="%s"></a>\n%s `%s` (%s)\n' % (e.name, "#" * level, e.name, e.kind)]
    if e.signature:
        out.append("\n    %s\n" % e.signature)
    if e.doc:
        out.append("\nDocstring: `%s`\n" % e.doc)
    if e.text:
        out.append("\n%s\n" % e.text)
    if e.facts:
        out.append("\n" + "".join("- %s: %s\n" % f for f in e.facts))
    for c in e.children:
        out.append("\n" + md_entry(c, min(level + 1, 6)))
    return "".join(out)


def md_table(t):
    out = ["\n### %s\n\n" % t.title if t.title else "\n",
           "| %s |\n|%s\n" % (" | ".join(t.columns), "---|" * len(t.columns))]
    for row in t.rows:
        out.append("| %s |\n" % " | ".join(md_cell(c) for c in row))
    return "".join(out)


def md_page(section):
    out = ["<!-- Generated by %s; do not edit. -->\n# %s\n\n" % (MADE_FROM, section.title)]
    out += ["%s\n\n" % p for p in section.intro]
    for part in section.parts:
        out.append(md_table(part) if isinstance(part, Table) else "\n" + md_entry(part, 2))
    return "".join(out)


def md_index(all_sections):
    out = ["<!-- Generated by %s; do not edit. -->\n# qm API reference\n\n" % MADE_FROM,
           "The qm package that scripts import and the interfaces Python servers implement. "
           "index.html beside this file is the same reference on one page, with a search "
           "box.\n\n"]
    out += ["- [%s](%s.md)\n" % (s.title, s.page) for s in all_sections]
    return "".join(out)


# --- HTML --------------------------------------------------------------------------------

STYLE = """
body { font: 15px/1.45 sans-serif; margin: 0; color: #222; }
header { position: sticky; top: 0; background: #f4f4f0; border-bottom: 1px solid #ccc;
         padding: 8px 16px; }
header input { font-size: 16px; width: 28em; padding: 3px 6px; }
#count { margin-left: 1em; color: #555; }
#results { max-height: 40vh; overflow: auto; margin: 6px 0 0; padding-left: 2em; }
#results .k { color: #777; margin-left: .6em; font-size: 13px; }
main { padding: 0 16px 40px; }
nav a { margin-right: 1em; }
code, pre { font-family: monospace; }
.e { margin: 10px 0; padding-left: 10px; border-left: 3px solid #dde; }
.e .e { border-left-color: #eee; }
.n { font-weight: bold; font-family: monospace; }
.k { color: #777; font-size: 13px; }
.sig { display: block; background: #f7f7f7; padding: 2px 6px; white-space: pre-wrap; }
.f { color: #555; font-size: 13px; }
table { border-collapse: collapse; font-size: 13px; }
td, th { border: 1px solid #ddd; padding: 2px 6px; text-align: left; vertical-align: top; }
:target { background: #fff6c0; }
"""

SCRIPT = r"""
(function () {
  var box = document.getElementById("search");
  var list = document.getElementById("results");
  var count = document.getElementById("count");
  var items = [];
  var nodes = document.querySelectorAll("[data-s]");
  for (var i = 0; i < nodes.length; i++) {
    var name = nodes[i].getAttribute("data-s");
    items.push({name: name, key: name.toLowerCase(), kind: nodes[i].getAttribute("data-k"),
                id: nodes[i].id});
  }
  function search(text) {
    var q = text.trim().toLowerCase();
    while (list.firstChild) list.removeChild(list.firstChild);
    if (!q) {
      count.textContent = "";
      list.hidden = true;
      return;
    }
    var found = [];
    for (var i = 0; i < items.length; i++) {
      var at = items[i].key.indexOf(q);
      if (at < 0) continue;
      var last = items[i].key.slice(items[i].key.lastIndexOf(".") + 1);
      var rank = last === q ? 0 : last.indexOf(q) === 0 ? 1 : last.indexOf(q) > 0 ? 2 : 3;
      found.push({rank: rank, item: items[i]});
    }
    found.sort(function (a, b) {
      return a.rank - b.rank || a.item.key.length - b.item.key.length ||
             (a.item.key < b.item.key ? -1 : 1);
    });
    count.textContent = found.length + (found.length === 1 ? " match" : " matches");
    for (var j = 0; j < found.length && j < 300; j++) {
      var li = document.createElement("li");
      var a = document.createElement("a");
      a.href = "#" + found[j].item.id;
      a.textContent = found[j].item.name;
      var kind = document.createElement("span");
      kind.className = "k";
      kind.textContent = found[j].item.kind;
      li.appendChild(a);
      li.appendChild(kind);
      list.appendChild(li);
    }
    list.hidden = false;
  }
  box.addEventListener("input", function () { search(box.value); });
  function fromLocation() {
    var m = /^#search=(.*)$/.exec(window.location.hash);
    if (m) {
      box.value = decodeURIComponent(m[1]);
      search(box.value);
    }
  }
  window.addEventListener("hashchange", fromLocation);
  fromLocation();
  document.body.setAttribute("data-ready", String(items.length));
})();
"""


def esc(text):
    return html.escape(str(text), quote=True)


def html_entry(e):
    out = ['<div class="e" id="%s" data-s="%s" data-k="%s"><span class="n">%s</span> '
           '<span class="k">%s</span>' % (esc(e.name), esc(e.name), esc(e.kind), esc(e.name),
                                          esc(e.kind))]
    if e.signature:
        out.append('<code class="sig">%s</code>' % esc(e.signature))
    if e.doc:
        out.append('<div>Docstring: <code>%s</code></div>' % esc(e.doc))
    if e.text:
        out.append("<p>%s</p>" % esc(e.text))
    if e.facts:
        out.append('<div class="f">%s</div>' % "; ".join(
            "%s: %s" % (esc(label), esc(value)) for label, value in e.facts))
    out += [html_entry(c) for c in e.children]
    out.append("</div>\n")
    return "".join(out)


def html_table(t):
    out = ["<h3>%s</h3>" % esc(t.title) if t.title else "",
           "<table><tr>%s</tr>\n" % "".join("<th>%s</th>" % esc(c) for c in t.columns)]
    for row in t.rows:
        cells = "".join("<td>%s</td>" % esc(c) for c in row[1:])
        if t.key:
            name = t.key + row[0]
            out.append('<tr id="%s" data-s="%s" data-k="%s"><td><code>%s</code></td>%s</tr>\n'
                       % (esc(name), esc(name), esc(t.kind), esc(row[0]), cells))
        else:
            out.append("<tr><td><code>%s</code></td>%s</tr>\n" % (esc(row[0]), cells))
    out.append("</table>\n")
    return "".join(out)


def html_page(all_sections):
    out = ['<!DOCTYPE html>\n<!-- Generated by %s; do not edit. -->\n' % esc(MADE_FROM),
           '<html lang="en"><head><meta charset="utf-8"><title>qm API reference</title>'
           '<style>%s</style></head>\n<body>\n' % STYLE,
           '<header><input id="search" type="search" placeholder="Search functions, types, '
           'methods, symbols, result codes" autocomplete="off" aria-label="Search">'
           '<span id="count"></span><ol id="results" hidden></ol></header>\n<main>\n'
           '<h1>qm API reference</h1>\n<nav>%s</nav>\n' % "".join(
               '<a href="#%s">%s</a>' % (s.page, esc(s.title)) for s in all_sections)]
    for s in all_sections:
        out.append('<section><h2 id="%s">%s</h2>\n' % (s.page, esc(s.title)))
        out += ["<p>%s</p>\n" % esc(p) for p in s.intro]
        for part in s.parts:
            out.append(html_table(part) if isinstance(part, Table) else html_entry(part))
        out.append("</section>\n")
    out.append('<p class="f">Made by %s.</p>\n</main>\n<script>%s</script>\n</body></html>\n'
               % (esc(MADE_FROM), SCRIPT))
    return "".join(out)


# --- Driver ------------------------------------------------------------------------------


def outputs(catalog, package, host):
    all_sections = sections(catalog, package, host)
    files = [("index.html", html_page(all_sections)), ("index.md", md_index(all_sections))]
    files += [("%s.md" % s.page, md_page(s)) for s in all_sections]
    return files


def main(argv):
    if len(argv) < 4:
        sys.stderr.write(__doc__)
        return 2
    host = api.HostTables(argv[2])
    catalog, package = api.load(argv[3:])
    api.write(argv[1], outputs(catalog, package, host))
    return 0


if __name__ == "__main__":
    gen.run(main)

#!/usr/bin/env python3
"""The editor stubs and the API reference against the running package.

    check_api.py stubs QMHOST MODULES_DIR CATALOG_DIR
    check_api.py reference QMHOST DOCS_DIR
    check_api.py browser DOCS_DIR

`stubs` and `reference` run tests/scripts/package_dump.py through the
reference host (QMHOST_PLUGIN names the plug-in) for what the real package
has.  `stubs` parses every .pyi of MODULES_DIR and holds it against that:
every function, type, method, symbol and result code with its value and
docstring, and nothing the package lacks; with them catalog/package.txt,
whose docstrings and exceptions must be the package's.  `reference` finds
everything of the package in index.html and the Markdown pages.
`browser` opens index.html in headless Chromium and searches it (exit 77,
a skip, without Chromium).
"""
import ast
import html.parser
import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SKIP = 77


class Failures:
    def __init__(self):
        self.lines = []

    def check(self, ok, text):
        if not ok:
            self.lines.append(text)

    def same(self, what, expected, actual):
        expected, actual = set(expected), set(actual)
        for name in sorted(expected - actual):
            self.lines.append("%s: %s is missing" % (what, name))
        for name in sorted(actual - expected):
            self.lines.append("%s: %s is not in the package" % (what, name))

    def finish(self, done):
        if self.lines:
            print("\n".join(self.lines[:200]))
            print("%d failure(s)" % len(self.lines))
            return 1
        print(done)
        return 0


def package_dump(qmhost):
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "dump.json")
        script = os.path.join(HERE, "scripts", "package_dump.py")
        run = subprocess.run([qmhost, "run", script, out], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, universal_newlines=True, timeout=120)
        if run.returncode != 0 or not os.path.exists(out):
            sys.exit("the package dump failed:\n" + run.stdout)
        with open(out) as f:
            return json.load(f)


# --- Stubs ---------------------------------------------------------------------------------


class StubModule:
    """What a stub declares: public functions, values (with the literal
    they are given), classes with their members (those of their bases in
    the same stub too) and docstrings, and submodules it re-exports."""

    def __init__(self, path):
        tree = ast.parse(open(path).read(), path)
        self.functions, self.values, self.classes, self.modules, self.docs = {}, {}, {}, set(), {}
        classes = {}
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                self.functions[node.name] = ast.get_docstring(node)
            elif isinstance(node, ast.ClassDef):
                classes[node.name] = node
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                self.values[node.target.id] = (ast.literal_eval(node.value)
                                               if node.value is not None else None)
            elif isinstance(node, ast.ImportFrom) and node.level == 1:
                self.modules |= {a.asname for a in node.names if a.asname == a.name}
        for name, node in classes.items():
            self.classes[name] = self.members(node, classes)
            self.docs[name] = ast.get_docstring(node)

    def members(self, node, classes):
        own = {}
        for base in node.bases:
            if isinstance(base, ast.Name) and base.id in classes:
                own.update(self.members(classes[base.id], classes))
        for item in node.body:
            if isinstance(item, ast.FunctionDef) and item.name != "__init__":
                own[item.name] = ast.get_docstring(item)
            elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                own[item.target.id] = None
        return own

    def public(self, names):
        return {n for n in names if not n.startswith("_")}


def first_paragraph(doc):
    return (doc or "").split("\n\n")[0]


def check_types(failures, where, stub, types):
    failures.same(where, types, stub.public(stub.classes))
    for name, t in types.items():
        members = stub.classes.get(name)
        if members is None:
            continue
        failures.same("%s.%s" % (where, name), t["methods"], stub.public(members))
        for method, doc in t["methods"].items():
            if method in members:
                failures.check(first_paragraph(members[method]) == doc,
                               "%s.%s.%s: the stub's docstring %r is not %r"
                               % (where, name, method, members[method], doc))


def check_values(failures, where, stub, values):
    failures.same(where, values, stub.public(stub.values))
    for name, value in values.items():
        if name in stub.values:
            failures.check(stub.values[name] == value,
                           "%s.%s: the stub gives %r, the package %r"
                           % (where, name, stub.values[name], value))


def check_stubs(qmhost, modules_dir, catalog_dir):
    sys.path.insert(0, catalog_dir)
    import api
    import gen
    dump = package_dump(qmhost)
    failures = Failures()
    stub = {}
    for package in ("qm", "qmserv"):
        for name in sorted(os.listdir(os.path.join(modules_dir, package))):
            if name.endswith(".pyi"):
                module = package if name == "__init__.pyi" else package + "." + name[:-4]
                stub[module] = StubModule(os.path.join(modules_dir, package, name))
    failures.same("stub modules", ["qm"] + ["qm." + m for m in dump["submodules"]] +
                  list(dump["qmserv"]), stub)

    qm = stub["qm"]
    failures.same("qm", dump["functions"], qm.public(qm.functions))
    failures.same("qm submodules", dump["submodules"], qm.modules)
    check_types(failures, "qm", qm, dump["types"])
    check_types(failures, "qm.object", stub["qm.object"], dump["object"])
    check_types(failures, "qm.service", stub["qm.service"], dump["service"])
    check_values(failures, "qm.symbol", stub["qm.symbol"], dump["symbol"])
    check_values(failures, "qm.result", stub["qm.result"], dump["result"])
    failures.same("qm.ifc", dump["ifc"], stub["qm.ifc"].public(stub["qm.ifc"].values))

    # The module's own declarations, against the code.
    package = api.parse_package(os.path.join(catalog_dir, "package.txt"))
    failures.check(package.doc == dump["doc"], "qm's docstring is %r" % dump["doc"])
    for f in package.functions:
        failures.check(dump["functions"].get(f.short) == f.doc,
                       "%s: qm.%s's docstring is %r" % (f.source, f.short,
                                                       dump["functions"].get(f.short)))
    for t in package.types:
        real = (dump["object"] if t.module == "object" else dump["types"]).get(t.short, {})
        failures.check(real.get("doc") == t.doc, "%s: %s's docstring is %r"
                       % (t.source, t.name, real.get("doc")))
        for m in t.methods:
            doc = real.get("methods", {}).get(m.short)
            failures.check(doc == m.doc, "%s: %s.%s's docstring is %r"
                           % (m.source, t.name, m.short, doc))
    names = api.code_names(gen.load(api.catalog_files(catalog_dir)))
    for code, raised in dump["raises"].items():
        code = int(code, 16)
        expected = list(package.exception(code, names[code]))
        failures.check(raised == expected, "qm.throw(0x%08X) raised %r, package.txt says %r"
                       % (code, raised, expected))

    # qmserv: modules written by hand member by member; the interface
    # classes by name, with the methods their docstrings list.
    for module, names in dump["qmserv"].items():
        s = stub[module]
        declared = s.public(set(s.functions) | set(s.values) | set(s.classes) | s.modules)
        failures.same(module, names, declared)
        for name, entry in names.items():
            if entry["kind"] != "class" or name not in s.classes:
                continue
            if module == "qmserv.interfaces":
                for method in s.public(s.classes[name]):
                    failures.check(method + "(" in (entry["doc"] or ""),
                                   "%s.%s: the stub's %s is not in its docstring"
                                   % (module, name, method))
            else:
                failures.same("%s.%s" % (module, name), entry["members"],
                              s.public(s.classes[name]))
    return failures.finish("stubs: %d modules match the package" % len(stub))


# --- Reference -----------------------------------------------------------------------------


class Ids(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.ids, self.searchable = set(), {}
        self.body, self.count, self.results, self.in_count = {}, "", [], False
        self.link, self.in_results = None, False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if "id" in attrs:
            self.ids.add(attrs["id"])
        if "data-s" in attrs:
            self.searchable[attrs["data-s"]] = attrs.get("data-k")
        if tag == "body":
            self.body = attrs
        self.in_count = attrs.get("id") == "count"
        if tag == "ol" and attrs.get("id") == "results":
            self.in_results = True
        if tag == "a" and self.in_results and "href" in attrs:
            self.link = attrs["href"]

    def handle_endtag(self, tag):
        if tag == "ol":
            self.in_results = False

    def handle_data(self, data):
        if self.in_count:
            self.count += data
        if self.link is not None:
            self.results.append((self.link, data))
            self.link = None


def parse_page(text):
    page = Ids()
    page.feed(text)
    return page


def package_names(dump):
    """The full name of everything the package has."""
    names = ["qm." + n for n in list(dump["functions"]) + list(dump["types"])]
    for n, t in dump["types"].items():
        names += ["qm.%s.%s" % (n, m) for m in t["methods"]]
    for module in ("object", "service"):
        for n, t in dump[module].items():
            names.append("qm.%s.%s" % (module, n))
            names += ["qm.%s.%s.%s" % (module, n, m) for m in t["methods"]]
    names += ["qm.symbol." + n for n in dump["symbol"]]
    names += ["qm.result." + n for n in dump["result"]]
    # The methods of an interface class, from the lines of its docstring
    # that begin with its prefix.
    for name, entry in dump["qmserv"]["qmserv.interfaces"].items():
        if entry["kind"] != "class":
            continue
        names.append("qmserv.interfaces." + name)
        doc = entry["doc"] or ""
        prefix = doc.partition("method prefix ")[2].partition(".")[0]
        for line in doc.splitlines():
            method, paren, _ = line.strip().partition("(")
            if paren and method.startswith(prefix):
                names.append("qmserv.interfaces.%s.%s" % (name, method))
    return names


def check_reference(qmhost, docs_dir):
    dump = package_dump(qmhost)
    failures = Failures()
    page = parse_page(open(os.path.join(docs_dir, "index.html")).read())
    markdown = "".join(open(os.path.join(docs_dir, n)).read()
                       for n in os.listdir(docs_dir) if n.endswith(".md"))
    names = package_names(dump)
    for name in names:
        failures.check(name in page.searchable, "index.html: no %s to find" % name)
        failures.check('<a id="%s">' % name in markdown or name.startswith(("qm.symbol.",
                                                                            "qm.result.")),
                       "Markdown: no %s" % name)
        if name.startswith(("qm.symbol.", "qm.result.")):
            failures.check("| %s |" % name.split(".")[-1] in markdown, "Markdown: no %s" % name)
    return failures.finish("reference: %d names found" % len(names))


# --- Browser -------------------------------------------------------------------------------


def dump_dom(browser, url):
    with tempfile.TemporaryDirectory() as profile:
        run = subprocess.run([browser, "--headless", "--disable-gpu", "--no-sandbox",
                              "--user-data-dir=" + profile, "--dump-dom", url],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             universal_newlines=True, timeout=90)
    if run.returncode != 0:
        sys.exit("%s exited with %d" % (browser, run.returncode))
    return parse_page(run.stdout)


def check_browser(docs_dir):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        print("SKIPPED: Chromium is not installed (tools/setup.sh installs it)")
        return SKIP
    path = os.path.abspath(os.path.join(docs_dir, "index.html"))
    static = parse_page(open(path).read())
    failures = Failures()
    methods = sorted(n for n, k in static.searchable.items() if k == "method")
    symbols = sorted(n for n, k in static.searchable.items() if k == "symbol")
    nonsense = "zqxjzqxj"
    assert methods and symbols and not any(nonsense in n.lower() for n in static.searchable)
    # The longest names: a search for the last part finds few others.
    for wanted in (max(methods, key=len), max(symbols, key=len)):
        word = wanted.split(".")[-1]
        page = dump_dom(browser, "file://%s#search=%s" % (path, word))
        failures.check(page.body.get("data-ready") == str(len(static.searchable)),
                       "search %s: the page's script did not run to its end (data-ready=%r)"
                       % (word, page.body.get("data-ready")))
        failures.check(("#" + wanted, wanted) in page.results,
                       "search %s: %s is not among %r" % (word, wanted, page.results[:5]))
        failures.check(page.count.endswith("matches") or page.count == "1 match",
                       "search %s: the count says %r" % (word, page.count))
    page = dump_dom(browser, "file://%s#search=%s" % (path, nonsense))
    failures.check(page.count == "0 matches" and not page.results,
                   "search %s: %r, %r" % (nonsense, page.count, page.results[:5]))
    return failures.finish("browser: the page searches")


def main(argv):
    if len(argv) >= 2 and argv[1] == "stubs" and len(argv) == 5:
        return check_stubs(argv[2], argv[3], argv[4])
    if len(argv) >= 2 and argv[1] == "reference" and len(argv) == 4:
        return check_reference(argv[2], argv[3])
    if len(argv) >= 2 and argv[1] == "browser" and len(argv) == 3:
        return check_browser(argv[2])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Checks that the generator keeps each family's interfaces to headers of
their own, so that a catalogue edit rewrites only what it has to:

- no family header includes a header of another family;
- a method added to one interface (one that scripts do not see) rewrites
  only that family's layout and implementation headers, the interface
  table and the server signatures; the declarations every unit sees stay;
- a changed symbol value rewrites only the package set-up;
- the C++ files of a family that is gone are removed.

    check_family_headers.py CATALOG_DIR
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile


def generate(catalog_dir, outdir):
    inputs = sorted(glob.glob(os.path.join(catalog_dir, "*.ifc")))
    inputs += [os.path.join(catalog_dir, "results.txt"), os.path.join(catalog_dir, "families.txt")]
    subprocess.check_call([sys.executable, os.path.join(catalog_dir, "gen.py"), outdir] + inputs)


def read_tree(outdir):
    files = {}
    for root, _, names in os.walk(outdir):
        for name in names:
            path = os.path.join(root, name)
            with open(path) as f:
                files[os.path.relpath(path, outdir)] = f.read()
    return files


def changed(before, after):
    return sorted(n for n in set(before) | set(after) if before.get(n) != after.get(n))


def pick_interface(catalog, catalog_dir):
    """A non-server interface with a script list (a method added to it
    changes no wrapper) whose last method is followed by a blank or comment
    line: the new method takes that line, so that no other declaration's
    line number (which the generated code cites) moves.  Gives the
    interface, its file and the line number to replace."""
    for i in catalog.interfaces:
        if i.script_order is None or i.server or not i.methods:
            continue
        path, lineno = i.methods[-1].source.rsplit(":", 1)
        path = os.path.join(catalog_dir, os.path.basename(path))
        with open(path) as f:
            lines = f.readlines()
        after = int(lineno) + 1
        if after <= len(lines) and lines[after - 1].split("#", 1)[0].strip() == "":
            return i, path, after
    raise SystemExit("no interface to add a method to")


def edit_line(path, lineno, new_line):
    with open(path) as f:
        lines = f.readlines()
    lines[lineno - 1] = new_line
    with open(path, "w") as f:
        f.writelines(lines)


def main(source_dir):
    sys.path.insert(0, source_dir)
    import gen
    failures = []
    work = tempfile.mkdtemp()
    try:
        catalog_dir = os.path.join(work, "catalog")
        shutil.copytree(source_dir, catalog_dir, ignore=shutil.ignore_patterns("__pycache__"))
        catalog = gen.Catalog()
        for path in sorted(glob.glob(os.path.join(catalog_dir, "*.ifc"))):
            gen.parse_ifc(path, catalog)
        gen.parse_families(os.path.join(catalog_dir, "families.txt"), catalog)

        out = os.path.join(work, "out")
        os.makedirs(out)
        stale = os.path.join(out, gen.ifc_header("nosuchfamily"))
        open(stale, "w").close()
        generate(catalog_dir, out)
        base = read_tree(out)
        if os.path.exists(stale):
            failures.append("the header of a family that is gone was left in place")

        family_header = re.compile(r'#include "qm_(?:ifc|impl|loc)_(\w+)\.h"')
        for f in catalog.family_order:
            for header in (gen.ifc_header(f), gen.impl_header(f), gen.loc_header(f)):
                if header not in base:
                    failures.append("%s was not written" % header)
                    continue
                others = [g for g in family_header.findall(base[header]) if g != f]
                if others:
                    failures.append("%s includes the headers of %s" % (header, ", ".join(others)))

        # A method added at the end of one interface.
        i, path, lineno = pick_interface(catalog, catalog_dir)
        with open(path) as f:
            kept = f.readlines()[lineno - 1]
        edit_line(path, lineno, "  SplitCheckAdded(out u32 value)\n")
        generate(catalog_dir, out)
        after = read_tree(out)
        expected = sorted([gen.ifc_header(i.family), gen.impl_header(i.family),
                           "qm_interface_table.cpp", "qm_server_signatures.txt"])
        if changed(base, after) != expected:
            failures.append("a method added to %s (family %s) rewrote %s, expected %s"
                            % (i.cname, i.family, changed(base, after), expected))
        edit_line(path, lineno, kept)
        generate(catalog_dir, out)
        if changed(base, read_tree(out)):
            failures.append("undoing the edit left %s changed" % changed(base, read_tree(out)))

        # A symbol value changed.
        symbol_re = re.compile(r"^symbol\s+(\w+)\s+(-?\d+)\s*$")
        for path in sorted(glob.glob(os.path.join(catalog_dir, "*.ifc"))):
            with open(path) as f:
                lines = f.readlines()
            hit = next((k for k, l in enumerate(lines) if symbol_re.match(l)), None)
            if hit is not None:
                name, value = symbol_re.match(lines[hit]).groups()
                edit_line(path, hit + 1, "symbol %s %d\n" % (name, int(value) + 1))
                break
        else:
            raise SystemExit("no integer symbol to edit")
        generate(catalog_dir, out)
        if changed(base, read_tree(out)) != ["qm_setup.cpp"]:
            failures.append("a symbol value (%s) rewrote %s, expected only qm_setup.cpp"
                            % (name, changed(base, read_tree(out))))
    finally:
        shutil.rmtree(work)

    for f in failures:
        print("FAIL: " + f)
    print("family headers: %d families checked, %d failures"
          % (len(catalog.family_order), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

#!/usr/bin/env python3
"""Checks what the generator derives for Python servers against the list of
implementable interfaces: every listed interface must be declared `server`,
with the same GUID and prefix, and each of its slots must read the same.

    check_server_signatures.py CATALOG_DIR LIST_FILE
"""
import glob
import os
import sys


def read_list(path):
    entries = {}
    for line in open(path):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        head, _, slots = line.partition(": ")
        name, guid, prefix = head.split()
        entries[name] = (guid.upper(), prefix.rstrip("_"), slots)
    return entries


def main(catalog_dir, list_file):
    sys.path.insert(0, catalog_dir)
    import gen
    catalog = gen.Catalog()
    for path in sorted(glob.glob(os.path.join(catalog_dir, "*.ifc"))):
        gen.parse_ifc(path, catalog)
    listed = read_list(list_file)
    failures = []
    declared = 0
    for i in catalog.interfaces:
        if not i.server:
            continue
        declared += 1
        if i.name not in listed:
            failures.append("%s is declared server but is not implementable" % i.name)
            continue
        guid, prefix, slots = listed[i.name]
        if i.guid.upper() != guid:
            failures.append("%s: GUID %s, listed %s" % (i.name, i.guid, guid))
        if prefix != "-" and i.prefix != prefix:
            failures.append("%s: prefix %s, listed %s" % (i.name, i.prefix, prefix))
        derived = ", ".join(m.server_signature() for m in i.methods)
        if derived != slots:
            failures.append("%s:\n  derived %s\n  listed  %s" % (i.name, derived, slots))
    for name in sorted(set(listed) - {i.name for i in catalog.interfaces if i.server}):
        failures.append("%s is implementable but not declared server" % name)
    for f in failures:
        print(f)
    print("%d of %d implementable interfaces declared; %d mismatches"
          % (declared, len(listed), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))

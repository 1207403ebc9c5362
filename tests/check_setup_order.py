#!/usr/bin/env python3
"""The package set-up registers its types family by family, starting in a
fixed order: the channel family's twelve, then the command family's three
first, then the deformer family; each family's types come before its
constants.

    check_setup_order.py GENERATED_DIR
"""
import re
import sys

FIRST = [
    "object ChannelWrite", "object Evaluation", "object ChannelRead", "object Modifier",
    "service AudioAnim", "object ChannelModifier", "service ChannelUI", "object ChannelUI",
    "object VideoClipItem", "object ColorModel", "object Color", "service GUID",
    "object Command", "object CommandEvent", "object UIValueHints",
]


def main(argv):
    text = open(argv[1] + "/qm_setup.cpp").read()
    body = text[text.index("void SetUpFamilies("):]
    calls = []  # (family, kind name) in the order of the set-up
    symbols_seen = set()
    family = None
    failures = []
    for line in body.split("\n"):
        m = re.match(r"\s*// family (\w+)", line)
        if m:
            family = m.group(1)
            continue
        m = re.match(r"\s*SetUp_Qm(Obj|Svc)_(\w+)\((object|service)\);", line)
        if m:
            if family in symbols_seen:
                failures.append("%s set up after the constants of %s" % (m.group(2), family))
            calls.append((family, ("object " if m.group(1) == "Obj" else "service ") + m.group(2)))
        elif "AddSymbols(" in line:
            symbols_seen.add(family)
    order = [c for _, c in calls]
    if order[:len(FIRST)] != FIRST:
        failures.append("the set-up starts %s" % order[:len(FIRST)])
    families = []
    for f, _ in calls:
        if not families or families[-1] != f:
            families.append(f)
    if len(families) != len(set(families)):
        failures.append("a family's types are not in one block: %s" % families)
    if families[:3] != ["channel", "command", "deformer"]:
        failures.append("the families start %s" % families[:3])
    for f in failures:
        print("FAILED: " + f)
    print("%d types in %d families" % (len(calls), len(families)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

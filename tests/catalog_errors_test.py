#!/usr/bin/env python3
"""The generator refuses a faulty catalogue with a catalogue error that
names the line, and generates from a sound one.

    catalog_errors_test.py CATALOG_DIR SEED_DIR

Each case is one edit of the seed catalogue (one line of one file put in
place of another); the generator must end with the expected error text,
never with another exception.
"""
import os
import shutil
import sys
import tempfile

# (file, line to replace, replacement, expected error text)
CASES = [
    # An unknown element type of a list ended by 0.
    ("scene.ifc", "  TestTypes(i32[0-ended] types) -> i32", "  TestTypes(i3x[0-ended] types) -> i32",
     "bad parameter 'i3x[0-ended] types'"),
    ("scene.ifc", "  TestTypes(i32[0-ended] types) -> i32", "  TestTypes(f32[0-ended] types) -> i32",
     "only an integer list can be ended by 0"),
    # A length of digits other than 0 to 9.
    ("scene.ifc", "  Data(u8[n] bytes, i32 n) {python: notimpl}",
     "  Data(u8[\u00b2] bytes, i32 n) {python: notimpl}", "bad array length"),
    # A method of an interface that Python may implement returning an object.
    ("scene.ifc", "  SetName(str name)", "  SetName(str name) -> obj",
     "a Python server cannot return obj"),
    ("scene.ifc", "  SetPosition(vec pos, f64 weight, f32 blend)",
     "  SetPosition(mat3 pos, f64 weight, f32 blend)", "a Python server cannot receive mat3"),
    ("scene.ifc", "  Type() -> u32", "  Type() -> u33", "unknown result type u33"),
    ("scene.ifc", "  Data(u8[n] bytes, i32 n) {python: notimpl}",
     "  Data(u8[m] bytes, i32 n) {python: notimpl}", "array length m is no integer parameter"),
    ("scene.ifc", "symbol iTYPE_ANY -1", 'symbol iTYPE_ANY "-1', "unterminated string"),
    ("scene.ifc", "symbol iTYPE_ANY -1", "symbol sITYPE_MESH \"other\"",
     "symbol sITYPE_MESH stands twice in family scene"),
    ("results.txt", "NOTFOUND      0x80000017", "NOTFOUND      0x8000017",
     "expected 'NAME 0xXXXXXXXX'"),
    ("families.txt", "scene", "other", "family scene is missing from families.txt"),
    # A family names generated files.
    ("scene.ifc", "family scene", "family ../scene", "expected 'family NAME'"),
    ("families.txt", "scene", "x" * 300, "a family is a short lower-case word"),
]


def generate(gen, folder, out):
    paths = sorted(os.path.join(folder, f) for f in os.listdir(folder))
    return gen.main(["gen.py", out] + paths)


def main(argv):
    catalog_dir, seed_dir = argv[1], argv[2]
    sys.path.insert(0, catalog_dir)
    import gen

    failures = []
    work = tempfile.mkdtemp(prefix="qm-catalog-errors-")
    try:
        sound = os.path.join(work, "sound")
        shutil.copytree(seed_dir, sound)
        if generate(gen, sound, os.path.join(work, "out")) != 0:
            failures.append("the seed catalogue does not generate")
        for name, old, new, expected in CASES:
            folder = os.path.join(work, "case")
            shutil.rmtree(folder, ignore_errors=True)
            shutil.copytree(seed_dir, folder)
            path = os.path.join(folder, name)
            with open(path) as f:
                lines = f.read().split("\n")
            if old not in lines:
                failures.append("%s: no line %r in the seed" % (name, old))
                continue
            lines[lines.index(old)] = new
            with open(path, "w") as f:
                f.write("\n".join(lines))
            try:
                generate(gen, folder, os.path.join(work, "case-out"))
                failures.append("%r was accepted" % new)
            except gen.CatalogError as e:
                if expected not in str(e):
                    failures.append("%r: %s (expected %r)" % (new, e, expected))
            except Exception as e:  # anything but a catalogue error is the fault
                failures.append("%r: %s: %s" % (new, type(e).__name__, e))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAILED: " + f)
    print("%d cases, %d failures" % (len(CASES) + 1, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Fuzzes the catalogue reader and the generator.

Each input is a whole small catalogue (a families list, a result list and
interface files), made by mutating the seed catalogues under
fuzz/corpus/catalog/ (one folder each).  The generator must either refuse
it with a catalogue error or write its output; any other exception is a
finding, kept with its traceback under the findings folder.  Inputs that
run generator lines no input ran before join the corpus (line coverage of
gen.py and kinds.py, from a trace function).

    catalog_fuzz.py [--seconds S] [--runs N] [--seed K] [--corpus DIR]
                    [--findings DIR] [--save]

Prints a line of figures at the end; exits with 1 when there were findings.
"""
import argparse
import hashlib
import os
import random
import shutil
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "catalog"))
import gen  # noqa: E402

TRACED = {os.path.join(ROOT, "catalog", name) for name in ("gen.py", "kinds.py")}

# Words that the mutations put in place of others: the catalogue's own
# keywords and kinds, and texts at the edges of what it accepts.
TOKENS = [
    "family", "interface", "service", "symbol", "script:", "prefix", "object", "server",
    "out", "i32", "u32", "f32", "f64", "str", "guid", "obj", "obj<Item>", "obj<Unknown>",
    "obj<Nothing>", "ptr", "id", "vec", "mat3", "mat4", "u8[n]", "f32[3]", "i32[0-ended]",
    "f64[]", "data[n]", "u8[0-ended]", "i32[-1]", "f32[99999999999999999999]", "->", "-> u32",
    "-> i32", "-> f64", "-> str", "-> obj", "-> ptr", "{python: notimpl}", "{python: zero}",
    "{python: nothing}", "{waits}", "{python: }", "{", "}", "(", ")", ",", "()", "(,)", "#",
    '"', '""', '"unterminated', "0", "-1", "0x", "0x80000000", "0xFFFFFFFF", "0x100000000",
    "4294967296", "-2147483649", "1e308", "-1e400", "nan", "inf", "0.052", "1.", ".5",
    "00000000-0000-0000-0000-0000000000C4", "7C4D5B5E-1E36-4C3F-9A2A-4F6D2E2B3C01",
    "ZZZZZZZZ-0000-0000-0000-000000000000", "{7C4D5B5E-1E36-4C3F-9A2A-4F6D2E2B3C01}",
    "Item", "Unknown", "Scene", "Tool", "Name", "set", "test", "ScriptQuery", "x" * 300,
    "\t", " ", "\\", "\x00", "\xff", "é", "OK", "FAILED", "base",
]


def load_seeds(folder):
    seeds = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if not os.path.isdir(path):
            continue
        files = {}
        for f in sorted(os.listdir(path)):
            with open(os.path.join(path, f), encoding="utf-8", errors="surrogateescape") as text:
                files[f] = text.read()
        seeds.append(files)
    if not seeds:
        raise SystemExit("no seed catalogues in %s" % folder)
    return seeds


class Mutator:
    def __init__(self, rng, corpus):
        self.rng = rng
        self.corpus = corpus

    def any_line(self):
        files = self.rng.choice(self.corpus)
        lines = self.rng.choice(list(files.values())).split("\n")
        return self.rng.choice(lines)

    def mutate(self, catalogue):
        files = dict(catalogue)
        names = sorted(files)
        # Interface files are where most of the grammar is.
        weights = [6 if n.endswith(".ifc") else 1 for n in names]
        for _ in range(self.rng.randint(1, 4)):
            name = self.rng.choices(names, weights)[0]
            files[name] = self.change(files[name])
        if self.rng.random() < 0.05:
            # A file of another name: a second interface file, or one the
            # generator does not know.
            files[self.rng.choice(["extra.ifc", "more.ifc"])] = self.any_line() + "\n"
        return files

    def change(self, text):
        rng = self.rng
        lines = text.split("\n")
        op = rng.randrange(9)
        i = rng.randrange(len(lines))
        if op == 0 and len(lines) > 1:
            del lines[i]
        elif op == 1:
            lines.insert(i, lines[rng.randrange(len(lines))])
        elif op == 2:
            j = rng.randrange(len(lines))
            lines[i], lines[j] = lines[j], lines[i]
        elif op == 3:
            lines.insert(i, self.any_line())
        elif op in (4, 5):
            words = lines[i].split(" ")
            k = rng.randrange(len(words))
            if rng.random() < 0.5:
                words[k] = rng.choice(TOKENS)
            else:
                words.insert(k, rng.choice(TOKENS))
            lines[i] = " ".join(words)
        elif op == 6:
            line = lines[i]
            k = rng.randrange(len(line) + 1)
            lines[i] = line[:k] + rng.choice(TOKENS) + line[k:]
        elif op == 7:
            line = lines[i]
            if line:
                k = rng.randrange(len(line))
                lines[i] = line[:k] + chr(rng.randrange(1, 256)) + line[k + 1:]
        else:
            cut = rng.randrange(len(text) + 1)
            return text[:cut]
        return "\n".join(lines)


class Coverage:
    """Lines of the generator that some input has run."""

    def __init__(self):
        self.seen = set()
        self.current = set()

    def tracer(self, frame, event, arg):
        if frame.f_code.co_filename not in TRACED:
            return None
        return self.local

    def local(self, frame, event, arg):
        if event == "line":
            self.current.add((frame.f_code.co_filename, frame.f_lineno))
        return self.local

    def start(self):
        self.current = set()
        sys.settrace(self.tracer)

    def stop(self):
        sys.settrace(None)
        new = self.current - self.seen
        self.seen |= new
        return bool(new)


def executable_lines():
    lines = set()
    for path in TRACED:
        with open(path) as f:
            code = compile(f.read(), path, "exec")
        stack = [code]
        while stack:
            c = stack.pop()
            lines.update((path, line) for _, _, line in c.co_lines() if line is not None)
            stack.extend(k for k in c.co_consts if hasattr(k, "co_lines"))
    return lines


def run_one(files, work):
    """Writes the catalogue into `work` and generates from it.  Returns
    "refused", "accepted" or the traceback of anything else."""
    source = os.path.join(work, "catalog")
    out = os.path.join(work, "out")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(source)
    paths = []
    for name, text in files.items():
        path = os.path.join(source, name)
        with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(text)
        paths.append(path)
    try:
        gen.main(["gen.py", out] + sorted(paths))
    except gen.CatalogError:
        return "refused"
    except Exception:  # the finding: anything but a clear catalogue error
        return traceback.format_exc()
    return "accepted"


def keep_finding(files, trace, folder):
    digest = hashlib.sha1(repr(sorted(files.items())).encode("utf-8", "surrogateescape"))
    where = os.path.join(folder, digest.hexdigest()[:12])
    os.makedirs(where, exist_ok=True)
    for name, text in files.items():
        with open(os.path.join(where, name), "w", encoding="utf-8",
                  errors="surrogateescape") as f:
            f.write(text)
    with open(os.path.join(where, "traceback.txt"), "w") as f:
        f.write(trace)
    return where


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--runs", type=int, default=0, help="stop after this many (0: no limit)")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--corpus", default=os.path.join(HERE, "corpus", "catalog"))
    parser.add_argument("--findings", default=os.path.join(ROOT, "build", "fuzz-findings",
                                                            "catalog"))
    parser.add_argument("--save", action="store_true",
                        help="write inputs that reach new lines into the corpus folder")
    args = parser.parse_args(argv[1:])

    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    rng = random.Random(seed)
    corpus = load_seeds(args.corpus)
    mutator = Mutator(rng, corpus)
    coverage = Coverage()
    total = len(executable_lines())
    counts = {"refused": 0, "accepted": 0}
    findings = []
    work = tempfile.mkdtemp(prefix="qm-catalog-fuzz-", dir="/dev/shm" if os.path.isdir(
        "/dev/shm") else None)
    started = time.monotonic()
    runs = 0
    try:
        for files in list(corpus):  # the seeds themselves first
            coverage.start()
            run_one(files, work)
            coverage.stop()
        while True:
            if args.runs and runs >= args.runs:
                break
            if time.monotonic() - started >= args.seconds:
                break
            files = mutator.mutate(rng.choice(corpus))
            coverage.start()
            outcome = run_one(files, work)
            new = coverage.stop()
            runs += 1
            if outcome in counts:
                counts[outcome] += 1
            else:
                where = keep_finding(files, outcome, args.findings)
                findings.append(where)
                sys.stderr.write("finding kept in %s\n%s\n" % (where, outcome))
            if new:
                corpus.append(files)
                if args.save:
                    name = hashlib.sha1(repr(sorted(files.items())).encode(
                        "utf-8", "surrogateescape")).hexdigest()[:12]
                    folder = os.path.join(args.corpus, "found-" + name)
                    os.makedirs(folder, exist_ok=True)
                    for fname, text in files.items():
                        with open(os.path.join(folder, fname), "w", encoding="utf-8",
                                  errors="surrogateescape") as f:
                            f.write(text)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    seconds = time.monotonic() - started
    print("catalog: %d executions in %.0f s (seed %d), %d refused, %d accepted, "
          "corpus %d, lines %d of %d, findings %d" % (
              runs, seconds, seed, counts["refused"], counts["accepted"], len(corpus),
              len(coverage.seen), total, len(findings)))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

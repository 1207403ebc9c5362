"""Sweeps injected host faults over one scenario of qmhost.

    fault_sweep.py QMHOST FAULTS_DIR SCENARIO [--limit N] [--only METHOD ...]

A clean run first counts how often the scenario calls each host method
(QMHOST_CALLS).  Then, for every method and every call N of it (the first
LIMIT calls of a method, when a limit is given), qmhost runs the scenario
again with that call failing (QMHOST_FAULT=METHOD:N), each in a process of
its own, once answering QMe_FAILED and, for a method with out-objects or a
result value, once answering success with nothing (":null").  Each point
must end in one of two ways:

  - absorbed: qmhost exits 0 and the scenario's last line is there (the
    plug-in coped, or answered the failure inside the scenario, say with a
    Python exception the script caught);
  - refused: qmhost exits 1 and says why (a result code, an exception's
    text or a logged error).

A signal, a sanitizer report, a leaked host object, any other exit status
or a scenario that ends early without a word is a defect.  A hang is left
to the test's timeout; the point being run is printed before it runs.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

SCENARIOS = {
    # name: (qmhost arguments after the options, standard input, the last line)
    "run": (["run", "{dir}/script.py", "one", "two words"], None, "script done"),
    "console": (["console"], "{dir}/console.txt", "console done"),
    "server": (["simulate", "sweep.ball", "--steps", "2"], None, "ball done"),
    "module": (["servers"], None, "sweep.ball  IQmSimulationModifier"),
}

# A failure said in words: a result code, an exception, a logged error.
EXPLAINED = re.compile(r"0x[0-9A-F]{8}|\[error\]|\[warning\]|Error|error|exception|failed|could not")
RESULT = re.compile(r"(result|error): 0x[0-9A-F]{8}")
LOGGING = ("LogService.", "Log.", "LogEntry.")
SANITIZER = re.compile(r"ERROR: (Address|Leak)Sanitizer|runtime error:|Segmentation fault")


def run(qmhost, faults_dir, scenario, env_extra):
    args, stdin, _ = SCENARIOS[scenario]
    command = [qmhost, "--scripts", faults_dir] + [a.format(dir=faults_dir) for a in args]
    env = dict(os.environ)
    env.update(env_extra)
    source = open(stdin.format(dir=faults_dir), "rb") if stdin else subprocess.DEVNULL
    try:
        done = subprocess.run(command, stdin=source, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=env)
    finally:
        if stdin:
            source.close()
    return (done.returncode, done.stdout.decode("utf-8", "replace"),
            done.stderr.decode("utf-8", "replace"))


def count_calls(qmhost, faults_dir, scenario):
    with tempfile.NamedTemporaryFile("r", suffix=".calls") as calls:
        rc, out, err = run(qmhost, faults_dir, scenario, {"QMHOST_CALLS": calls.name})
        last = SCENARIOS[scenario][2]
        if rc != 0 or last not in out:
            sys.exit("the clean %s run failed (%d):\n%s%s" % (scenario, rc, out, err))
        counts = {}
        for line in calls:
            method, n, answers = line.split()
            counts[method] = (int(n), answers.split(","))
    return counts


def judge(scenario, point, rc, out, err):
    """None when the point ended well, else what is wrong."""
    if rc < 0:
        return "killed by signal %d" % -rc
    if SANITIZER.search(err) or SANITIZER.search(out):
        return "sanitizer report"
    if "leaked host objects" in err:
        return "leaked host objects"
    if rc not in (0, 1):
        return "exit status %d" % rc
    if rc == 0 and SCENARIOS[scenario][2] in out:
        return None
    # What the log (or the console) shows must say why; only a fault of the
    # log itself may leave the result code alone to say it.
    if EXPLAINED.search(out):
        return None
    if rc == 1 and point.startswith(LOGGING) and RESULT.search(err):
        return None
    return "ended early without a log entry saying why"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("qmhost")
    parser.add_argument("faults_dir")
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--limit", type=int, default=0)
    parser.add_argument("--only", nargs="*", default=None)
    a = parser.parse_args()

    counts = count_calls(a.qmhost, a.faults_dir, a.scenario)
    methods = sorted(m for m in counts if a.only is None or m in a.only)
    points = []
    for method in methods:
        calls, answers = counts[method]
        if a.limit > 0:
            calls = min(calls, a.limit)
        for n in range(1, calls + 1):
            points.append("%s:%d" % (method, n))
            if "null" in answers:
                points.append("%s:%d:null" % (method, n))

    defects, absorbed, refused, unreached = [], 0, 0, 0
    for point in points:
        print("point %s" % point, flush=True)
        rc, out, err = run(a.qmhost, a.faults_dir, a.scenario, {"QMHOST_FAULT": point})
        if "not reached" in err:
            unreached += 1
        problem = judge(a.scenario, point, rc, out, err)
        if problem is not None:
            defects.append((point, problem, rc, out, err))
        elif rc == 0:
            absorbed += 1
        else:
            refused += 1

    for point, problem, rc, out, err in defects:
        print("DEFECT %s: %s (exit %d)\n--- out\n%s--- err\n%s" % (point, problem, rc, out, err))
    print("%s: %d methods, %d fault points: %d absorbed, %d refused, %d not reached, %d defects"
          % (a.scenario, len(methods), len(points), absorbed, refused, unreached, len(defects)))
    print("%d passed, %d failed" % (len(points) - len(defects), len(defects)))
    return 1 if defects else 0


if __name__ == "__main__":
    sys.exit(main())

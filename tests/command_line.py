#!/usr/bin/env python3
"""qmhost's command line as a user meets it: help and version, errors that
name what was wrong (on standard error, with a non-zero status), -c, run -,
script arguments, the import paths, and the console's exit statuses.

    command_line.py QMHOST VERSION
"""
import os
import subprocess
import sys
import tempfile

QMHOST = os.path.abspath(sys.argv[1])
VERSION = sys.argv[2]
failures = []


def qmhost(*args, stdin="", env=None):
    run_env = dict(os.environ)
    run_env.pop("PYTHONPATH", None)
    run_env.update(env or {})
    done = subprocess.run([QMHOST] + list(args), input=stdin, capture_output=True, text=True,
                          env=run_env, timeout=60)
    return done.returncode, done.stdout, done.stderr


def check(what, got, rc=None, out=None, err=None, out_has=(), err_has=(), out_lacks=()):
    code, stdout, stderr = got
    problems = []
    if rc is not None and code != rc:
        problems.append("status %d, not %d" % (code, rc))
    if out is not None and stdout != out:
        problems.append("stdout %r, not %r" % (stdout, out))
    if err is not None and stderr != err:
        problems.append("stderr %r, not %r" % (stderr, err))
    for text in out_has:
        if text not in stdout:
            problems.append("no %r in stdout %r" % (text, stdout))
    for text in out_lacks:
        if text in stdout:
            problems.append("%r in stdout %r" % (text, stdout))
    for text in err_has:
        if text not in stderr:
            problems.append("no %r in stderr %r" % (text, stderr))
    if problems:
        failures.append("%s: %s" % (what, "; ".join(problems)))


def usage_error(what, got, *named):
    check(what, got, rc=2, out="", err_has=("qmhost: ",) + named + ("qmhost --help",))


def main():
    # Help and version go to standard output and succeed.
    check("--help", qmhost("--help"), rc=0, err="",
          out_has=("usage: qmhost", "run FILE", "console", "--import-path", "-c CODE"))
    check("-h", qmhost("-h"), rc=0, err="", out_has=("usage: qmhost",))
    check("--version", qmhost("--version"), rc=0, err="", out_has=("qmhost %s " % VERSION,))
    check("scripts read the version", qmhost("-c", "import qm; print qm.__version__"), rc=0,
          out="%s\n" % VERSION)

    # Usage errors name what was wrong.
    usage_error("no command", qmhost(), "a command is needed")
    usage_error("unknown option", qmhost("--frobnicate", "servers"), "'--frobnicate'")
    usage_error("unknown short option", qmhost("-q", "servers"), "'-q'")
    usage_error("option without its value", qmhost("--plugin"), "'--plugin' needs a value")
    usage_error("unknown command", qmhost("serve"), "unknown command 'serve'")
    usage_error("run without a file", qmhost("run"), "run needs a script file")
    usage_error("console with an operand", qmhost("console", "extra"), "'extra'")
    usage_error("steps not a number", qmhost("simulate", "falling.ball", "--steps", "abc"),
                "not 'abc'")
    usage_error("steps negative", qmhost("simulate", "x", "--steps=-2"), "not '-2'")
    usage_error("steps partly a number", qmhost("simulate", "x", "--steps", "3x"), "not '3x'")
    usage_error("simulate without a server", qmhost("simulate"), "needs the name of a server")
    usage_error("simulate with two servers", qmhost("simulate", "a", "b"), "'b'")
    # An argument the plug-in's splitter would change is refused.
    usage_error("argument with a quote", qmhost("-c", "pass", '"a b', "", "tail"),
                "double quote")

    # --opt=value works like --opt value.
    check("--plugin=PATH", qmhost("--plugin=/nonexistent/lib.so", "servers"), rc=1,
          err_has=("/nonexistent/lib.so",))

    # -c runs a line; its arguments reach qm.args() as given.
    check("-c with arguments",
          qmhost("-c", "import qm; print list(qm.args())", "one", "two words", ""), rc=0,
          out="['one', 'two words', '']\n")
    check("-c failing", qmhost("-c", "1/0"), rc=1, out_has=("integer division",),
          err_has=("result: 0x80000000",))
    # run - reads the script from standard input, first line and all.
    check("run -", qmhost("run", "-", "arg", stdin="#python\nimport qm\nprint 'in', qm.args()\n"),
          rc=0, out="in ('arg',)\n")
    check("run - without the python line", qmhost("run", "-", stdin="print 1\n"), rc=2,
          err_has=("<stdin>", "SCRIPT_UNKNOWN"))

    # Imports: the script's folder, --import-path and PYTHONPATH come before
    # the standard library, which stays.
    folder = tempfile.mkdtemp()
    for sub, name in (("", "beside"), ("extra", "from_option"), ("pp", "from_env"),
                      ("pp", "random")):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
        with open(os.path.join(folder, sub, name + ".py"), "w") as f:
            f.write("WHERE = %r\n" % sub)
    script = os.path.join(folder, "main.py")
    with open(script, "w") as f:
        f.write("#python\nimport beside, from_option, from_env, os\n"
                "print beside.WHERE or 'script folder', from_option.WHERE, from_env.WHERE\n"
                "print os.sep\n")
    env = {"PYTHONPATH": os.path.join(folder, "pp") + ":/nonexistent"}
    check("import paths", qmhost("--import-path", os.path.join(folder, "extra"), "run", script,
                                 env=env), rc=0, out="script folder extra pp\n/\n")
    check("-c imports from the current folder",
          subprocess_in(folder, "-c", "import beside; print beside.WHERE == ''"), rc=0,
          out="True\n")
    check("--only-import-paths leaves the standard library out",
          qmhost("--only-import-paths", "--import-path", folder, "-c", "pass", env=env), rc=1,
          out_has=("No module named site",))

    # The console ends with the status of exit().
    check("console exit(3)", qmhost("console", stdin="x = 1\nexit(3)\nprint 'after'\n"), rc=3,
          out="")
    check("console quit()", qmhost("console", stdin="quit()\n"), rc=0, out="")
    check("console sys.exit inside a block",
          qmhost("console", stdin="import sys\nif 1:\n  sys.exit(5)\n\nprint 'after'\n"), rc=5,
          out="")
    check("console exit with a failure code",
          qmhost("console", stdin="import sys\nsys.exit('QMe_NOTFOUND: gone')\n"), rc=1,
          out="ERROR:  gone\n", err_has=("0x80000017 NOTFOUND",))
    check("console end of input", qmhost("console", stdin="6*7\n"), rc=0, out="42\n")
    check("console traced", qmhost("--trace", "console", stdin="qm.eval1('scene.count ?')\n"),
          rc=0, out_has=("trace: qm.eval",))
    check("console untraced", qmhost("console", stdin="qm.eval1('scene.count ?')\n"), rc=0,
          out="0\n")
    # The traceback's last line ends before the host's own error line.
    merged = subprocess.run([QMHOST, "console"], input="def f():\n  1/0\n\nf()\n",
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            timeout=60)
    check("console traceback", (merged.returncode, merged.stdout, ""), rc=1,
          out_has=("\n .. <string>: 2\n .. <string>: 1\nerror: 0x80000000 FAILED\n",))

    if failures:
        print("\n".join(failures))
        sys.exit(1)
    print("ok")


def subprocess_in(folder, *args):
    here = os.getcwd()
    os.chdir(folder)
    try:
        return qmhost(*args)
    finally:
        os.chdir(here)


if __name__ == "__main__":
    main()

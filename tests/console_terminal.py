#!/usr/bin/env python3
"""qmhost's console at a terminal, typed at through a pseudo-terminal:
the banner, results, Tab completion of Python names and attributes,
Ctrl-C at the prompt, exit(n), and a history that keeps inputs across
sessions (an input of several lines as one entry).

    console_terminal.py QMHOST
"""
import os
import pty
import re
import select
import sys
import tempfile
import time

QMHOST = os.path.abspath(sys.argv[1])
TIMEOUT = 20


def clean(chunk):
    """What the console wrote, without the terminal's control sequences and
    carriage returns."""
    text = chunk.decode(errors="replace")
    return re.sub(r"\x1b\[[0-9;?]*[A-Za-z]|\r", "", text)


class Terminal:
    def __init__(self, home):
        env = dict(os.environ, HOME=home, TERM="xterm")
        env.pop("QMHOST_HISTORY", None)
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execve(QMHOST, [QMHOST, "console"], env)
        self.seen = ""

    def send(self, text):
        os.write(self.fd, text.encode())

    def dialogue(self, *steps):
        """Types each text and waits for what should follow it."""
        for text, answer in steps:
            self.send(text)
            self.expect(answer)

    def expect(self, pattern):
        """Reads until `pattern` shows in what the console wrote since the
        last match; returns the text up to the match's end."""
        deadline = time.time() + TIMEOUT
        while True:
            match = re.search(pattern, self.seen)
            if match:
                before = self.seen[:match.end()]
                self.seen = self.seen[match.end():]
                return before
            left = deadline - time.time()
            if left <= 0:
                raise AssertionError("no %r in %r" % (pattern, self.seen))
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.fd, 4096)
                except OSError:
                    chunk = b""
                if not chunk:
                    raise AssertionError("the console ended before %r; it wrote %r" %
                                         (pattern, self.seen))
                self.seen += clean(chunk)

    def status(self):
        deadline = time.time() + TIMEOUT
        while time.time() < deadline:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                return os.waitstatus_to_exitcode(status)
            try:  # keep the terminal drained
                if select.select([self.fd], [], [], 0.1)[0]:
                    self.seen += clean(os.read(self.fd, 4096))
            except OSError:
                pass
        os.kill(self.pid, 9)
        raise AssertionError("the console did not end; it wrote %r" % self.seen)


def main():
    home = tempfile.mkdtemp()
    history = os.path.join(home, ".qmhost_history")

    t = Terminal(home)
    banner = t.expect(r">>> ")
    assert re.search(r"qm-python \d+\.\d+\.\d+ console, Python 2\.7", banner), banner
    assert "exit()" in banner, banner

    t.send("x = 40\r")
    t.expect(r">>> ")
    t.send("x + 2\r")
    t.expect(r"\n42\n>>> ")

    # Tab completes a name of the console's namespace, then an attribute.
    t.send("qm_unique_name_xyz = 1\r")
    t.expect(r">>> ")
    t.send("qm_uniq\t")
    t.expect(r"qm_unique_name_xyz")
    t.send(" + 1\r")
    t.expect(r"\n2\n>>> ")
    t.send("import os\r")
    t.expect(r">>> ")
    t.send("os.pathse\t")
    t.expect(r"os\.pathsep")
    t.send("\r")
    t.expect(r"\n:\n>>> ")

    # Ctrl-C drops the unfinished input; what was defined stays.
    t.send("for i in range(3):\r")
    t.expect(r"\.\.\. ")
    t.send("\x03")
    t.expect(r"KeyboardInterrupt\n>>> ")
    t.send("x\r")
    t.expect(r"\n40\n>>> ")
    t.send("x = \x03")
    t.expect(r"KeyboardInterrupt\n>>> ")
    t.send("x\r")
    t.expect(r"\n40\n>>> ")

    # An input of several lines, then exit with a status.
    t.dialogue(("def f():\r", r"\.\.\. "), ("    return 7\r", r"\.\.\. "), ("\r", r">>> "),
               ("f()\r", r"\n7\n>>> "))
    t.send("exit(4)\r")
    status = t.status()
    assert status == 4, (status, t.seen)

    text = open(history).read()
    assert "def f():\n    return 7\n" in text, text
    assert "x + 2\n" in text, text

    # The next session recalls the inputs: the function's two lines come
    # back as one entry (Up three times: exit(4), f(), the definition).
    t = Terminal(home)
    t.expect(r">>> ")
    t.dialogue(("\x1b[A\x1b[A\x1b[A\r", r"\.\.\. "), ("\r", r">>> "), ("f() * 6\r", r"\n42\n>>> "))
    t.send("\x04")
    status = t.status()
    assert status == 0, (status, t.seen)
    print("ok")


if __name__ == "__main__":
    main()

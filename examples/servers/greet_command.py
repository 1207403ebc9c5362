# A host command written in Python: "py.greet name:World times:2" writes
# the greeting to the event log.  Run examples/python_command.py, or type
# qm.eval('py.greet name:you') at the console.
import qm
from qmserv import command


class Greet(command.Command):
    username = "Greet"
    desc = "Writes a greeting to the event log."
    example = "py.greet name:World times:2"
    arguments = [("name", "string"), ("times", "integer")]

    def execute(self, values):
        times = values.get("times", 1)
        if times < 0:
            raise ValueError("cannot greet %d times" % times)
        for i in range(times):
            qm.out("Hello, %s!" % values.get("name", "world"))


qm.bless(Greet, "py.greet", {"username": "Greet"})

#!python
# Runs the Python command of examples/servers/greet_command.py the way any
# host command runs: run it with `qmhost --scripts examples run
# examples/python_command.py`.
import qm

qm.eval("py.greet name:World times:2")
qm.command("py.greet", name="again")
try:
    qm.eval("py.greet times:-1")
except Exception, e:
    qm.out("py.greet times:-1 failed: %s" % e)

#!/usr/bin/env python
# One script running another: "@FILE ARGS" runs a script file, looked for
# in the current folder and then in the scripts folder.  Run it with the
# examples as the scripts folder:
#
#   qmhost --scripts examples run examples/run_other.py
import qm

qm.eval('@greet.py world "and everyone in it"')
print "greet.py left", qm.eval1("select.item ?"), "selected"

try:
    qm.eval("@no_such_script.py")
except RuntimeError, e:
    print "as expected:", e

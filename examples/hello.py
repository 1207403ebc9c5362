#!/usr/bin/env python
# A first script: reads its arguments, uses the standard library, and ends
# with a result code and a message for the host.
import sys
import os.path
import qm

words = qm.args() if hasattr(qm, "args") else tuple(sys.argv[1:])
print "hello from Python %d.%d, run as %s" % (sys.version_info[0], sys.version_info[1],
                                              os.path.basename(sys.argv[0]))
print "arguments:", ", ".join(words) if words else "(none)"
print "qm.result.NOTFOUND =", qm.result.NOTFOUND

try:
    qm.throw(qm.result.NOTFOUND)
except LookupError, e:
    print "qm.throw raised LookupError:", e

sys.exit("QMe_OK: the example finished")

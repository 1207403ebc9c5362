#!/usr/bin/env python
# Runs a Python command whose server raises as the host hands it its
# argument: the command fails, and with tracing on the log shows why.
import qm

try:
    qm.eval("test.count by:-1")
except RuntimeError, e:
    print "refused:", e

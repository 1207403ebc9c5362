#!/usr/bin/env python
# The script that the sweep's script runs inside its own run.
import qm
qm.out("inner: %s" % qm.arg())

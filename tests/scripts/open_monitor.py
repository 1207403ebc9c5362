#!/usr/bin/env python
# Allocates a progress monitor and drops it without closing it: the host
# keeps it open (and shown) as its own.  Then writes to the log, which the
# host prints after the run.
import qm

monitor = qm.service.StdDialog().MonitorAllocate("Open")
monitor.Initialize(10)
monitor.Increment(3)
del monitor
qm.out("after the bar")

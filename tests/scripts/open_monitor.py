#!/usr/bin/env python
# Leaves a progress monitor open (the host closes it), then writes to the
# log, which the host prints after the run.
import qm

monitor = qm.service.StdDialog().MonitorAllocate("Open")
monitor.Initialize(10)
monitor.Increment(3)
qm.out("after the bar")

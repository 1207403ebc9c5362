#!/usr/bin/env python
# A progress monitor over a long loop.  qmhost shows it on standard error:
# a bar redrawn in place at a terminal, a line at each tenth otherwise.
#
#   qmhost run examples/progress.py [STEPS]
import time
import qm

args = qm.args()
steps = int(args[0]) if args else 200

monitor = qm.Monitor(steps)
total = 0
for i in range(steps):
    total += sum(range(i))  # the work of one step
    time.sleep(0.01)
    monitor.step()
del monitor  # closes the display

print "%d steps, sum of sums %d" % (steps, total)

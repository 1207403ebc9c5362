#!/usr/bin/env python
# The script run of the fault sweep: qm functions, commands, a Python
# command, script queries, object wrappers, a monitor, a nested script and
# a thread, each a way into the host.  It ends by printing "script done".
import sys
import threading
import qm

print "arguments:", ", ".join(qm.args())
qm.trace(True)
qm.eval("item.create mesh box")
qm.trace(False)
qm.eval("item.create light key")
print "items:", qm.eval1("scene.count ?")
qm.eval("py.sweep count:2")

scene = qm.Service("sceneservice")
print "selected:", ", ".join(scene.queryN("scene.selection"))

types = qm.service.Scene()
root = types.Root()
print "meshes:", root.ItemCount(types.ItemTypeLookup("mesh"))

monitor = qm.Monitor()
monitor.init(2)
monitor.step(1)
monitor.step(1)

qm.eval("@inner.py a b")

def work():
    qm.out("from a thread")
t = threading.Thread(target=work)
t.start()
t.join()

try:
    qm.eval("no.such.command")
except RuntimeError, e:
    print "refused:", e
print "script done"

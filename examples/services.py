#!/usr/bin/env python
# Script queries: reading the scene and the host's command list through
# their services.
#
#   qmhost run examples/services.py
import qm

qm.eval("item.create mesh box")
qm.eval("item.create light")
qm.eval("item.move 1 0.5 -2")

scene = qm.Service("sceneservice")
print "%d items; selected: %s" % (scene.query("scene.itemCount"),
                                  ", ".join(scene.queryN("scene.selection")))
for name in scene.queryN("scene.items"):
    scene.select("item", name)
    x, y, z = scene.query("item.position")
    print "  %-8s %-8s at (%g, %g, %g) m" % (name, scene.query("item.type"), x, y, z)

commands = qm.Service("commandservice")
print "commands:"
for name in commands.queryN("command.names"):
    commands.select("command", name)
    args = zip(commands.queryN("command.args"), commands.queryN("command.argTypes"))
    print "  %-13s %s" % (name, " ".join("%s:%s" % arg for arg in args))

#!/usr/bin/env python
# Commands and queries over the host's scene: makes a few items, moves and
# turns some of them, and reads back what the scene holds.
#
#   qmhost run examples/scene.py
import qm

# A command string is the command's name, then its arguments, by position
# or as name:value; a value with blanks goes in double quotes.
qm.eval("item.create mesh floor")
qm.eval("item.create light key")
qm.eval('item.create camera "main camera"')

# The same with keyword arguments.
qm.command("item.create", type="locator", name="target")

# Select the key light and the camera, and move and turn them together.
qm.eval("select.item key")
qm.eval('select.item "main camera" add:true')
qm.eval("item.move 0 2 -50cm")  # metres, unless a unit says otherwise
qm.eval("item.rotate 45deg")    # radians, unless "deg" says otherwise

# "?" marks the argument to query: the answer is a value, or a tuple when
# there are several.
print "selected:", qm.eval("select.item ?")
print "heights:", qm.eval("item.move y:?")
print "rotations in radians:", qm.eval("item.rotate ?")
qm.setOption("queryAnglesAs", "degrees")
print "rotations in degrees:", qm.eval("item.rotate ?")
print "items:", qm.eval1("scene.count ?"), "lights:", qm.eval1("scene.count ? light")

# An integer argument whose values 0, 1 and 2 have names.
qm.eval("view.detail high")
print "detail:", qm.eval("view.detail ?")
qm.eval("view.detail 5")
print "detail:", qm.eval("view.detail ?")  # 5 has no name: the number

# Toggles: is this value the current one?
print "item mode?", qm.queryToggle("select.mode item")
qm.eval("select.mode edit")
print "edit mode?", qm.test("select.mode edit")

# A failing command raises RuntimeError with the host's explanation; "!"
# keeps the failure out of the host's event log.
try:
    qm.eval("!render.frame 12")
except RuntimeError, e:
    print "no render:", e

# Undo takes back the last recorded change, the rotation: selection, mode
# and detail changes are not recorded unless the command starts with "+".
qm.eval("scene.undo")
print "rotations after undo:", qm.evalN("item.rotate ?")

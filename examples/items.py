#!/usr/bin/env python
# The scene as an object: makes a few items, hangs some under others, and
# walks the scene's items through qm.service.Scene().Root().
#
#   qmhost run examples/items.py
import qm

qm.eval("item.create locator rig")
qm.eval("item.create camera shot")
qm.eval("item.create light key")
qm.eval("item.create mesh")

types = qm.service.Scene()
scene = types.Root()

# Item types are codes; the scene service names them.
mesh = types.ItemTypeLookup("mesh")
scene.ItemAdd(mesh)  # another mesh, named like item.create names it

# Hang the camera and the light under the rig.
rig = scene.ItemLookup("rig")
for name in ("shot", "key"):
    scene.ItemLookup(name).SetParent(rig)


def parent_of(item):
    try:
        return item.Parent().Name()
    except LookupError:  # an item that hangs under nothing
        return "-"


print "%d items, %d of them meshes:" % (scene.ItemCount(0), scene.ItemCount(mesh))
for i in range(scene.ItemCount(0)):  # 0: items of any type
    item = scene.ItemByIndex(0, i)
    print "  %-6s %-8s %-8s under %s" % (item.Name(), types.ItemTypeName(item.Type()),
                                         item.Ident(), parent_of(item))

# Renaming through the object is what the commands see.
scene.ItemLookup("mesh2").SetName("floor")
print "items the scene query lists:", ", ".join(qm.Service("sceneservice").queryN("scene.items"))

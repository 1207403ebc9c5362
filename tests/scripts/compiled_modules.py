#!/usr/bin/env python
# The qmserv package beside the plug-in loads from compiled files that the
# build made: each .py there has a current .pyc and .pyo (the magic of this
# Python, the source's modification time), written no later than the build's
# stamp, and the modules imported here came from them, not from the sources.
# Argument: the stamp the build touches once the modules are in place.
import imp
import os
import struct
import sys

import qm
import qmserv
import qmserv.interfaces

stamp = qm.args()[0]
folder = os.path.dirname(qmserv.__file__)
loaded = ".pyo" if sys.flags.optimize else ".pyc"
for module in (qmserv, qmserv.interfaces):
    if not module.__file__.endswith(loaded):
        raise AssertionError("%s was loaded from %s" % (module.__name__, module.__file__))

names = sorted(f[:-3] for f in os.listdir(folder) if f.endswith(".py"))
for name in names:
    source = os.path.join(folder, name + ".py")
    for compiled in (source + "c", source + "o"):
        if not os.path.exists(compiled):
            raise AssertionError("no %s" % compiled)
        with open(compiled, "rb") as f:
            header = f.read(8)
        if header[:4] != imp.get_magic():
            raise AssertionError("%s is not for this Python" % compiled)
        recorded = struct.unpack("<I", header[4:])[0]
        if recorded != int(os.stat(source).st_mtime) & 0xFFFFFFFF:
            raise AssertionError("%s is older than its source" % compiled)
        if os.stat(compiled).st_mtime > os.stat(stamp).st_mtime:
            raise AssertionError("%s was written after the build" % compiled)

print "compiled:", " ".join(names)

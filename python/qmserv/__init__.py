"""Servers written in Python.

The plug-in imports this package once, in its root interpreter, when Python
starts.  It marks the interface classes (qmserv.interfaces: one class per
host interface a Python server may implement) and then imports the user's
server modules: every *.py file of each folder named "servers" on the
import path, in name order.  A server module derives its classes from the
interface classes and blesses them:

    import qm
    from qmserv import interfaces

    class Gravity(interfaces.SimulationModifier):
        def sim_Enabled(self, chanRead):
            return True
        ...

    qm.bless(Gravity, "gravity", {"label": "Gravity"})

A module that fails to import is reported and skipped; the others still
load.  Servers load only in the root interpreter: a script's own
interpreter can import this package for its classes but blesses nothing.
"""
import os
import sys

import qm
from qmserv import interfaces


def _server_folders():
    seen = set()
    for entry in list(sys.path):
        if not isinstance(entry, str) or os.path.basename(os.path.normpath(entry)) != "servers":
            continue
        folder = os.path.abspath(entry)
        if folder not in seen and os.path.isdir(folder):
            seen.add(folder)
            yield folder


def _load_servers():
    for folder in _server_folders():
        for filename in sorted(os.listdir(folder)):
            name, ext = os.path.splitext(filename)
            if ext != ".py" or name.startswith("_") or name in sys.modules:
                continue
            try:
                __import__(name)
            except Exception:
                qm.outEx("loading Python servers from %s failed" % os.path.join(folder, filename))


if interfaces.MARKED:
    _load_servers()

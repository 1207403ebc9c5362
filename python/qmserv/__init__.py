"""Servers written in Python.

The plug-in imports this package once, in its root interpreter, when Python
starts.  Modules of this package mark the classes that stand for host
interfaces and bless the servers built on them with qm.bless.
"""

"""Host commands written in Python.

A command is a server of the command interface; this class answers the
command and attributes interfaces for it, so that a command needs only its
arguments and what it does:

    import qm
    from qmserv import command

    class Greet(command.Command):
        username = "Greet"
        desc = "Writes a greeting to the event log."
        example = "py.greet name:World times:2"
        arguments = [("name", "string"), ("times", "integer")]

        def execute(self, values):
            for i in range(values.get("times", 1)):
                qm.out("Hello, %s!" % values.get("name", "world"))

    qm.bless(Greet, "py.greet")

`arguments` lists (name, type) pairs; the type is one of the host's value
types ("string", "integer", "boolean", "float", "distance", "angle").  The
host hands every given argument over as text; `execute` receives those of
them that were given, converted to int or float by their type.  An
exception in `execute` fails the command: it is reported to the event log
and the command's message carries the failure code (the exception's `code`
attribute, else FAILED).
"""
import sys
import traceback

import qm
from qmserv import interfaces

_INTEGER = ("integer", "boolean")
_FLOAT = ("float", "distance", "angle")
_KIND = {"integer": 1, "boolean": 1, "float": 2, "distance": 2, "angle": 2}


class Command(interfaces.Command, interfaces.Attributes):
    username = ""
    desc = ""
    example = ""
    flags = 0
    arguments = ()

    def __init__(self):
        self.values = {}
        self._message = None
        self._failure = None

    def execute(self, values):
        raise NotImplementedError("the command does nothing")

    # The command interface.
    def cmd_UserName(self):
        return self.username or None

    def cmd_Desc(self):
        return self.desc

    def cmd_Example(self):
        return self.example

    def cmd_Flags(self):
        return self.flags

    def cmd_ArgFlags(self, index):
        self.arguments[index]
        return 1  # every argument may be left out

    def cmd_ArgUserName(self, index):
        return self.arguments[index][0]

    def cmd_ArgDesc(self, index):
        self.arguments[index]
        return ""

    def cmd_Message(self):
        if self._message is None:
            self._message = qm.service.Message().Allocate()
        if self._failure is not None:
            self._message.SetCode(self._failure & 0xFFFFFFFF)
        return self._message

    def cmd_Execute(self, flags):
        self._failure = None
        try:
            self.execute(dict(self.values))
        except:
            # The failure is kept before anything else is tried: the report
            # below may fail in turn (at the recursion limit, for one), and
            # the host learns of the failure from the message.
            self._failure = qm.result.FAILED
            code = getattr(sys.exc_info()[1], "code", None)
            if isinstance(code, (int, long)):
                self._failure = code
            try:
                qm.out("command %s failed: %s" % (self.__class__.__name__,
                                                  traceback.format_exc().rstrip()))
            except:
                pass

    # The attributes interface: the arguments.
    def attr_Count(self):
        return len(self.arguments)

    def attr_Name(self, index):
        return self.arguments[index][0]

    def attr_Lookup(self, name):
        for i, (n, t) in enumerate(self.arguments):
            if n == name:
                return i
        raise LookupError(name)

    def attr_Type(self, index):
        return _KIND.get(self.arguments[index][1], 3)

    def attr_TypeName(self, index):
        return self.arguments[index][1]

    def attr_SetString(self, index, text):
        name, kind = self.arguments[index]
        if kind in _INTEGER:
            self.values[name] = int(text)
        elif kind in _FLOAT:
            self.values[name] = float(text)
        else:
            self.values[name] = text

    def attr_GetString(self, index):
        return str(self.values[self.arguments[index][0]])

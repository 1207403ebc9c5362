# Python servers for the tests of Python-implemented servers.  The plug-in
# imports this module as it starts, in its root interpreter.
import sys
import weakref
import qm
from qmserv import interfaces

log = []          # what the servers were called with
spawned = [0]     # instances made
latest = [None]   # a weak reference to the last Sim made


class Sim(interfaces.SimulationModifier):
    enabled = True
    def __init__(self):
        spawned[0] += 1
        latest[0] = weakref.ref(self)
    def sim_Enabled(self, chan):
        log.append(('Enabled', type(chan).__name__, chan.test()))
        return self.enabled
    def sim_StepSize(self):
        return 0.125
    def sim_Step(self, dt):
        log.append(('Step', dt))
        if dt < 0:
            raise IndexError('before the start')
        if dt == 0:
            raise LookupError('nothing')
        if dt > 100:
            raise NotImplementedError()


class Sound(interfaces.Audio):
    name = 'sound.wav'
    def audio_Filename(self):
        return self.name + ''      # a new string every call
    def audio_Channels(self):
        return 'two'               # not a number
    def audio_Frequency(self):
        return 44100
    def audio_Read(self, buf):
        return (1, 2, 3)           # one too many
    def audio_TrimStart(self):
        raise ValueError('no trim')
    data = 'no storage'
    def audio_Data(self):
        if self.data == 'new':
            block = qm.object.storage('b', 4)   # nothing else holds it
            block.set([7, 8, 9, 10])
            return block
        return self.data


class Nice(interfaces.StringConversionNice):
    text = 'abc'
    def nicestr_Encode(self):
        return self.text


class Both(interfaces.Command, interfaces.Attributes):
    def cmd_Name(self):
        return 'both'
    def attr_Count(self):
        return 3
    def cmd_Message(self):
        return None                # no object


class Base:
    pass


class Middle(Base, interfaces.CurveGroup):
    pass


class Deep(Middle):
    def cgrp_Count(self):
        return 7
    def cgrp_ByIndex(self, index):
        if index == 0:
            return None
        if index == 1:
            return Sim()
        return qm.object.Unknown()


class Broken(interfaces.SimulationModifier):
    def __init__(self):
        raise RuntimeError('cannot build')


qm.bless(Sim, 'test.sim', {'a': 1})
qm.bless(Sound, 'test.sound')
qm.bless(Nice, 'test.nice')
qm.bless(Both, 'test.both')
qm.bless(Deep, 'test.deep')
qm.bless(Broken, 'test.broken')


# A command, and a server whose method runs it: Python calling the host,
# which calls a Python server again.
from qmserv import command

import threading

counted = [0]
_counting = threading.Lock()


class Count(command.Command):
    username = 'Count up'
    desc = 'Adds to a counter.'
    example = 'test.count by:2'
    arguments = [('by', 'integer')]

    def cmd_ArgDesc(self, index):
        return ('How much to add.',)[index]

    def attr_SetString(self, index, text):
        if text.startswith('-'):
            raise ValueError('cannot count down')
        command.Command.attr_SetString(self, index, text)

    # Python threads may run it at once: it counts under a lock of its own.
    def execute(self, values):
        with _counting:
            counted[0] += values.get('by', 1)


class Relay(interfaces.SimulationModifier):
    def sim_Step(self, dt):
        qm.eval('test.count by:%d' % int(dt))


qm.bless(Count, 'test.count')
qm.bless(Relay, 'test.relay')


# Arrays of the host arrive as storage objects over its memory: as large as
# the declaration says, no larger, and only during the call.
class Colors(interfaces.ColorModel):
    kept = []

    def colm_ToRGB(self, color, rgb):
        color.setSize(4)
        rgb.set([v * 2 for v in color.get()[:3]])
        Colors.kept.append(rgb)
        try:
            rgb.set([0.0] * 4)
        except RuntimeError, e:
            Colors.refused = str(e)


qm.bless(Colors, 'test.colors')


# Element and handle results come from wrappers only.
class Handles(interfaces.Buffer):
    result = None
    def buff_VectorType(self):
        return Handles.result


qm.bless(Handles, 'test.handles')

# The Python server the thunk benchmark calls.
import qm
from qmserv import interfaces


class Clip(interfaces.Audio):
    def audio_Duration(self):
        return 2.5


qm.bless(Clip, "bench.clip")


# The servers the threads benchmark calls: a step that counts, and one that
# re-enters Python through the host by running a Python command.
from qmserv import command

steps = [0]


class Tick(command.Command):
    def execute(self, values):
        steps[0] += 1


class Stepper(interfaces.SimulationModifier):
    def sim_Step(self, dt):
        steps[0] += 1
        if dt > 0:
            qm.eval("bench.tick")


qm.bless(Tick, "bench.tick")
qm.bless(Stepper, "bench.stepper")

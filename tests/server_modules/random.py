# A server module named like a standard module.  It loads all the same, and
# its own "import random" is the standard module, not itself.
import random

import qm
from qmserv import interfaces

if not hasattr(random, "Random"):
    raise ImportError("random is not the standard module")


class Dice(interfaces.SimulationModifier):
    def sim_Enabled(self, chan):
        return True

    def sim_StepSize(self):
        return 0.25

    def sim_Step(self, dt):
        random.random()


qm.bless(Dice, "test.dice")

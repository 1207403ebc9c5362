# A simulation modifier that fails in every way a server can: a method that
# raises, a result of the wrong type, and a method it does not have.
import qm
from qmserv import interfaces


class Faulty(interfaces.SimulationModifier):
    def sim_Enabled(self, chan):
        return True

    def sim_Initialize(self, dt, time):
        pass

    def sim_StepSize(self):
        return "fast"

    def sim_Step(self, dt):
        raise KeyError("missing")


qm.bless(Faulty, "test.faulty")

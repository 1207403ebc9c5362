# The Python servers of the fault sweep: a command that writes to the log
# and queries the host, and a simulation modifier that does the same from
# the host's calls.
import qm
from qmserv import command, interfaces


class Sweep(command.Command):
    username = "Sweep"
    arguments = [("count", "integer")]

    def execute(self, values):
        for i in range(values.get("count", 1)):
            qm.out("sweep %d of %d items" % (i, qm.eval1("scene.count ?")))


class Ball(interfaces.SimulationModifier):
    def __init__(self):
        self.height = 1.0

    def sim_Enabled(self, chanRead):
        return True

    def sim_Initialize(self, dt, time):
        qm.eval("item.create locator ball")

    def sim_StepSize(self):
        return 0.5

    def sim_Step(self, dt):
        self.height -= dt
        qm.out("height %.1f, %d items" % (self.height, qm.eval1("scene.count ?")))

    def sim_Cleanup(self):
        qm.out("ball done")


qm.bless(Sweep, "py.sweep", {"username": "Sweep"})
qm.bless(Ball, "sweep.ball", {"username": "Ball"})

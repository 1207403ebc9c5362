# A simulation modifier written in Python: a ball dropped from 10 m,
# bouncing off the ground.  `qmhost --scripts examples simulate
# falling.ball --steps 10` runs it.
import qm
from qmserv import interfaces

GRAVITY = -9.81


class FallingBall(interfaces.SimulationModifier):
    def __init__(self):
        self.height = 10.0
        self.speed = 0.0
        self.time = 0.0

    def sim_Enabled(self, chanRead):
        return True

    def sim_Initialize(self, dt, time):
        self.time = time

    def sim_StepSize(self):
        return 0.1

    def sim_Step(self, dt):
        self.speed += GRAVITY * dt
        self.height += self.speed * dt
        if self.height < 0:
            self.height = -self.height
            self.speed = -0.8 * self.speed
        self.time += dt
        qm.out("t=%.1f height=%.3f speed=%.3f" % (self.time, self.height, self.speed))

    def sim_Cleanup(self):
        qm.out("the ball rests at %.3f m" % self.height)


qm.bless(FallingBall, "falling.ball", {"username": "Falling ball"})

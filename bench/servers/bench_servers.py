# The Python server the thunk benchmark calls.
import qm
from qmserv import interfaces


class Clip(interfaces.Audio):
    def audio_Duration(self):
        return 2.5


qm.bless(Clip, "bench.clip")

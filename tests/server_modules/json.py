# Named like a standard module that nothing has imported yet: the standard
# json is what "import json" gives here and elsewhere.
import json

import qm
from qmserv import interfaces


class Echo(interfaces.SimulationModifier):
    def sim_Enabled(self, chan):
        return True


qm.bless(Echo, "test.json", {"dumped": json.dumps([1])})

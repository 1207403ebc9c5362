# Fails to load: the class implements no host interface, so qm.bless refuses it.
import qm


class Nothing:
    pass


qm.bless(Nothing, "test.refused")

# A host command that spreads its work over the host's worker threads:
# "py.primes below:10000" counts the primes below 10000, each number tested
# by a worker to which the host's thread service hands the indices.  Run
# examples/parallel.py, or type qm.eval('py.primes below:100') at the console.
import threading

import qm
from qmserv import command, interfaces


class PrimeTest(interfaces.ThreadRangeWorker):
    """Tests the number it is handed.  Several threads call it, so it keeps
    what it found under a lock."""

    def __init__(self):
        self.primes = []
        self.lock = threading.Lock()

    def rngw_Execute(self, number, shared):
        if number < 2:
            return
        for divisor in xrange(2, int(number ** 0.5) + 1):
            if number % divisor == 0:
                return
        with self.lock:
            self.primes.append(number)


class Primes(command.Command):
    username = "Primes"
    desc = "Counts the primes below a number on the host's worker threads."
    example = "py.primes below:1000"
    arguments = [("below", "integer")]

    def execute(self, values):
        below = values.get("below", 100)
        test = PrimeTest()
        # The host's worker threads run the test while this waits.
        qm.service.Thread().ProcessRange(test, 0, below)
        largest = max(test.primes) if test.primes else None
        qm.out("%d primes below %d, the largest %s" % (len(test.primes), below, largest))


qm.bless(Primes, "py.primes", {"username": "Primes"})

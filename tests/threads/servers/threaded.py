# Python servers for the tests of threads: servers called from host
# threads, servers whose methods start Python threads, commands that run
# scripts and commands that run themselves.
import ctypes
import sys
import threading

import qm
from qmserv import command, interfaces

calls = []        # (server, thread ident) of every call


class Tally(interfaces.SimulationModifier):
    """Counts its calls; Step answers with a code made of its argument."""
    def sim_Step(self, dt):
        calls.append(('tally', threading.current_thread().ident))
        if dt < 0:
            raise IndexError('before the start')

    def sim_StepSize(self):
        return float(len(calls))


class Joiner(interfaces.SimulationModifier):
    """Runs a Python command on a thread of its own and waits for it."""
    def sim_Step(self, dt):
        failures = []

        def run():
            try:
                for i in range(int(dt)):
                    qm.eval('test.count by:1')
            except Exception, e:
                failures.append(e)
        t = threading.Thread(target=run)
        t.start()
        t.join()
        if failures:
            raise failures[0]


class RunIt(command.Command):
    """Runs the script file it is given, from inside a command."""
    arguments = [('file', 'string')]

    def execute(self, values):
        qm.eval('@' + values['file'])
        # and goes on running Python for a while after the script's end
        n = 0
        for i in range(1000):
            n += i
        RunIt.ran.append(n)

    ran = []


class Recurse(command.Command):
    """Runs itself again until Python's recursion limit stops it."""
    depth = [0]

    def execute(self, values):
        Recurse.depth[0] += 1
        qm.eval('test.recurse')


sorts = []        # what Sorter sorted


class Sorter(interfaces.SimulationModifier):
    """Sorts through C with a Python callback, keeping Python's lock."""
    def sim_Step(self, dt):
        compare = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_int),
                                   ctypes.POINTER(ctypes.c_int))
        values = (ctypes.c_int * 4)(3, 1, 4, 2)
        ctypes.PyDLL(None).qsort(values, 4, ctypes.sizeof(ctypes.c_int),
                                 compare(lambda a, b: a[0] - b[0]))
        sorts.append(list(values))


qm.bless(Tally, 'test.tally')
qm.bless(Sorter, 'test.sorter')
qm.bless(Joiner, 'test.joiner')
qm.bless(RunIt, 'test.runit')
qm.bless(Recurse, 'test.recurse')


# Work spread over the host's worker threads.
import thread
import time


class Ranger(interfaces.ThreadRangeWorker):
    """Takes every index it is handed, and notes the threads it ran on."""
    def __init__(self):
        self.seen = []
        self.threads = set()

    def rngw_Execute(self, index, shared):
        self.seen.append(index)
        self.threads.add(thread.get_ident())

    def check(self, count):
        assert sorted(self.seen) == range(count), sorted(self.seen)
        return len(self.threads)


ranged = []       # what RangeStep's workers saw: (indices, threads)


class RangeStep(interfaces.SimulationModifier):
    """A step that spreads its work over the host's worker threads."""
    def sim_Step(self, dt):
        worker = Ranger()
        qm.service.Thread().ProcessRange(worker, 0, int(dt))
        ranged.append((len(worker.seen), worker.check(int(dt))))


class BackgroundStep(interfaces.SimulationModifier):
    """Spreads its work from a thread of its own, and waits for it."""
    def sim_Step(self, dt):
        worker = Ranger()
        group = qm.service.Thread().CreateGroup()
        for n in range(4):
            group.AddJob(Job(('background', n)))

        def run():
            qm.service.Thread().ProcessRange(worker, 0, int(dt))
            group.Execute(0)
            group.Wait()
        t = threading.Thread(target=run)
        t.start()
        t.join()
        ranged.append((len(worker.seen), worker.check(int(dt))))


qm.bless(RangeStep, 'test.rangestep')
qm.bless(BackgroundStep, 'test.backgroundstep')


class Job(interfaces.ThreadJob):
    """A job of a thread group: notes that it ran."""
    done = []
    _lock = threading.Lock()

    def __init__(self, name):
        self.name = name

    def job_Execute(self):
        with Job._lock:
            Job.done.append(self.name)

#!python
# Counts primes with the Python command of examples/servers/primes.py, which
# spreads its work over the host's worker threads: run it with
# `qmhost --scripts examples run examples/parallel.py`.
import qm

qm.eval("py.primes below:10000")

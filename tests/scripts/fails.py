#!/usr/bin/env python
# Ends with an uncaught error: qmhost reports it and exits non-zero.
raise ValueError("deliberately")

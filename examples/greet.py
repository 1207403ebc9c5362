#!/usr/bin/env python
# Run by run_other.py: greets its arguments and leaves an item behind.
import qm

who = qm.args()
print "hello,", ", ".join(who) if who else "nobody"
qm.command("item.create", type="locator", name="greeting")

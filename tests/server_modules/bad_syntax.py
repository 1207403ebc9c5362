# Fails to load: not Python.
def broken(:
    pass

# Fails to load: it imports a module that does not exist.
import qm
import no_such_module

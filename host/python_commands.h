// Commands written in Python: every blessed Python server whose class is
// the command interface becomes a command of the host, named after the
// server, with the user name, description, example, flags and arguments
// its instance gives (arguments through its attributes interface).  Each
// run spawns a new instance, hands it the argument values as texts
// (SetString), calls Execute and takes the outcome from its message.
#pragma once

#include "host/context.h"

namespace qmhost {

// Adds the command servers blessed since the last call (nothing when the
// plug-in has not asked the host to read its "python" list again).
void AddPythonCommands(HostContext& context);

}  // namespace qmhost

// Host commands from Python: execution, queries and their values.
#pragma once

#include "interp/python.h"
#include "module/handles_command.h"
#include "module/handles_value.h"


// How a query's values come back to Python.
enum class EvalMode { kSingle = 1, kTuple = 2, kNatural = 3 };

// The values of a query: None, one value, or a tuple, by the mode.  Integer
// values with hints become the hint's text; "angle" values follow the
// current angle option.  Null with a Python error on failure.
PyObject* ValueArrayToPython(CQmUser_ValueArray& values, const QmTextValueHint* hints,
                             EvalMode mode);

// Executes a command and reads its message.  False (with a Python error)
// when the command failed.
bool ExecuteCommand(CQmUser_Command& command, uint32_t flags);

// The host's command service, or null.
IQmCommandService* CommandService();

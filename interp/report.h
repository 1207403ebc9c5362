// Reports of Python exceptions and script ends, written to the current
// output sink.
#pragma once

#include <string>

#include "interp/python.h"

#include "qm_sdk.h"

class CEmbedInterpreter;

// The headline of an exception, then one line per traceback frame,
// innermost first.  Throws QMe_FAILED when a part cannot be converted.
void ReportException(PyObject* type, PyObject* value, PyObject* traceback);

// Reports and consumes the pending exception; returns its code.
QmResult ReportPendingException();

// Reports how a script run ended (an uncaught exception or sys.exit), fills
// the run's host message, and returns the run's result code.  Never throws.
QmResult ReportScriptTermination(CEmbedInterpreter& run);

// The code that a sys.exit() code part names: a result code name, a
// hexadecimal "0x..." number or a decimal number.
QmResult ParseExitCode(const char* part);

// What the text of sys.exit() says: "CODE", "CODE: text" or ": text"; an
// empty text is success.  The code is QMe_FAILED when the text names none.
struct ExitParts {
  QmResult code = QMe_FAILED;
  bool hasCode = false;
  bool hasText = false;
  std::string text;  // what follows the first colon
};
ExitParts SplitExitText(const std::string& text);

// qm.outEx([text]).
PyObject* QmOutEx(PyObject* self, PyObject* args);

// The console's line interpreter: server "python" of the line interpreter
// interface.  Lines are collected until they form a complete input, which
// runs in the root interpreter so that names persist between inputs.
#pragma once

#include <string>

#include "interp/result.h"
#include "module/tags.h"
#include "qm_impl_command.h"

namespace Python_LineInterp {

class CExecOutput;

// What the line execution hears when an input asked the console to end
// (SystemExit); the line's answer is then the exit status.
constexpr char kConsoleExitReport[] = "sys.exit() exception";

class CLineInterpreter : public CQmImpl_LineInterpreter, public CQmStaticTags {
 public:
  CLineInterpreter();

  uint32_t lin_Flags() override;
  QmResult lin_Prompt(const char** prompt, uint32_t type) override;
  QmResult lin_Execute(const char* line, int32_t flags, void* execution) override;

  const std::string& Pending() const { return pending_; }

 private:
  // Hands a line's value (not None) to the line's sink as a host value
  // array of strings, one per item of a sequence; the host's failure is
  // written to the sink and answered.
  QmResult ShowValue(PyObject* value, CExecOutput& sink);

  IQmCommandService* commandService_;
  std::string pending_;
};

// Whether a text is a complete input (1), needs more lines (0) or cannot
// compile whatever follows (-1).  Appends the line feeds it tried.  When
// the text is complete as it is, `code` (if given) takes what it compiled
// to as statements.
int CompletenessOf(std::string& text, PyRef* code = nullptr);

void RegisterLineServer();

}  // namespace Python_LineInterp

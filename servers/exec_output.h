// The sink of a console line: messages and traces go to the host's line
// execution object of the line being executed.
#pragma once

#include "interp/output.h"
#include "module/handles_script.h"

namespace Python_LineInterp {

class CExecOutput final : public COutput {
 public:
  // Holds the host's line execution object (when it offers the interface).
  explicit CExecOutput(void* execution);

  void Trace(const char* name, const char* detail, QmResult type) override;
  QmResult Write(const char* text, QmResult type) override;
  // Hands the line's results (a host value array) to the line execution.
  QmResult Results(void* values);

 private:
  CQmUser_LineExecution execution_;
};

}  // namespace Python_LineInterp

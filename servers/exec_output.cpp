#include "servers/exec_output.h"

#include <string>

namespace Python_LineInterp {

CExecOutput::CExecOutput(void* execution) { execution_.set(execution); }

void CExecOutput::Write(const char* text, QmResult type) {
  if (!execution_.test()) return;
  std::string line = QmFailed(type) ? "ERROR: " : "";
  line += text != nullptr ? text : "";
  execution_.Info(line.c_str());
}

void CExecOutput::Results(void* values) {
  if (execution_.test()) execution_.Results(values);
}

void CExecOutput::Trace(const char* name, const char* detail, QmResult type) {
  if (!execution_.test()) return;
  std::string line = QmFailed(type) ? "trace error: " : "trace: ";
  line += std::string(name != nullptr ? name : "") + " - " + (detail != nullptr ? detail : "");
  execution_.Info(line.c_str());
}

}  // namespace Python_LineInterp

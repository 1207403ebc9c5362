#include "servers/exec_output.h"

#include <string>

namespace Python_LineInterp {

CExecOutput::CExecOutput(void* execution) { execution_.set(execution); }

QmResult CExecOutput::Write(const char* text, QmResult type) {
  if (!execution_.test()) return QMe_OK;  // a line run without a place to show it
  std::string line = QmFailed(type) ? "ERROR: " : "";
  line += text != nullptr ? text : "";
  return execution_.Info(line.c_str());
}

QmResult CExecOutput::Results(void* values) {
  return execution_.test() ? execution_.Results(values) : QMe_OK;
}

void CExecOutput::Trace(const char* name, const char* detail, QmResult type) {
  if (!execution_.test()) return;
  std::string line = QmFailed(type) ? "trace error: " : "trace: ";
  line += std::string(name != nullptr ? name : "") + " - " + (detail != nullptr ? detail : "");
  execution_.Info(line.c_str());
}

}  // namespace Python_LineInterp

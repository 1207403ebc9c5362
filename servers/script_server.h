// The script file interpreter: server "python" of the text script
// interpreter interface.  Each run goes into a fresh sub-interpreter.
#pragma once

#include <cstddef>

#include "module/tags.h"
#include "qm_impl_script.h"

namespace Python_Script {

class CInterpreter : public CQmImpl_TextScriptInterpreter, public CQmStaticTags {
 public:
  CInterpreter();

  QmResult tsi_ValidateFileType(void* script, const char* firstLine) override;
  QmResult tsi_Validate(void* script, void* message) override;
  QmResult tsi_Run(void* script, int32_t flags, const char* args, void* message) override;

 private:
  IQmLogService* logService_;
};

// Cuts trailing lines that are blank, white space or comments off a text
// of `length` characters, in place.  The first line is never cut.
void TrimTrailingLines(char* text, size_t length);

// Adds the server to the module's server table.
void RegisterScriptServer();

}  // namespace Python_Script

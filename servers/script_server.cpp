#include "interp/python.h"

#include "servers/script_server.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "interp/checks.h"
#include "interp/output.h"
#include "module/this_module.h"
#include "qm_loc_script.h"

namespace Python_Script {

namespace {

const QmTagInfo kTags[] = {
    {"server.username", "Python Scripts", nullptr},
    {"loader.dosPattern", "*.py", nullptr},
    {"saver.dosType", "PY", nullptr},
    {nullptr, nullptr, nullptr},
};

class CQmUser_Script : public CQmLoc_Script {
 public:
  QmResult UserName(const char** name) { return ptr_->vt->UserName(ptr_, name); }
  QmResult Hash(const char** hash) { return ptr_->vt->Hash(ptr_, hash); }
  QmResult GetBuffer(const char** text, uint32_t* length) {
    return ptr_->vt->GetBuffer(ptr_, text, length);
  }
};

}  // namespace

CInterpreter::CInterpreter()
    : CQmStaticTags(kTags),
      logService_(static_cast<IQmLogService*>(
          CQmThisModule::Get().LookupGlobal(&IID_IQmLogService))) {}

QmResult CInterpreter::tsi_ValidateFileType(void*, const char* firstLine) {
  return firstLine != nullptr && std::strstr(firstLine, "python") != nullptr ? QMe_OK
                                                                             : QMe_SCRIPT_UNKNOWN;
}

QmResult CInterpreter::tsi_Validate(void*, void*) { return QMe_OK; }

QmResult CInterpreter::tsi_Run(void* script, int32_t flags, const char* args, void* message) {
  CQmUser_Script source;
  source.set(script);
  CheckTrue(source.test(), QMe_FAILED);  // no name, no text: nothing to run

  const char* name = nullptr;
  if (QmFailed(source.UserName(&name)) || name == nullptr) {
    name = nullptr;
    CheckResult(source.Hash(&name));
  }
  const char* text = nullptr;
  uint32_t length = 0;
  QmResult read = source.GetBuffer(&text, &length);
  if (QmFailed(read) || text == nullptr) {
    QmResult code = QmFailed(read) ? read : QMe_FAILED;
    char line[64];
    std::snprintf(line, sizeof line, "the host could not give the script's text (%08X)",
                  static_cast<unsigned>(code));
    WriteOutput((std::string(name != nullptr ? name : "a script") + ": " + line).c_str(), code);
    throw code;
  }

  size_t size = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  const char* code = text;
  if (copy != nullptr) {
    std::memcpy(copy, text, size);
    TrimTrailingLines(copy, size - 1);
    code = copy;
  }
  QmResult result;
  try {
    CEmbedInterpreter run(name != nullptr ? name : "", static_cast<uint32_t>(flags));
    run.Prepare(args, message);
    result = run.Execute(code);
  } catch (...) {
    std::free(copy);
    throw;
  }
  std::free(copy);
  return result;
}

void TrimTrailingLines(char* text, size_t length) {
  if (length < 2) return;
  size_t pos = length - 1;
  for (;;) {
    while (pos > 0 && text[pos] != '\n') --pos;
    if (pos == 0) return;
    const char* p = text + pos + 1;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p != '\0' && *p != '\n' && *p != '#') return;
    text[pos] = '\0';
    --pos;
  }
}

void RegisterScriptServer() {
  // The factory lives as long as the library.
  static CQmPolymorph<CInterpreter> factory;
  if (factory.FirstInterface() == nullptr) {
    factory.AddInterface<IQmTextScriptInterpreter>();
    factory.AddInterface<IQmTagDescription>();
  }
  CQmThisModule::Get().AddServer("python", &factory);
}

}  // namespace Python_Script

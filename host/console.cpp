#include "host/console.h"

#include "host/messages.h"
#include "host/plugin.h"
#include "host/values.h"

namespace qmhost {

bool StreamLineSource::ReadLine(const std::string&, std::string* line) {
  if (!std::getline(in_, *line)) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

// --- Line execution ----------------------------------------------------------------------

void LineExecution::Print(const std::string& text) {
  out_ << text;
  if (text.empty() || text.back() != '\n') out_ << '\n';
}

QmResult LineExecution::lin_CookedLine(const char* line) {
  cooked_ = line != nullptr ? line : "";
  return QMe_OK;
}

QmResult LineExecution::lin_Message(void* message) {
  Ref<Message> host = HostCast<Message, IQmMessage>(message);
  if (!host) return QMe_INVALIDARG;
  std::string text;
  if (!QmFailed(host->Text(&text))) Print(text);
  return QMe_OK;
}

QmResult LineExecution::lin_Results(void* results) {
  uint32_t n = CountValues(results);
  for (uint32_t i = 0; i < n; ++i) {
    Value value;
    QmResult rc = ReadValue(results, i, &value);
    if (QmFailed(rc)) return rc;
    std::string text = FormatValue(value);
    if (value.kind == ValueKind::kInteger) {
      for (const QmTextValueHint* h = hints_; h != nullptr && h->name != nullptr; ++h) {
        if (h->value == value.i) text = h->name;
      }
    }
    Print(text);
  }
  return QMe_OK;
}

QmResult LineExecution::lin_ResultHints(const QmTextValueHint* hints) {
  hints_ = hints;
  return QMe_OK;
}

QmResult LineExecution::lin_Info(const char* text) {
  Print(text != nullptr ? text : "");
  return QMe_OK;
}

void* LineExecution::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmLineExecution ? face_.get() : nullptr;
}

// --- The loop ---------------------------------------------------------------------------

namespace {

std::string PromptOf(IQmLineInterpreter* interpreter) {
  const char* prompt = nullptr;
  if (QmFailed(interpreter->vt->Prompt(interpreter, &prompt, 0)) || prompt == nullptr) return "> ";
  return prompt;
}

// Executes one line; false when the interpreter failed it.
bool Execute(IQmLineInterpreter* interpreter, const std::string& line, std::ostream& out,
             std::ostream& err) {
  Ref<LineExecution> execution(new LineExecution(out));
  QmResult rc = interpreter->vt->Execute(interpreter, line.c_str(), 0, execution->Face());
  out.flush();
  if (!QmFailed(rc)) return true;
  err << "error: " << ResultCodeText(rc) << "\n";
  err.flush();
  return false;
}

}  // namespace

int RunConsole(IQmModule* module, LineSource& source, std::ostream& out, std::ostream& err) {
  void* found = nullptr;
  QmResult rc = module->vt->Generate(module, "python", &IID_IQmLineInterpreter, &found);
  if (QmFailed(rc) || found == nullptr) {
    err << "qmhost: the plug-in has no Python line interpreter ("
        << ResultCodeText(QmFailed(rc) ? rc : QMe_FAILED) << ")\n";
    return 1;
  }
  auto* interpreter = static_cast<IQmLineInterpreter*>(found);
  interpreter->vt->Flags(interpreter);  // asked once, as the console opens
  const std::string first = PromptOf(interpreter);
  bool ok = true;
  std::string line;
  std::string prompt = first;
  while (source.ReadLine(prompt, &line)) {
    ok = Execute(interpreter, line, out, err) && ok;
    prompt = PromptOf(interpreter);
  }
  if (prompt != first) ok = Execute(interpreter, "", out, err) && ok;
  QmRelease(interpreter);
  return ok ? 0 : 1;
}

int ConsoleCommand(const RunOptions& options, LineSource& source, std::ostream& out,
                   std::ostream& err) {
  Ref<Application> app;
  auto plugin = OpenPlugin(options, &app, err);
  if (!plugin) return 1;
  return ClosePlugin(*plugin, RunConsole(plugin->Module(), source, out, err), err);
}

}  // namespace qmhost

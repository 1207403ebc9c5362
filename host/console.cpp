#include "host/console.h"

#include "host/messages.h"
#include "host/plugin.h"
#include "host/values.h"

#include <cstdio>
#include <cstring>

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
  if (keep_) {
    for (uint32_t i = 0; i < n; ++i) {
      Value value;
      if (!QmFailed(ReadValue(results, i, &value))) kept_.push_back(FormatValue(value));
    }
    return QMe_OK;
  }
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

// The plug-in's line interpreter says this (as information, not as an
// error) when an input raised SystemExit.
constexpr char kExitReport[] = "sys.exit() exception";

QmResult LineExecution::lin_Info(const char* text) {
  if (text != nullptr && std::strcmp(text, kExitReport) == 0) {
    exitRequested_ = true;
  } else if (!keep_) {
    Print(text != nullptr ? text : "");
  }
  return QMe_OK;
}

void* LineExecution::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmLineExecution ? face_.get() : nullptr;
}

// --- The loop ---------------------------------------------------------------------------

IQmLineInterpreter* NewLineInterpreter(IQmModule* module, std::ostream& err, const char* missing) {
  void* found = nullptr;
  QmResult rc = module->vt->Generate(module, "python", &IID_IQmLineInterpreter, &found);
  if (QmFailed(rc) || found == nullptr) {
    err << "qmhost: " << missing << " (" << ResultCodeText(QmFailed(rc) ? rc : QMe_FAILED)
        << ")\n";
    return nullptr;
  }
  return static_cast<IQmLineInterpreter*>(found);
}

namespace {

std::string PromptOf(IQmLineInterpreter* interpreter) {
  const char* prompt = nullptr;
  if (QmFailed(interpreter->vt->Prompt(interpreter, &prompt, 0)) || prompt == nullptr) return "> ";
  return prompt;
}

// A text as a Python string literal.
std::string PythonLiteral(const std::string& text) {
  std::string literal = "'";
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\'' && c != '\\') {
      literal += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      literal += escaped;
    }
  }
  return literal + "'";
}

class Console {
 public:
  Console(IQmModule* module, std::ostream& out, std::ostream& err)
      : module_(module), out_(out), err_(err) {}
  ~Console() {
    if (interpreter_ != nullptr) QmRelease(interpreter_);
    if (completer_ != nullptr) QmRelease(completer_);
  }

  IQmLineInterpreter* Generate() {
    return NewLineInterpreter(module_, err_, "the plug-in has no Python line interpreter");
  }

  int Run(LineSource& source) {
    interpreter_ = Generate();
    if (interpreter_ == nullptr) return 1;
    interpreter_->vt->Flags(interpreter_);  // asked once, as the console opens
    const std::string first = PromptOf(interpreter_);
    if (source.Interactive()) {
      out_ << "qm-python " QMHOST_VERSION " console, Python " QMHOST_PYTHON_VERSION
              ".  exit() or Ctrl-D leaves it.\n";
      out_.flush();
      source.SetCompleter([this](const std::string& text) { return Complete(text); });
    }
    bool ok = true;
    std::string line;
    std::string input;  // the lines of the input being typed
    std::string prompt = first;
    while (source.ReadLine(prompt, &line)) {
      if (source.TakeInterrupt()) {
        out_ << "KeyboardInterrupt\n";
        out_.flush();
        // An unfinished input is dropped with the interpreter that holds it;
        // what the inputs defined lives on in Python.
        if (prompt != first) {
          IQmLineInterpreter* fresh = Generate();
          if (fresh == nullptr) return 1;
          QmRelease(interpreter_);
          interpreter_ = fresh;
        }
        input.clear();
      } else {
        if (!line.empty()) input += (input.empty() ? "" : "\n") + line;
        ok = Execute(line) && ok;
        if (exitStatus_ >= 0) {
          source.Remember(input);
          return exitStatus_;
        }
      }
      prompt = PromptOf(interpreter_);
      if (prompt == first && !input.empty()) {
        source.Remember(input);
        input.clear();
      }
    }
    if (prompt != first) {
      ok = Execute("") && ok;
      if (exitStatus_ >= 0) return exitStatus_;
    }
    return ok ? 0 : 1;
  }

 private:
  // Executes one line; false when the interpreter failed it.
  bool Execute(const std::string& line) {
    Ref<LineExecution> execution(new LineExecution(out_));
    QmResult rc = interpreter_->vt->Execute(interpreter_, line.c_str(), 0, execution->Face());
    out_.flush();
    if (execution->ExitRequested()) {
      exitStatus_ = !QmFailed(rc) && rc <= 255 ? static_cast<int>(rc) : 1;
      if (QmFailed(rc)) err_ << "error: " << ResultCodeText(rc) << "\n";
      err_.flush();
      return !QmFailed(rc);
    }
    if (!QmFailed(rc)) return true;
    err_ << "error: " << ResultCodeText(rc) << "\n";
    err_.flush();
    return false;
  }

  // Python's own completer, evaluated by an interpreter of its own (so that
  // an unfinished input stays as it is) in the same namespace as the
  // console's inputs.
  std::vector<std::string> Complete(const std::string& text) {
    if (text.find_first_not_of(" \t") == std::string::npos) return {};
    if (completer_ == nullptr) {
      if ((completer_ = Generate()) == nullptr) return {};
      // Python's completer module sets up Python's readline module when it
      // can import it, which would take the terminal's completion for
      // itself: it is imported with that module out of reach.
      Ref<LineExecution> quiet(new LineExecution(out_));
      quiet->KeepResults();
      completer_->vt->Execute(
          completer_,
          "(lambda m: m.get('rlcompleter') or m.get('readline') and __import__('rlcompleter') or "
          "(m.update(readline=None), __import__('rlcompleter'), m.pop('readline')))"
          "(__import__('sys').modules) and None",
          0, quiet->Face());
    }
    std::string line = "(lambda c: (c.complete(" + PythonLiteral(text) +
                       ", 0), c.matches)[1])(__import__('rlcompleter').Completer(globals()))";
    Ref<LineExecution> execution(new LineExecution(out_));
    execution->KeepResults();
    QmResult rc = completer_->vt->Execute(completer_, line.c_str(), 0, execution->Face());
    if (QmFailed(rc)) return {};
    return execution->Kept();
  }

  IQmModule* module_;
  std::ostream& out_;
  std::ostream& err_;
  IQmLineInterpreter* interpreter_ = nullptr;
  IQmLineInterpreter* completer_ = nullptr;
  int exitStatus_ = -1;  // set when an input exits
};

}  // namespace

int RunConsole(IQmModule* module, LineSource& source, std::ostream& out, std::ostream& err) {
  Console console(module, out, err);
  return console.Run(source);
}

int ConsoleCommand(const RunOptions& options, LineSource& source, std::ostream& out,
                   std::ostream& err) {
  Ref<Application> app;
  auto plugin = OpenPlugin(options, &app, err);
  if (!plugin) return 1;
  if (options.trace) TracePlugin(plugin->Module(), err);
  return ClosePlugin(*plugin, RunConsole(plugin->Module(), source, out, err), err);
}

}  // namespace qmhost

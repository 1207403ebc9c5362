// `qmhost console`: a read-eval-print loop over the plug-in's Python line
// interpreter ("python", IQmLineInterpreter).  Each line goes to the
// interpreter's Execute with a fresh LineExecution object, through which
// the interpreter prints its output and the line's results.
#pragma once

#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "host/object.h"
#include "host/run.h"
#include "qm_impl_script.h"

namespace qmhost {

// Where console lines come from.
class LineSource {
 public:
  // The names that complete a text typed so far (the word before the
  // cursor); empty when none does.
  using Completer = std::function<std::vector<std::string>(const std::string& text)>;

  virtual ~LineSource() = default;
  // The next line, without its line break; false at the end of input.  An
  // interactive source shows `prompt` first.  A line that the user
  // abandoned with Ctrl-C comes back empty, and TakeInterrupt says so.
  virtual bool ReadLine(const std::string& prompt, std::string* line) = 0;
  // True once after a ReadLine that the user interrupted.
  virtual bool TakeInterrupt() { return false; }
  // Whether a person types the lines (the console then greets them).
  virtual bool Interactive() const { return false; }
  // What Tab asks for the completions of a word; sources without line
  // editing ignore it.
  virtual void SetCompleter(Completer) {}
  // An input that ran, its lines joined by line breaks, for the history.
  virtual void Remember(const std::string&) {}
};

// Lines from a stream, without prompts: for pipes and files.
class StreamLineSource : public LineSource {
 public:
  explicit StreamLineSource(std::istream& in) : in_(in) {}
  bool ReadLine(const std::string& prompt, std::string* line) override;

 private:
  std::istream& in_;
};

// One line's execution: Info prints a text on a line of its own, Results
// prints each value of a value array on a line of its own (integers by
// their hint names when ResultHints gave hints), Message prints a host
// message's text.
class LineExecution : public HostObject, public CQmImpl_LineExecution {
 public:
  explicit LineExecution(std::ostream& out) : out_(out) {}

  QmResult lin_CookedLine(const char* line) override;
  QmResult lin_Message(void* message) override;
  QmResult lin_Results(void* results) override;
  QmResult lin_ResultHints(const QmTextValueHint* hints) override;
  QmResult lin_Info(const char* text) override;

  // The line as the interpreter rewrote it (CookedLine), empty if it did not.
  const std::string& CookedLine() const { return cooked_; }
  // Whether the line asked the console to end (the interpreter said so
  // instead of printing anything for it).
  bool ExitRequested() const { return exitRequested_; }
  // The texts of the line's results, when they are kept instead of printed.
  const std::vector<std::string>& Kept() const { return kept_; }
  void KeepResults() { keep_ = true; }
  void* Face() { return face_.get(); }

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  void Print(const std::string& text);

  HostFace<IQmLineExecution> face_{this};
  std::ostream& out_;
  std::string cooked_;
  const QmTextValueHint* hints_ = nullptr;  // valid while the line executes
  bool exitRequested_ = false;
  bool keep_ = false;  // results go to kept_, texts nowhere
  std::vector<std::string> kept_;
};

// A new "python" line interpreter of the module (one reference); null, with
// "qmhost: MISSING (CODE)" on `err`, when the module has none.
IQmLineInterpreter* NewLineInterpreter(IQmModule* module, std::ostream& err, const char* missing);

// Reads lines from `source` until its end and executes each with the
// module's "python" line interpreter; a failed line prints its code on
// `err` ("error: 0x80000000 FAILED").  When the input ends inside an open
// block (the interpreter's prompt differs from its first one), an empty
// line closes it.  Returns 0 when every line succeeded, 1 when one failed
// or the module has no line interpreter (explained on `err`).
// An input that exits (`exit()`, `sys.exit(n)`) ends the console at once
// with its status: its answer when that is 0 to 255, else 1.  Ctrl-C at
// the prompt prints "KeyboardInterrupt" and drops the unfinished input,
// keeping everything defined so far.  An interactive source is greeted
// with a banner and completes names with Python's own completer, run in
// the console's interpreter.
int RunConsole(IQmModule* module, LineSource& source, std::ostream& out, std::ostream& err);

// The whole `qmhost console` command: loads the plug-in (1 when it
// cannot), runs the console, unloads the plug-in and reports whatever it
// did not give back (3 when the console itself succeeded).  Uses the
// plug-in path, scripts folder, import paths and progress view of
// `options`.
int ConsoleCommand(const RunOptions& options, LineSource& source, std::ostream& out,
                   std::ostream& err);

}  // namespace qmhost

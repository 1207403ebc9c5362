// `qmhost console`: a read-eval-print loop over the plug-in's Python line
// interpreter ("python", IQmLineInterpreter).  Each line goes to the
// interpreter's Execute with a fresh LineExecution object, through which
// the interpreter prints its output and the line's results.
#pragma once

#include <istream>
#include <ostream>
#include <string>

#include "host/object.h"
#include "host/run.h"
#include "qm_impl_script.h"

namespace qmhost {

// Where console lines come from.
class LineSource {
 public:
  virtual ~LineSource() = default;
  // The next line, without its line break; false at the end of input.  An
  // interactive source shows `prompt` first.
  virtual bool ReadLine(const std::string& prompt, std::string* line) = 0;
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
  void* Face() { return face_.get(); }

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  void Print(const std::string& text);

  HostFace<IQmLineExecution> face_{this};
  std::ostream& out_;
  std::string cooked_;
  const QmTextValueHint* hints_ = nullptr;  // valid while the line executes
};

// Reads lines from `source` until its end and executes each with the
// module's "python" line interpreter; a failed line prints its code on
// `err` ("error: 0x80000000 FAILED").  When the input ends inside an open
// block (the interpreter's prompt differs from its first one), an empty
// line closes it.  Returns 0 when every line succeeded, 1 when one failed
// or the module has no line interpreter (explained on `err`).
int RunConsole(IQmModule* module, LineSource& source, std::ostream& out, std::ostream& err);

// The whole `qmhost console` command: loads the plug-in (1 when it
// cannot), runs the console, unloads the plug-in and reports whatever it
// did not give back (3 when the console itself succeeded).  Uses the
// plug-in path, scripts folder, import paths and progress view of
// `options`.
int ConsoleCommand(const RunOptions& options, LineSource& source, std::ostream& out,
                   std::ostream& err);

}  // namespace qmhost

// Output sinks: where the plug-in's messages and traces go.  Each thread
// has a stack of sinks; its top is the thread's current sink.  A script run
// pushes its CEmbedInterpreter, a console line its execution sink.  A thread
// with nothing pushed writes to the run whose interpreter it runs in (a
// thread the script started), else to a root sink that writes to the
// "python" log subsystem.
#pragma once

#include "interp/python.h"

#include <mutex>
#include <string>

#include "interp/threads.h"
#include "module/handles_log.h"
#include "module/handles_message.h"

class CInterpreterManager;
struct InterpreterRecord;

class COutput {
 public:
  // A trace line of a qm function.
  virtual void Trace(const char* name, const char* detail, QmResult type) = 0;
  // A message; `type` classes it (QMe_INFO, QMe_WARNING or a failure).
  // Answers the host's failure when the host could not take it.
  virtual QmResult Write(const char* text, QmResult type) = 0;
  // The sink's header log entry, or null.
  virtual CQmUser_LogEntry* GetLogEntry() { return nullptr; }
  virtual void SetParentLog(COutput* /*provider*/) {}

 protected:
  ~COutput() = default;
};

// The markup that opens and closes a trace line in the event log.
extern const char kTraceOpen[];   // "\x03(f:FONT_ITALIC) qm.trace: "
extern const char kTraceClose[];  // "\x03(f:FONT_DEFAULT)"

class CRootOutput final : public COutput {
 public:
  CRootOutput();
  void Trace(const char* name, const char* detail, QmResult type) override;
  QmResult Write(const char* text, QmResult type) override;

 private:
  std::mutex lock_;  // threads write at once
  IQmLogService* logService_;
  CQmUser_Log log_;
};

// One script run: its sub-interpreter and its sink, whose messages become
// children of one header log entry named after the run.
class CEmbedInterpreter final : public COutput {
 public:
  // Starts the run's sub-interpreter and makes the run the current sink.
  CEmbedInterpreter(const char* name, uint32_t executionFlags);
  // Pops the sink and ends the sub-interpreter.
  ~CEmbedInterpreter();
  CEmbedInterpreter(const CEmbedInterpreter&) = delete;
  CEmbedInterpreter& operator=(const CEmbedInterpreter&) = delete;

  void Trace(const char* name, const char* detail, QmResult type) override;
  QmResult Write(const char* text, QmResult type) override;
  CQmUser_LogEntry* GetLogEntry() override;
  void SetParentLog(COutput* provider) override { parent_ = provider; }

  // Takes the host's message object and the run's argument text.
  void Prepare(const char* args, void* message);
  // Runs the code in the run's interpreter; the run's result code.
  QmResult Execute(const char* code);

  QmResult Result() const { return result_; }
  CQmUser_Message& Message() { return message_; }
  const std::string& Name() const { return name_; }

 private:
  IQmLogService* logService_;
  std::string name_;
  CInterpreterManager* manager_;
  PythonScope python_;  // the run holds Python on its thread throughout
  InterpreterRecord* record_;
  QmResult result_ = QMe_STARTUP;
  CQmUser_Message message_;
  COutput* parent_ = nullptr;
  CQmUser_LogEntry header_;
};

void PushOutput(COutput* sink);

void PopOutput();
COutput* CurrentOutput();
size_t OutputDepth();
// Drops the root sink and the host log it holds, as the module is
// released; a later message makes a new one.
void ReleaseRootOutput();

QmResult WriteOutput(const char* text, QmResult type);
void TraceOutput(const char* name, const char* detail, QmResult type);

// Writes the heading as a warning, then reports the pending exception.
void ReportPythonError(const char* heading);

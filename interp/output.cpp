#include "interp/output.h"

#include <cstdio>
#include <mutex>
#include <vector>

#include "interp/manager.h"
#include "interp/report.h"
#include "interp/result.h"
#include "module/this_module.h"

const char kTraceOpen[] = "\x03(f:FONT_ITALIC) qm.trace: ";
const char kTraceClose[] = "\x03(f:FONT_DEFAULT)";

namespace {

IQmLogService* LogService() {
  return static_cast<IQmLogService*>(CQmThisModule::Get().LookupGlobal(&IID_IQmLogService));
}

// A new unattached log entry, or null with the reason in `*rc`.
void* NewEntry(IQmLogService* service, const char* text, QmResult type, QmResult* rc) {
  void* entry = nullptr;
  *rc = service != nullptr ? service->vt->CreateEntryMessage(service, type, text, &entry)
                           : QMe_NOTAVAILABLE;
  if (QmFailed(*rc)) return nullptr;
  if (entry == nullptr) *rc = QMe_FAILED;  // success without an entry
  return entry;
}

std::string TraceText(const char* first, const char* second) {
  return std::string(kTraceOpen) + (first ? first : "") + " - " + (second ? second : "") +
         kTraceClose;
}

// Each thread has its own stack of sinks: a script run or a console line
// on one thread says nothing about where another thread's messages go.
std::vector<COutput*>& Stack() {
  static thread_local std::vector<COutput*> stack;
  return stack;
}
}  // namespace

void PushOutput(COutput* sink) { Stack().push_back(sink); }

void PopOutput() {
  if (!Stack().empty()) Stack().pop_back();
}

size_t OutputDepth() { return Stack().size(); }

namespace {
std::mutex gRootLock;
CRootOutput* gRoot = nullptr;

COutput* RootOutput() {
  std::lock_guard<std::mutex> hold(gRootLock);
  if (gRoot == nullptr) gRoot = new CRootOutput;
  return gRoot;
}
}  // namespace

COutput* CurrentOutput() {
  if (!Stack().empty()) return Stack().back();
  // A thread a script started writes to the script's run while it lasts.
  if (CInterpreterManager* manager = RunningInterpreterManager()) {
    if (COutput* run = manager->RunSinkHere()) return run;
  }
  return RootOutput();
}

void ReleaseRootOutput() {
  std::lock_guard<std::mutex> hold(gRootLock);
  delete gRoot;
  gRoot = nullptr;
}

QmResult WriteOutput(const char* text, QmResult type) {
  return CurrentOutput()->Write(text, type);
}

void TraceOutput(const char* name, const char* detail, QmResult type) {
  CurrentOutput()->Trace(name, detail, type);
}

void ReportPythonError(const char* heading) {
  PyErrorState error;
  error.Fetch();
  WriteOutput(heading, QMe_WARNING);
  ReportException(error.type.get(), error.value.get(), error.traceback.get());
}

// --- Root sink ------------------------------------------------------------------

CRootOutput::CRootOutput() : logService_(LogService()) {}

QmResult CRootOutput::Write(const char* text, QmResult type) {
  std::lock_guard<std::mutex> hold(lock_);
  if (logService_ == nullptr) logService_ = LogService();
  if (!log_.test() && logService_ != nullptr) {
    void* log = nullptr;
    if (!QmFailed(logService_->vt->SubSystemLookup(logService_, "python", &log))) log_.take(log);
  }
  QmResult rc;
  void* entry = NewEntry(logService_, text, type, &rc);
  if (entry == nullptr) return rc;
  rc = log_.test() ? log_.AddEntry(entry) : QMe_NOTFOUND;
  QmRelease(entry);
  return rc;
}

void CRootOutput::Trace(const char* name, const char* detail, QmResult type) {
  Write(TraceText(detail, name).c_str(), type);
}

// --- Script run ------------------------------------------------------------------

CEmbedInterpreter::CEmbedInterpreter(const char* name, uint32_t executionFlags)
    : logService_(LogService()),
      name_(name != nullptr ? name : ""),
      manager_(GetInterpreterManager()),
      python_(PythonScope::Current{}),
      record_(manager_->PushInterpreter()) {
  record_->executionFlags = executionFlags;
  record_->sink = this;
  PushOutput(this);
}

CEmbedInterpreter::~CEmbedInterpreter() {
  PopOutput();
  record_->sink = nullptr;
  manager_->PopInterpreter(record_);
}

QmResult CEmbedInterpreter::Write(const char* text, QmResult type) {
  QmResult rc;
  void* entry = NewEntry(logService_, text, type, &rc);
  if (entry == nullptr) return rc;
  CQmUser_LogEntry* header = GetLogEntry();
  rc = header != nullptr ? header->AddEntry(entry) : QMe_FAILED;
  QmRelease(entry);
  return rc;
}

void CEmbedInterpreter::Trace(const char* name, const char* detail, QmResult type) {
  Write(TraceText(name, detail).c_str(), type);
}

CQmUser_LogEntry* CEmbedInterpreter::GetLogEntry() {
  if (header_.test()) return &header_;
  QmResult rc;
  void* entry = NewEntry(logService_, name_.c_str(), QMe_INFO, &rc);
  if (entry == nullptr) return nullptr;
  // The header is kept once it hangs in the log: lines under a header that
  // the log never took would be lost without a word.  The next line tries
  // again.
  QmResult attached = QMe_FAILED;
  CQmUser_LogEntry* parentLog = parent_ != nullptr ? parent_->GetLogEntry() : nullptr;
  if (parentLog != nullptr) {
    attached = parentLog->AddEntry(entry);
  } else {
    void* scripts = nullptr;
    if (!QmFailed(logService_->vt->SubSystemLookup(logService_, "scripts", &scripts)) &&
        scripts != nullptr) {
      CQmUser_Log log;
      log.take(scripts);
      if (log.test()) attached = log.AddEntry(entry);
    }
  }
  if (QmFailed(attached)) {
    QmRelease(entry);
    return nullptr;
  }
  header_.take(entry);
  return &header_;
}

void CEmbedInterpreter::Prepare(const char* args, void* message) {
  message_.set(message);
  SetScriptArguments(record_, args);
  // Standard-library code expects sys.argv: the run's name and its words.
  std::vector<std::string> words = SplitArguments(args);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(name_.c_str()));
  for (auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  PySys_SetArgvEx(static_cast<int>(argv.size()), argv.data(), 0);
  result_ = QMe_OK;
}

QmResult CEmbedInterpreter::Execute(const char* code) {
  if (QmFailed(result_)) {
    char text[64];
    std::snprintf(text, sizeof text, "execution error %08x\n", result_);
    WriteOutput(text, QMe_FAILED);
    return result_;
  }
  PyObject* done =
      PyRun_StringFlags(code, Py_file_input, record_->globals, record_->locals, nullptr);
  if (done != nullptr) {
    Py_DECREF(done);
    return QMe_OK;
  }
  return ReportScriptTermination(*this);
}

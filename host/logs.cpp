#include "host/logs.h"

#include <algorithm>
#include <utility>

namespace qmhost {

namespace {

// Guards every entry tree: holders, parents, children and subsystem lists.
// No reference is released while it is held, since a release can destroy an
// entry, and destroying an entry takes it.
std::mutex& TreeLock() {
  static std::mutex lock;
  return lock;
}

uint64_t gSequence = 0;  // the last sequence number handed out, under TreeLock

}  // namespace

// --- Entries ----------------------------------------------------------------------

LogEntry::Kind LogEntry::KindOf(QmResult type) {
  if (QmFailed(type)) return Kind::kError;
  if (type == QMe_WARNING) return Kind::kWarning;
  return Kind::kInfo;
}

const char* LogEntry::KindName(Kind kind) {
  switch (kind) {
    case Kind::kWarning:
      return "warning";
    case Kind::kError:
      return "error";
    case Kind::kInfo:
      break;
  }
  return "info";
}

LogEntry::LogEntry(QmResult type, std::string title) : type_(type), title_(std::move(title)) {}

LogEntry::~LogEntry() {
  // Children that someone else still holds outlive this entry unattached.
  std::lock_guard<std::mutex> hold(TreeLock());
  for (auto& child : children_) {
    child->parent_ = nullptr;
    child->attached_ = false;
  }
  // children_ is released after the lock is given back.
}

QmResult LogEntry::AttachLocked(LogEntry* parent, LogEntry& child) {
  for (LogEntry* p = parent; p != nullptr; p = p->parent_) {
    if (p == &child) return QMe_INVALIDARG;
  }
  if (child.attached_) return QMe_ALREADYEXISTS;
  child.attached_ = true;
  child.parent_ = parent;
  return QMe_OK;
}

QmResult LogEntry::AddChild(LogEntry& child) {
  std::lock_guard<std::mutex> hold(TreeLock());
  QmResult rc = AttachLocked(this, child);
  if (rc != QMe_OK) return rc;
  child.AddRef();
  children_.emplace_back(&child);
  return QMe_OK;
}

QmResult LogEntry::ent_AddEntry(void* entry) {
  Ref<LogEntry> child = HostCast<LogEntry, IQmLogEntry>(entry);
  if (!child) return QMe_INVALIDARG;
  return AddChild(*child);
}

uint32_t LogEntry::ent_ChildCount() {
  std::lock_guard<std::mutex> hold(TreeLock());
  return static_cast<uint32_t>(children_.size());
}

QmResult LogEntry::ent_ChildByIndex(uint32_t index, void** entry) {
  if (entry == nullptr) return QMe_INVALIDARG;
  Ref<LogEntry> child;
  {
    std::lock_guard<std::mutex> hold(TreeLock());
    if (index >= children_.size()) return QMe_OUTOFBOUNDS;
    child = children_[index];
  }
  return child->QueryInterface(&IID_IQmLogEntry, entry);
}

uint32_t LogEntry::ent_Type() { return type_; }

QmResult LogEntry::ent_Title(const char** title) {
  if (title == nullptr) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(TreeLock());
  *title = title_.c_str();
  return QMe_OK;
}

QmResult LogEntry::ent_SetTitle(const char* title) {
  SetTitle(title != nullptr ? title : "");
  return QMe_OK;
}

std::string LogEntry::Title() const {
  std::lock_guard<std::mutex> hold(TreeLock());
  return title_;
}

void LogEntry::SetTitle(std::string title) {
  std::lock_guard<std::mutex> hold(TreeLock());
  title_ = std::move(title);
}

std::vector<Ref<LogEntry>> LogEntry::Children() const {
  std::lock_guard<std::mutex> hold(TreeLock());
  return children_;
}

bool LogEntry::Attached() const {
  std::lock_guard<std::mutex> hold(TreeLock());
  return attached_;
}

size_t LogEntry::CountLocked() const {
  size_t n = 1;
  for (const auto& child : children_) n += child->CountLocked();
  return n;
}

void LogEntry::LeaksLocked(const std::string& where, std::string* report) const {
  // The holder's reference is the only one expected.
  uint32_t refs = RefCount();
  if (refs != 1) {
    *report += "log entry \"" + title_ + "\" in " + where + " still has " +
               std::to_string(refs - 1) + " reference(s) from the plug-in\n";
  }
  for (const auto& child : children_) child->LeaksLocked(where, report);
}

void* LogEntry::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmLogEntry ? face_.get() : nullptr;
}

// --- Subsystems ---------------------------------------------------------------------

Log::Log(std::string name) : name_(std::move(name)) {}

Log::~Log() {
  std::lock_guard<std::mutex> hold(TreeLock());
  for (auto& item : items_) item.entry->attached_ = false;
}

QmResult Log::Add(LogEntry& entry) {
  std::lock_guard<std::mutex> hold(TreeLock());
  QmResult rc = LogEntry::AttachLocked(nullptr, entry);
  if (rc != QMe_OK) return rc;
  entry.AddRef();
  items_.push_back(Item{++gSequence, Ref<LogEntry>(&entry)});
  return QMe_OK;
}

QmResult Log::log_AddEntry(void* entry) {
  Ref<LogEntry> adopted = HostCast<LogEntry, IQmLogEntry>(entry);
  if (!adopted) return QMe_INVALIDARG;
  return Add(*adopted);
}

uint32_t Log::log_EntryCount() {
  std::lock_guard<std::mutex> hold(TreeLock());
  return static_cast<uint32_t>(items_.size());
}

QmResult Log::log_EntryByIndex(uint32_t index, void** entry) {
  if (entry == nullptr) return QMe_INVALIDARG;
  Ref<LogEntry> found;
  {
    std::lock_guard<std::mutex> hold(TreeLock());
    if (index >= items_.size()) return QMe_OUTOFBOUNDS;
    found = items_[index].entry;
  }
  return found->QueryInterface(&IID_IQmLogEntry, entry);
}

QmResult Log::log_Name(const char** name) {
  if (name == nullptr) return QMe_INVALIDARG;
  *name = name_.c_str();
  return QMe_OK;
}

std::vector<Ref<LogEntry>> Log::Entries() const {
  std::lock_guard<std::mutex> hold(TreeLock());
  std::vector<Ref<LogEntry>> entries;
  entries.reserve(items_.size());
  for (const auto& item : items_) entries.push_back(item.entry);
  return entries;
}

void* Log::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmLog ? face_.get() : nullptr;
}

// --- Service ------------------------------------------------------------------------

LogService::LogService() {
  for (const char* name : {"python", "scripts", "host"}) AddSubsystem(name);
}

LogService::~LogService() = default;

QmResult LogService::logs_ScriptQuery(void** query) {
  if (query != nullptr) *query = nullptr;
  return QMe_NOTIMPL;
}

QmResult LogService::logs_SubSystemLookup(const char* name, void** log) {
  if (log == nullptr) return QMe_INVALIDARG;
  *log = nullptr;
  if (name == nullptr) return QMe_INVALIDARG;
  Ref<Log> found = Subsystem(name);
  if (!found) return QMe_NOTFOUND;
  return found->QueryInterface(&IID_IQmLog, log);
}

QmResult LogService::logs_CreateEntryMessage(uint32_t type, const char* message, void** entry) {
  if (entry == nullptr) return QMe_INVALIDARG;
  Ref<LogEntry> made(new LogEntry(type, message != nullptr ? message : ""));
  return made->QueryInterface(&IID_IQmLogEntry, entry);
}

Ref<Log> LogService::Subsystem(const std::string& name) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = logs_.find(name);
  return it != logs_.end() ? it->second : Ref<Log>();
}

Ref<Log> LogService::AddSubsystem(const std::string& name) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = logs_.find(name);
  if (it == logs_.end()) it = logs_.emplace(name, Ref<Log>(new Log(name))).first;
  return it->second;
}

std::vector<std::string> LogService::SubsystemNames() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::string> names;
  for (const auto& entry : logs_) names.push_back(entry.first);
  return names;
}

std::vector<Ref<Log>> LogService::Logs() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<Ref<Log>> logs;
  for (const auto& entry : logs_) logs.push_back(entry.second);
  return logs;
}

QmResult LogService::Add(const std::string& subsystem, QmResult type, const std::string& title) {
  Ref<Log> log = Subsystem(subsystem);
  if (!log) return QMe_NOTFOUND;
  Ref<LogEntry> entry(new LogEntry(type, title));
  return log->Add(*entry);
}

LogMark LogService::Mark() {
  std::lock_guard<std::mutex> hold(TreeLock());
  return gSequence;
}

std::vector<Ref<LogEntry>> LogService::EntriesSince(LogMark mark,
                                                    const std::vector<std::string>& subsystems) {
  std::vector<Ref<Log>> logs;
  for (const auto& name : subsystems) {
    Ref<Log> log = Subsystem(name);
    if (log && std::find_if(logs.begin(), logs.end(), [&](const Ref<Log>& l) {
                 return l.get() == log.get();
               }) == logs.end()) {
      logs.push_back(log);
    }
  }
  std::vector<std::pair<uint64_t, Ref<LogEntry>>> found;
  {
    std::lock_guard<std::mutex> hold(TreeLock());
    for (const auto& log : logs) {
      for (const auto& item : log->items_) {
        if (item.sequence > mark) found.emplace_back(item.sequence, item.entry);
      }
    }
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Ref<LogEntry>> entries;
  entries.reserve(found.size());
  for (auto& item : found) entries.push_back(std::move(item.second));
  return entries;
}

size_t LogService::KeptObjects() {
  std::vector<Ref<Log>> logs = Logs();
  size_t n = logs.size();
  std::lock_guard<std::mutex> hold(TreeLock());
  for (const auto& log : logs) {
    for (const auto& item : log->items_) n += item.entry->CountLocked();
  }
  return n;
}

std::string LogService::Leaks() {
  std::vector<Ref<Log>> logs = Logs();
  std::string report;
  for (const auto& log : logs) {
    // The service's reference and the one in `logs` are expected.
    uint32_t refs = log->RefCount();
    if (refs != 2) {
      report += "log subsystem \"" + log->Name() + "\" still has " + std::to_string(refs - 2) +
                " reference(s) from the plug-in\n";
    }
  }
  std::lock_guard<std::mutex> hold(TreeLock());
  for (const auto& log : logs) {
    for (const auto& item : log->items_) item.entry->LeaksLocked(log->Name(), &report);
  }
  return report;
}

void* LogService::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmLogService ? face_.get() : nullptr;
}

// --- Printing -----------------------------------------------------------------------

namespace {

void FormatEntry(const LogEntry& entry, int level, std::string* out) {
  std::string indent(static_cast<size_t>(level) * 2, ' ');
  std::string title = entry.Title();
  while (!title.empty() && (title.back() == '\n' || title.back() == '\r')) title.pop_back();
  *out += indent + "[" + LogEntry::KindName(entry.GetKind()) + "] ";
  size_t start = 0;
  for (size_t nl; (nl = title.find('\n', start)) != std::string::npos; start = nl + 1) {
    *out += title.substr(start, nl - start) + "\n" + indent;
  }
  *out += title.substr(start) + "\n";
  for (const auto& child : entry.Children()) FormatEntry(*child, level + 1, out);
}

}  // namespace

std::string FormatLogEntries(const std::vector<Ref<LogEntry>>& entries) {
  std::string out;
  for (const auto& entry : entries) FormatEntry(*entry, 0, &out);
  return out;
}

}  // namespace qmhost

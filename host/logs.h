// The host's event log.  Named subsystems ("python", "scripts", "host", ...)
// each hold a list of entries; an entry has a type (a result code), a title
// and child entries of its own.
//
// Every entry has at most one holder: a subsystem or a parent entry.  An
// entry that already has one cannot be added again, and an entry cannot be
// added below itself, so the entry trees never form reference cycles and
// every kept entry is held exactly once.  One lock guards the structure of
// all trees, since adding an entry has to look at its future ancestors.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/object.h"
#include "qm_impl_log.h"

namespace qmhost {

class LogEntry : public HostObject, public CQmImpl_LogEntry {
 public:
  enum class Kind { kInfo, kWarning, kError };

  // QMe_WARNING is a warning, a failure code an error, anything else info.
  static Kind KindOf(QmResult type);
  static const char* KindName(Kind kind);  // "info", "warning", "error"

  LogEntry(QmResult type, std::string title);
  ~LogEntry() override;

  QmResult ent_AddEntry(void* entry) override;
  uint32_t ent_ChildCount() override;
  QmResult ent_ChildByIndex(uint32_t index, void** entry) override;
  uint32_t ent_Type() override;
  QmResult ent_Title(const char** title) override;
  QmResult ent_SetTitle(const char* title) override;

  QmResult Type() const { return type_; }
  Kind GetKind() const { return KindOf(type_); }
  std::string Title() const;
  void SetTitle(std::string title);
  std::vector<Ref<LogEntry>> Children() const;
  // Adds a child under the same rules as AddEntry through the table.
  QmResult AddChild(LogEntry& child);
  // Whether a subsystem or another entry holds this entry.
  bool Attached() const;

  // The entry as the plug-in sees it (no reference added).
  void* Face() { return face_.get(); }

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  friend class Log;
  friend class LogService;

  // Makes `child` held by `parent` (an entry, or a subsystem when null).
  // Refuses `parent` itself or any of its ancestors (the tree would hold
  // itself) with QMe_INVALIDARG, and an entry that already has a holder
  // with QMe_ALREADYEXISTS.
  static QmResult AttachLocked(LogEntry* parent, LogEntry& child);

  // Entries held in this tree, this one included.
  size_t CountLocked() const;
  void LeaksLocked(const std::string& where, std::string* report) const;

  HostFace<IQmLogEntry> face_{this};
  const QmResult type_;
  std::string title_;
  std::vector<Ref<LogEntry>> children_;
  LogEntry* parent_ = nullptr;  // the entry holding this one, if any
  bool attached_ = false;       // held by a subsystem or an entry
};

class Log : public HostObject, public CQmImpl_Log {
 public:
  explicit Log(std::string name);
  ~Log() override;

  QmResult log_AddEntry(void* entry) override;
  uint32_t log_EntryCount() override;
  QmResult log_EntryByIndex(uint32_t index, void** entry) override;
  QmResult log_Name(const char** name) override;

  const std::string& Name() const { return name_; }
  QmResult Add(LogEntry& entry);
  std::vector<Ref<LogEntry>> Entries() const;

  void* Face() { return face_.get(); }

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  friend class LogService;

  struct Item {
    uint64_t sequence;  // order of arrival over all subsystems
    Ref<LogEntry> entry;
  };

  HostFace<IQmLog> face_{this};
  const std::string name_;
  std::vector<Item> items_;
};

// A point in the log's history: entries added after it can be listed.
using LogMark = uint64_t;

class LogService : public HostObject, public CQmImpl_LogService {
 public:
  // Starts with the subsystems "python", "scripts" and "host".
  LogService();
  ~LogService() override;

  QmResult logs_ScriptQuery(void** query) override;
  QmResult logs_SubSystemLookup(const char* name, void** log) override;
  QmResult logs_CreateEntryMessage(uint32_t type, const char* message, void** entry) override;

  // The subsystem of that name, or null.
  Ref<Log> Subsystem(const std::string& name);
  // The subsystem of that name, made when it does not exist yet.
  Ref<Log> AddSubsystem(const std::string& name);
  std::vector<std::string> SubsystemNames();

  // Adds a new top-level entry to a subsystem (the host's own logging).
  QmResult Add(const std::string& subsystem, QmResult type, const std::string& title);

  LogMark Mark();
  // Top-level entries added to the named subsystems after `mark`, in the
  // order they arrived.
  std::vector<Ref<LogEntry>> EntriesSince(LogMark mark, const std::vector<std::string>& subsystems);

  // Host objects the log keeps: its subsystems and every entry they hold.
  size_t KeptObjects();
  // Describes every subsystem and kept entry that someone besides the log
  // still references; empty when none is.
  std::string Leaks();

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  std::vector<Ref<Log>> Logs();

  HostFace<IQmLogService> face_{this};
  std::mutex lock_;
  std::map<std::string, Ref<Log>> logs_;
};

// One line per entry, "[info] title", children indented by two spaces per
// level.  Lines after the first of a title keep the entry's indentation.
std::string FormatLogEntries(const std::vector<Ref<LogEntry>>& entries);

}  // namespace qmhost

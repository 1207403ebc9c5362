#include "host/messages.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>

namespace qmhost {

// --- Message tables -------------------------------------------------------------------

namespace {

struct CodeText {
  QmResult code;
  const char* text;
};

// Texts for the codes scripts and users meet most.
constexpr CodeText kCommonTexts[] = {
    {QMe_OK, "Success."},
    {QMe_INFO, "Done, with information."},
    {QMe_WARNING, "Done, with a warning."},
    {QMe_FAILED, "Failed."},
    {QMe_NOTIMPL, "Not implemented."},
    {QMe_OUTOFMEMORY, "Out of memory."},
    {QMe_INVALIDARG, "Invalid argument."},
    {QMe_NOINTERFACE, "The object does not support that interface."},
    {QMe_ABORT, "Aborted."},
    {QMe_NOACCESS, "Access denied."},
    {QMe_OUTOFBOUNDS, "Index out of bounds."},
    {QMe_NOTFOUND, "Not found."},
    {QMe_STARTUP, "Not available while the application is starting up."},
    {QMe_DISABLED, "Disabled."},
    {QMe_CKPTOVERFLOW, "Too many checkpoints."},
    {QMe_ALREADYEXISTS, "Already exists."},
    {QMe_NOTAVAILABLE, "Not available."},
    {QMe_CRASH, "The operation crashed."},
    {QMe_SHORTBUFFER, "The buffer is too short."},
    {QMe_RECOVERING, "Not available while the application is recovering."},
};

struct NameText {
  const char* name;
  const char* text;
};

// Texts for codes whose names do not read well as a sentence.
constexpr NameText kNamedTexts[] = {
    {"IO_ERROR", "Input or output error."},
    {"IO_SHORTREAD", "The file ended before everything was read."},
    {"IO_NEEDGL", "This needs an OpenGL context."},
    {"IO_TRUNCATED", "The data was truncated."},
    {"IO_PARTIALSTRING", "Only part of the text was read."},
    {"REF_BADID", "Bad reference identifier."},
    {"REF_BADPTR", "Bad reference pointer."},
    {"REF_DUPLICATE", "Duplicate reference."},
    {"LOG_DEBUG", "Debug message."},
    {"PARTICLE_KILL", "The particle was removed."},
    {"PRESET_ALREADY_APPLIED", "The preset is already applied."},
    {"INFINITE_BOUND", "The bound is infinite."},
    {"TBQMSURF_ADAPTIVE", "The surface is adaptive."},
    {"DEFORM_IDENTICAL", "Identical."},
    {"DEFORM_AUTO_COLOR", "Automatic colour."},
    {"DEFORM_NEWOFFSET", "New offset."},
    {"DEFORM_NEWWEIGHT", "New weight."},
    {"CMD_MISSING_ARGS", "Missing arguments."},
    {"CMD_NOT_AVAILABLE", "The command is not available."},
    {"CMD_DISABLED", "The command is disabled."},
    {"CMD_ALREADY_EXISTS", "The command already exists."},
    {"CMD_INVALID_ON_PROTO", "The command is not valid on a prototype."},
    {"CMD_DIFFERENT_TYPES", "The arguments have different types."},
    {"CMD_NOT_ALIASED", "The command is not an alias."},
    {"CMD_ILLEGAL_REFIRE_BEGIN", "Refiring cannot begin here."},
    {"CMD_ILLEGAL_REFIRE_END", "Refiring cannot end here."},
    {"CMD_ERROR_SETTING_DATATYPE", "The argument's data type could not be set."},
    {"CMD_ERROR_ARG_MISSING_VALUE", "An argument is missing its value."},
    {"CMD_SANDBOX_GLOBAL", "The command runs outside the sandbox."},
    {"CMD_SANDBOXED", "The command is sandboxed."},
    {"CMD_SANDBOX_ONLY", "The command can only run in a sandbox."},
    {"CMD_SANDBOX_NOT_COMPATIBLE", "The command cannot run in a sandbox."},
    {"CMD_QUERY_MISMATCHED_DATATYPES", "The queried values have different data types."},
    {"CMD_UNDOS_LOCKED_OUT", "Undo is locked out."},
    {"CMD_HAS_NO_ARGUMENTS", "The command has no arguments."},
    {"CMD_REQUIRES_USER_INTERACTION", "The command requires user interaction."},
    {"MSGDIALOG_NO", "The answer was no."},
    {"MSGDIALOG_CANCEL", "Cancelled."},
    {"MSGDIALOG_YESTOALL", "Yes to all."},
    {"MSGDIALOG_NOTOALL", "No to all."},
    {"MSGDIALOG_EMPTY", "The dialog is empty."},
    {"MSGDIALOG_INVALID", "The dialog is not valid."},
    {"MSGDIALOG_AS_OKCANCEL", "A dialog with OK and Cancel."},
    {"MSGDIALOG_AS_YESNO", "A dialog with Yes and No."},
    {"MSGDIALOG_AS_YESNOCANCEL", "A dialog with Yes, No and Cancel."},
    {"MSGDIALOG_AS_SAVEOK", "A dialog with Save and OK."},
    {"MSGDIALOG_AS_YESNOALL", "A dialog with Yes, No, Yes to All and No to All."},
    {"MSGDIALOG_AS_YESNOTOALL", "A dialog with Yes, No and No to All."},
    {"MSGDIALOG_AS_YESTOALLCANCEL", "A dialog with Yes, Yes to All and Cancel."},
    {"OK_INEXACT_MATCH", "Done, with an inexact match."},
    {"OK_NO_CHOICES", "Done; there were no choices."},
    {"QUERY_ERROR", "The query failed."},
    {"QUERY_SELECT_FAILED", "The query could not select its items."},
    {"QUERY_NEED_SELECTION", "The query needs a selection."},
    {"QUERY_NOT_APPLICABLE_TO_SELECTED", "The query does not apply to the selection."},
    {"RENDER_NO_JOB", "There is no render job."},
    {"RENDER_IN_PROGRESS", "A render is in progress."},
    {"RENDER_NOT_RENDERING", "Nothing is being rendered."},
    {"RENDER_IDLE", "The renderer is idle."},
    {"RENDER_RENDERING", "Rendering."},
    {"RENDER_NO_PROGRESS_IMAGE", "There is no progress image."},
    {"SCRIPT_UNKNOWN", "Unknown script."},
    {"SCRIPT_ERROR", "The script failed."},
    {"SCRIPT_WARNING", "The script ended with a warning."},
    {"SCRIPT_OPAQUE", "The script cannot be read."},
    {"SCRIPT_READONLY", "The script is read-only."},
    {"SCRIPT_ALREADY_EXISTS", "The script already exists."},
    {"SCRIPT_NOT_ENOUGH_ARGS", "Not enough arguments for the script."},
    {"SCRIPT_TOO_MANY_ARGS", "Too many arguments for the script."},
    {"SCRIPT_LINEISCOMMENT", "The line is a comment."},
    {"SCRIPT_RECOGNIZED_INVALID", "The script was recognised but is not valid."},
};

// Subsystem prefixes that a sentence made from a name leaves out.
constexpr const char* kNamePrefixes[] = {"CMD_",       "DEFORM_", "EVAL_", "IO_",     "LOG_",
                                         "MSGDIALOG_", "QUERY_",  "REF_",  "RENDER_", "SCRIPT_"};

// "CMD_UNKNOWN_COMMAND" -> "Unknown command."
std::string SentenceFromName(const std::string& name) {
  std::string words = name;
  for (const char* prefix : kNamePrefixes) {
    size_t n = std::strlen(prefix);
    if (words.size() > n && words.compare(0, n, prefix) == 0) {
      words.erase(0, n);
      break;
    }
  }
  for (char& c : words) {
    c = c == '_' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (!words.empty())
    words[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(words[0])));
  return words + ".";
}

std::string ResultText(QmResult code) {
  for (const auto& entry : kCommonTexts) {
    if (entry.code == code) return entry.text;
  }
  std::string name = ResultName(code);
  for (const auto& entry : kNamedTexts) {
    if (name == entry.name) return entry.text;
  }
  return SentenceFromName(name);
}

using TableKey = std::pair<std::string, uint32_t>;

std::map<TableKey, std::string> BuildTables() {
  std::map<TableKey, std::string> tables;
  tables[{"pythonintr", 1}] = "Python script error: %1";
  // The text of an exit "CODE: text" keeps the blank after its colon.
  tables[{"pythonintr", 2}] = "The script ended with %1:%2";
  tables[{"pythonintr", 3}] = "The script ended with %1";
  tables[{"pythonintr", 4}] = "The script ended: %1";
  static const std::pair<CommandText, const char*> kCommandTexts[] = {
      {kTextUnknownArgument, "%1 has no argument \"%2\"."},
      {kTextArgumentTwice, "Argument \"%1\" of %2 is given more than once."},
      {kTextTooManyArguments, "Too many arguments for %1: it takes %2."},
      {kTextTooManyQueries, "Only one argument of %1 can be queried at a time."},
      {kTextNotQueryable, "Argument \"%1\" of %2 cannot be queried."},
      {kTextBadValue, "\"%1\" is not a valid %2 for argument \"%3\" of %4."},
      {kTextMissingValue, "Argument \"%1\" of %2 has no value after its colon."},
      {kTextUnclosedQuote, "A quote in the arguments of %1 is not closed."},
      {kTextMissingArgument, "%1 needs a value for argument \"%2\"."},
      {kTextUnreadableArguments, "The argument values given to %1 could not be read."},
      {kTextNoSuchItem, "No item is named \"%1\"."},
      {kTextItemExists, "An item named \"%1\" already exists."},
      {kTextBadItemType, "\"%1\" is not an item type: use mesh, light, camera or locator."},
      {kTextEmptyName, "Item names cannot be empty."},
      {kTextSelectOne, "Select exactly one item to rename; %1 are selected."},
      {kTextNothingSelected, "%1 needs a selection, and nothing is selected."},
      {kTextBadMode, "\"%1\" is not a selection mode: use item or edit."},
      {kTextBadDetail, "Detail level %1 is out of range: use 0 to 9."},
      {kTextNoRenderer, "This host has no renderer: frame %1 was not rendered."},
      {kTextNothingToUndo, "There is nothing to undo."},
      {kTextScriptNotFound, "Cannot find the script \"%1\" in the current folder or in %2."},
      {kTextScriptUnreadable, "%1"},
      {kTextNoInterpreter, "No loaded plug-in runs Python scripts."},
      {kTextNotPython, "%1 is not a Python script: its first line does not name python."},
  };
  for (const auto& entry : kCommandTexts) tables[{"commands", entry.first}] = entry.second;
  for (const auto& entry : kQmResultRegistry) {
    TableKey key{"qmresult", entry.code};
    if (tables.find(key) == tables.end()) tables[key] = ResultText(entry.code);
  }
  return tables;
}

}  // namespace

const std::string* HostMessageText(const std::string& table, uint32_t id) {
  static const std::map<TableKey, std::string> tables = BuildTables();
  auto it = tables.find({table, id});
  return it != tables.end() ? &it->second : nullptr;
}

std::string ResultName(QmResult code) {
  const char* name = nullptr;
  for (const auto& entry : kQmResultRegistry) {
    if (entry.code == code) name = entry.name;  // the name registered last
  }
  return name != nullptr ? name : "unknown";
}

std::string ResultCodeText(QmResult code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", code);
  return std::string(hex) + " " + ResultName(code);
}

std::string SubstituteArguments(const std::string& text,
                                const std::map<uint32_t, std::string>& arguments) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%' || i + 1 >= text.size() ||
        !std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
      out += text[i];
      continue;
    }
    uint32_t number = 0;
    size_t j = i + 1;
    for (; j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])) && number < 100000;
         ++j) {
      number = number * 10 + static_cast<uint32_t>(text[j] - '0');
    }
    auto it = arguments.find(number);
    if (it != arguments.end()) out += it->second;
    i = j - 1;
  }
  return out;
}

// --- Messages -------------------------------------------------------------------------

namespace {

// Guards the state of every message: composing a text and refusing a cycle
// both walk from one message into the messages it holds as arguments.
// Object references are never released while it is held.
std::mutex& MessageLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

Message::Argument::Argument(Argument&& o) noexcept
    : kind(o.kind), i(o.i), f(o.f), s(std::move(o.s)), object(o.object), nested(o.nested) {
  o.object = nullptr;
  o.nested = nullptr;
}

Message::Argument& Message::Argument::operator=(Argument&& o) noexcept {
  std::swap(kind, o.kind);
  std::swap(i, o.i);
  std::swap(f, o.f);
  std::swap(s, o.s);
  std::swap(object, o.object);
  std::swap(nested, o.nested);
  return *this;  // `o` releases what this held
}

Message::Argument::~Argument() {
  if (object != nullptr) QmRelease(object);
}

Message::~Message() = default;  // arguments_ releases its objects

QmResult Message::msg_Code() { return Code(); }

QmResult Message::msg_SetCode(uint32_t code) {
  std::lock_guard<std::mutex> hold(MessageLock());
  code_ = code;
  return QMe_OK;
}

QmResult Message::msg_SetMessage(const char* table, const char* name, uint32_t id) {
  if (table == nullptr) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(MessageLock());
  table_ = table;
  name_ = name != nullptr ? name : "";
  id_ = id;
  set_ = true;
  return QMe_OK;
}

QmResult Message::SetArgument(uint32_t arg, Argument value) {
  if (arg == 0) return QMe_INVALIDARG;  // arguments count from 1
  {
    std::lock_guard<std::mutex> hold(MessageLock());
    if (value.nested != nullptr && value.nested->ReachesLocked(this)) return QMe_INVALIDARG;
    arguments_[arg] = std::move(value);
  }
  return QMe_OK;  // `value` now holds the old argument and releases it here
}

QmResult Message::msg_SetArgumentInt(uint32_t arg, int32_t value) {
  Argument a;
  a.kind = Argument::Kind::kInt;
  a.i = value;
  return SetArgument(arg, std::move(a));
}

QmResult Message::msg_SetArgumentFloat(uint32_t arg, double value) {
  Argument a;
  a.kind = Argument::Kind::kFloat;
  a.f = value;
  return SetArgument(arg, std::move(a));
}

QmResult Message::msg_SetArgumentString(uint32_t arg, const char* value) {
  Argument a;
  a.kind = Argument::Kind::kString;
  a.s = value != nullptr ? value : "";
  return SetArgument(arg, std::move(a));
}

QmResult Message::msg_SetArgumentObject(uint32_t arg, void* value) {
  if (arg == 0 || value == nullptr) return QMe_INVALIDARG;
  Ref<Message> nested = HostCast<Message, IQmMessage>(value);
  Argument a;
  a.kind = Argument::Kind::kObject;
  QmAddRef(value);
  a.object = value;
  a.nested = nested.get();  // kept alive by the reference in `object`
  return SetArgument(arg, std::move(a));
}

QmResult Message::msg_Reset() {
  Reset();
  return QMe_OK;
}

QmResult Message::msg_Table(const char** table) {
  if (table == nullptr) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(MessageLock());
  *table = table_.c_str();
  return QMe_OK;
}

QmResult Message::msg_Name(const char** name) {
  if (name == nullptr) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(MessageLock());
  *name = name_.c_str();
  return QMe_OK;
}

QmResult Message::msg_SetMessageResult(uint32_t code) {
  std::string name = ResultName(code);
  std::lock_guard<std::mutex> hold(MessageLock());
  code_ = code;
  table_ = "qmresult";
  name_ = name == "unknown" ? "" : name;
  id_ = code;
  set_ = true;
  return QMe_OK;
}

QmResult Message::Code() {
  std::lock_guard<std::mutex> hold(MessageLock());
  return code_;
}

std::string Message::Table() {
  std::lock_guard<std::mutex> hold(MessageLock());
  return table_;
}

std::string Message::Name() {
  std::lock_guard<std::mutex> hold(MessageLock());
  return name_;
}

uint32_t Message::Id() {
  std::lock_guard<std::mutex> hold(MessageLock());
  return id_;
}

bool Message::WasSet() {
  std::lock_guard<std::mutex> hold(MessageLock());
  return set_;
}

QmResult Message::Text(std::string* text) {
  std::lock_guard<std::mutex> hold(MessageLock());
  return ComposeLocked(text);
}

void Message::Reset() {
  std::map<uint32_t, Argument> old;
  {
    std::lock_guard<std::mutex> hold(MessageLock());
    code_ = QMe_OK;
    set_ = false;
    table_.clear();
    name_.clear();
    id_ = 0;
    old.swap(arguments_);
  }
  // `old` releases the object arguments here, outside the lock.
}

QmResult Message::ComposeLocked(std::string* text) const {
  const std::string* pattern = HostMessageText(table_, id_);
  if (pattern == nullptr) return QMe_NOTFOUND;
  std::map<uint32_t, std::string> values;
  for (const auto& entry : arguments_) {
    const Argument& a = entry.second;
    std::string& value = values[entry.first];
    switch (a.kind) {
      case Argument::Kind::kInt:
        value = std::to_string(a.i);
        break;
      case Argument::Kind::kFloat: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%g", a.f);
        value = buf;
        break;
      }
      case Argument::Kind::kString:
        value = a.s;
        break;
      case Argument::Kind::kObject:
        // Another message stands for its own text; other objects have none.
        if (a.nested != nullptr && QmFailed(a.nested->ComposeLocked(&value))) value.clear();
        break;
    }
  }
  *text = SubstituteArguments(*pattern, values);
  return QMe_OK;
}

bool Message::ReachesLocked(const Message* target) const {
  if (this == target) return true;
  for (const auto& entry : arguments_) {
    if (entry.second.nested != nullptr && entry.second.nested->ReachesLocked(target)) return true;
  }
  return false;
}

void* Message::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmMessage ? face_.get() : nullptr;
}

// --- Service --------------------------------------------------------------------------

QmResult MessageService::msgs_ScriptQuery(void** query) {
  if (query != nullptr) *query = nullptr;
  return QMe_NOTIMPL;
}

QmResult MessageService::msgs_Allocate(void** message) {
  if (message == nullptr) return QMe_INVALIDARG;
  Ref<Message> made(new Message);
  return made->QueryInterface(&IID_IQmMessage, message);
}

QmResult MessageService::msgs_MessageText(void* message, char* text, uint32_t length) {
  if (text == nullptr) return QMe_INVALIDARG;
  Ref<Message> found = HostCast<Message, IQmMessage>(message);
  if (!found) return QMe_INVALIDARG;
  std::string composed;
  QmResult rc = found->Text(&composed);
  if (QmFailed(rc)) return rc;
  if (composed.size() + 1 > length) {
    if (length > 0) text[0] = '\0';
    return QMe_SHORTBUFFER;
  }
  std::memcpy(text, composed.c_str(), composed.size() + 1);
  return QMe_OK;
}

Ref<Message> MessageService::NewMessage() { return Ref<Message>(new Message); }

void* MessageService::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmMessageService ? face_.get() : nullptr;
}

}  // namespace qmhost

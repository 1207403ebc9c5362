#include "host/commands.h"

#include <atomic>
#include <cctype>
#include <new>
#include <utility>

#include "host/query.h"
#include "qm_guarded.h"

namespace qmhost {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

const char* SkipBlanks(const char* p) {
  while (IsBlank(*p)) ++p;
  return p;
}

// The command name at the start of `text` (after blanks), and where the
// text goes on after it.
std::string NameAt(const char* text, const char** after) {
  const char* start = SkipBlanks(text);
  const char* end = start;
  while (*end != '\0' && !IsBlank(*end)) ++end;
  *after = end;
  return std::string(start, end);
}

// Reads one word at text[*pos]: unquoted characters up to a blank, and
// quoted stretches in which \" and \\ stand for " and \.  False for a
// quote that is not closed.
bool ReadWord(const std::string& text, size_t* pos, std::string* word, bool* quoted) {
  size_t p = *pos;
  word->clear();
  *quoted = false;
  while (p < text.size() && !IsBlank(text[p])) {
    if (text[p] != '"') {
      *word += text[p++];
      continue;
    }
    *quoted = true;
    for (++p;; ++p) {
      if (p >= text.size()) return false;
      if (text[p] == '"') break;
      if (text[p] == '\\' && p + 1 < text.size() && (text[p + 1] == '"' || text[p + 1] == '\\')) {
        ++p;
      }
      *word += text[p];
    }
    ++p;  // the closing quote
  }
  *pos = p;
  return true;
}

// The length of an argument name followed by a colon at text[pos], or 0.
size_t NamePrefix(const std::string& text, size_t pos) {
  auto ident = [](char c, bool first) {
    unsigned char u = static_cast<unsigned char>(c);
    return c == '_' || (first ? std::isalpha(u) : std::isalnum(u));
  };
  size_t p = pos;
  if (p >= text.size() || !ident(text[p], true)) return 0;
  while (p < text.size() && ident(text[p], false)) ++p;
  return p < text.size() && text[p] == ':' ? p - pos : 0;
}

struct Token {
  std::string name;  // empty for a value given by position
  std::string value;
  bool query = false;
};

// Splits argument text into tokens.  On QMe_CMD_ERROR_ARG_MISSING_VALUE,
// `problem` names the argument.
QmResult Split(const std::string& text, std::vector<Token>* tokens, std::string* problem) {
  size_t p = 0;
  for (;;) {
    while (p < text.size() && IsBlank(text[p])) ++p;
    if (p >= text.size()) return QMe_OK;
    Token token;
    if (size_t n = NamePrefix(text, p)) {
      token.name = text.substr(p, n);
      p += n + 1;
    }
    bool quoted = false;
    if (!ReadWord(text, &p, &token.value, &quoted)) return QMe_CMD_UNBALANCED_BRACES;
    if (!token.name.empty() && token.value.empty() && !quoted) {
      *problem = token.name;
      return QMe_CMD_ERROR_ARG_MISSING_VALUE;
    }
    token.query = !quoted && token.value == "?";
    tokens->push_back(std::move(token));
  }
}

std::string ArgumentCount(size_t n) {
  if (n == 0) return "no arguments";
  return std::to_string(n) + (n == 1 ? " argument" : " arguments");
}

// Writes a failure into any message, through its function table.
void WriteFailure(IQmMessage* message, QmResult code, CommandText text,
                  std::initializer_list<std::string> args) {
  if (message == nullptr) return;
  OwnCalls own;
  message->vt->SetMessage(message, "commands", nullptr, text);
  uint32_t n = 1;
  for (const auto& arg : args) message->vt->SetArgumentString(message, n++, arg.c_str());
  message->vt->SetCode(message, code);
}

}  // namespace

// --- The command table ----------------------------------------------------------------

const CommandDef* CommandTable::FindLocked(const std::string& name, uint32_t* tag) {
  const auto& own = HostCommands();
  for (size_t i = 0; i < own.size() + added_.size(); ++i) {
    const CommandDef* def = i < own.size() ? &own[i] : added_[i - own.size()].get();
    if (name == def->name) {
      if (tag != nullptr) *tag = kFirstCommandTag + static_cast<uint32_t>(i);
      return def;
    }
  }
  return nullptr;
}

const CommandDef* CommandTable::Find(const std::string& name, uint32_t* tag) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (const CommandDef* def = FindLocked(name, tag)) return def;
  }
  Refresh();
  std::lock_guard<std::mutex> hold(lock_);
  return FindLocked(name, tag);
}

const CommandDef* CommandTable::ByTag(uint32_t tag) {
  if (tag < kFirstCommandTag) return nullptr;
  size_t index = tag - kFirstCommandTag;
  const auto& own = HostCommands();
  if (index < own.size()) return &own[index];
  std::lock_guard<std::mutex> hold(lock_);
  index -= own.size();
  return index < added_.size() ? added_[index].get() : nullptr;
}

std::vector<std::string> CommandTable::Names() {
  Refresh();
  std::vector<std::string> names;
  for (const auto& def : HostCommands()) names.emplace_back(def.name);
  std::lock_guard<std::mutex> hold(lock_);
  for (const auto& def : added_) names.emplace_back(def->name);
  return names;
}

bool CommandTable::Add(std::shared_ptr<const CommandDef> def) {
  std::lock_guard<std::mutex> hold(lock_);
  if (def == nullptr || FindLocked(def->name, nullptr) != nullptr) return false;
  added_.push_back(std::move(def));
  return true;
}

// Runs without the table's lock: refreshing may call into the plug-in,
// whose Python may look commands up again.
void CommandTable::Refresh() {
  if (refresh_) refresh_();
}

// --- Runs --------------------------------------------------------------------------------

CommandRun::CommandRun(const CommandDef& def, std::vector<std::optional<Value>> values,
                       HostContext& context, uint32_t flags, void* message)
    : def_(def),
      values_(std::move(values)),
      context_(context),
      flags_(flags),
      message_(static_cast<IQmMessage*>(message)) {}

bool CommandRun::Has(size_t arg) const { return arg < values_.size() && values_[arg].has_value(); }

int32_t CommandRun::Int(size_t arg, int32_t fallback) const {
  return Has(arg) ? values_[arg]->i : fallback;
}

double CommandRun::Float(size_t arg, double fallback) const {
  return Has(arg) ? values_[arg]->f : fallback;
}

std::string CommandRun::String(size_t arg, const std::string& fallback) const {
  return Has(arg) ? values_[arg]->s : fallback;
}

std::string CommandRun::Text(size_t arg) const { return Has(arg) ? FormatValue(*values_[arg]) : ""; }

bool CommandRun::Recorded() const {
  if ((flags_ & kCmdNoUndo) != 0) return false;
  if ((flags_ & kCmdUndo) != 0) return true;
  return (def_.flags & kCmdFlagUndoable) != 0;
}

void CommandRun::Fail(QmResult code, CommandText text, std::initializer_list<std::string> args) {
  code_ = code;
  WriteFailure(message_, code, text, args);
}

void CommandRun::SetCode(QmResult code) {
  code_ = code;
  OwnCalls own;
  if (message_ != nullptr) message_->vt->SetCode(message_, code);
}

void CommandRun::Fail(QmResult code) {
  code_ = code;
  OwnCalls own;
  if (message_ != nullptr) message_->vt->SetMessageResult(message_, code);
}

// --- Commands ----------------------------------------------------------------------------

Command::Command(const CommandDef& def, uint32_t tag, std::shared_ptr<HostContext> context)
    : def_(def),
      tag_(tag),
      context_(std::move(context)),
      message_(new Message),
      values_(def.args.size()) {}

void* Command::Find(const QmGUID& iid) {
  if (iid == IID_QmBaseUnknown || iid == IID_IQmCommand) return command_.get();
  return iid == IID_IQmAttributes ? attributes_.get() : nullptr;
}

const ArgDef* Command::Arg(uint32_t index) const {
  return index < def_.args.size() ? &def_.args[index] : nullptr;
}

Command::Values Command::Snapshot() {
  std::lock_guard<std::mutex> hold(lock_);
  return values_;
}

int Command::QueryIndex() {
  std::lock_guard<std::mutex> hold(lock_);
  return query_;
}

QmResult Command::Report(QmResult code, CommandText text, std::initializer_list<std::string> args) {
  WriteFailure(static_cast<IQmMessage*>(message_->Face()), code, text, args);
  return code;
}

QmResult Command::Assign(Values* values, size_t index, const std::string& text) {
  const ArgDef& arg = def_.args[index];
  Value value;
  if (!ParseValue(*FindValueType(arg.type), text, arg.hints, &value)) {
    return Report(QMe_CMD_ERROR_SETTING_DATATYPE, kTextBadValue,
                  {text, arg.type, arg.name, def_.name});
  }
  (*values)[index] = std::move(value);
  return QMe_OK;
}

QmResult Command::ParseArguments(const std::string& text) {
  const size_t n = def_.args.size();
  {
    std::lock_guard<std::mutex> hold(lock_);
    values_.assign(n, std::nullopt);
    query_ = -1;
  }
  message_->Reset();
  std::vector<Token> tokens;
  std::string problem;
  QmResult rc = Split(text, &tokens, &problem);
  if (rc == QMe_CMD_UNBALANCED_BRACES) return Report(rc, kTextUnclosedQuote, {def_.name});
  if (QmFailed(rc)) return Report(rc, kTextMissingValue, {problem, def_.name});

  Values values(n);
  std::vector<bool> given(n, false);
  int query = -1;
  size_t next = 0;
  for (const Token& token : tokens) {
    size_t index = 0;
    if (!token.name.empty()) {
      while (index < n && token.name != def_.args[index].name) ++index;
      if (index == n) {
        return Report(QMe_CMD_UNKNOWN_ARGUMENT, kTextUnknownArgument, {def_.name, token.name});
      }
      if (given[index]) {
        return Report(QMe_CMD_ARGUMENT_ALREADY_SET, kTextArgumentTwice, {token.name, def_.name});
      }
    } else {
      while (next < n && given[next]) ++next;
      if (next == n) {
        return Report(QMe_CMD_TOO_MANY_ARGUMENTS, kTextTooManyArguments,
                      {def_.name, ArgumentCount(n)});
      }
      index = next;
    }
    given[index] = true;
    if (!token.query) {
      rc = Assign(&values, index, token.value);
      if (QmFailed(rc)) return rc;
      continue;
    }
    if (query >= 0)
      return Report(QMe_CMD_TOO_MANY_QUERIES_MARKED, kTextTooManyQueries, {def_.name});
    if ((def_.args[index].flags & kArgQueryable) == 0) {
      return Report(QMe_CMD_ARGUMENT_NOT_QUERYABLE, kTextNotQueryable,
                    {def_.args[index].name, def_.name});
    }
    query = static_cast<int>(index);
  }
  std::lock_guard<std::mutex> hold(lock_);
  values_ = std::move(values);
  query_ = query;
  return QMe_OK;
}

QmResult Command::ParseAttributes(void* attributes) {
  const size_t n = def_.args.size();
  {
    std::lock_guard<std::mutex> hold(lock_);
    values_.assign(n, std::nullopt);
    query_ = -1;
  }
  message_->Reset();
  void* found = nullptr;
  if (attributes == nullptr || QmFailed(QmQueryInterface(attributes, IID_IQmAttributes, &found))) {
    return Report(QMe_INVALIDARG, kTextUnreadableArguments, {def_.name});
  }
  auto* source = static_cast<IQmAttributes*>(found);
  OwnCalls own;
  Values values(n);
  QmResult rc = QMe_OK;
  uint32_t count = source->vt->Count(source);
  for (uint32_t i = 0; i < count && !QmFailed(rc); ++i) {
    const char* name = nullptr;
    std::vector<char> buf(256);
    QmResult got = source->vt->Name(source, i, &name);
    if (!QmFailed(got)) {
      for (;;) {
        got = source->vt->GetString(source, i, buf.data(), static_cast<uint32_t>(buf.size()));
        if (got != QMe_SHORTBUFFER || buf.size() >= (1U << 24)) break;
        buf.resize(buf.size() * 4);
      }
    }
    if (got == QMe_CMD_ERROR_ARG_MISSING_VALUE) continue;  // an attribute without a value
    if (QmFailed(got) || name == nullptr) {
      rc = Report(QmFailed(got) ? got : QMe_INVALIDARG, kTextUnreadableArguments, {def_.name});
      break;
    }
    size_t index = 0;
    while (index < n && std::string(name) != def_.args[index].name) ++index;
    if (index == n) {
      rc = Report(QMe_CMD_UNKNOWN_ARGUMENT, kTextUnknownArgument, {def_.name, name});
    } else if (values[index]) {
      rc = Report(QMe_CMD_ARGUMENT_ALREADY_SET, kTextArgumentTwice, {name, def_.name});
    } else {
      rc = Assign(&values, index, buf.data());
    }
  }
  QmRelease(source);
  if (QmFailed(rc)) return rc;
  std::lock_guard<std::mutex> hold(lock_);
  values_ = std::move(values);
  return QMe_OK;
}

QmResult Command::SetArgumentText(size_t index, const std::string& text) {
  if (index >= def_.args.size()) return QMe_OUTOFBOUNDS;
  Values values(def_.args.size());
  QmResult rc = Assign(&values, index, text);
  if (QmFailed(rc)) return rc;
  std::lock_guard<std::mutex> hold(lock_);
  values_[index] = std::move(values[index]);
  return QMe_OK;
}

QmResult Command::RunQuery(size_t index, std::vector<Value>* out) {
  if (index >= def_.args.size()) return QMe_OUTOFBOUNDS;
  if ((def_.args[index].flags & kArgQueryable) == 0 || !def_.query) {
    return QMe_CMD_ARGUMENT_NOT_QUERYABLE;
  }
  CommandRun run(def_, Snapshot(), *context_, 0, nullptr);
  return QmGuardedCode([&] { return def_.query(run, index, out); });
}

QmResult Command::ToggleState(void* value, int32_t* state) {
  if (state == nullptr) return QMe_INVALIDARG;
  if (def_.toggle < 0) return QMe_NOTIMPL;
  const auto index = static_cast<size_t>(def_.toggle);
  const ArgDef& arg = def_.args[index];
  const ValueType& type = *FindValueType(arg.type);
  Value given;
  if (value != nullptr) {
    QmResult rc = ReadValue(value, 0, &given);
    if (QmFailed(rc)) return rc;
    // A text stands for the value it names.
    if (given.kind == ValueKind::kString && type.kind != ValueKind::kString &&
        !ParseValue(type, given.s, arg.hints, &given)) {
      return QMe_CMD_ERROR_SETTING_DATATYPE;
    }
    if (given.kind != type.kind) return QMe_INVALIDARG;
  } else {
    std::lock_guard<std::mutex> hold(lock_);
    if (!values_[index]) return QMe_CMD_ERROR_ARG_MISSING_VALUE;
    given = *values_[index];
  }
  std::vector<Value> current;
  QmResult rc = RunQuery(index, &current);
  if (QmFailed(rc)) return rc;
  *state = current.size() == 1 && current[0] == given ? 1 : 0;
  return QMe_OK;
}

void Command::AlertFailure(uint32_t flags) {
  QmResult code = message_->Code();
  if ((flags & kCmdQuiet) != 0 || !QmFailed(code)) return;
  std::string text;
  if (QmFailed(message_->Text(&text))) text = ResultCodeText(code);
  context_->Alert(code, std::string(def_.name) + ": " + text);
}

// IQmCommand ----------------------------------------------------------------------------

namespace {
QmResult Give(const char* text, const char** out) {
  if (out == nullptr) return QMe_INVALIDARG;
  *out = text;
  return text != nullptr ? QMe_OK : QMe_NOTFOUND;
}
}  // namespace

QmResult Command::cmd_Tag(uint32_t* tag) {
  if (tag == nullptr) return QMe_INVALIDARG;
  *tag = tag_;
  return QMe_OK;
}

QmResult Command::cmd_Name(const char** name) { return Give(def_.name, name); }
QmResult Command::cmd_UserName(const char** name) { return Give(def_.userName, name); }
QmResult Command::cmd_ButtonName(const char** name) { return Give(def_.userName, name); }
QmResult Command::cmd_Desc(const char** desc) { return Give(def_.desc, desc); }
QmResult Command::cmd_Tooltip(const char** tip) { return Give(def_.desc, tip); }
QmResult Command::cmd_Example(const char** example) { return Give(def_.example, example); }

QmResult Command::cmd_Flags(uint32_t* flags) {
  if (flags == nullptr) return QMe_INVALIDARG;
  *flags = def_.flags;
  return QMe_OK;
}

QmResult Command::cmd_Message(void** message) {
  if (message == nullptr) return QMe_INVALIDARG;
  return message_->QueryInterface(&IID_IQmMessage, message);
}

QmResult Command::cmd_Enable(void* message) {
  if (!def_.enable) return QMe_OK;
  void* target = nullptr;
  if (message != nullptr && QmFailed(QmQueryInterface(message, IID_IQmMessage, &target))) {
    return QMe_INVALIDARG;
  }
  CommandRun run(def_, Snapshot(), *context_, 0, target);
  QmResult rc = def_.enable(run) ? QMe_OK : run.Code();
  if (target != nullptr) QmRelease(target);
  return rc;
}

void Command::cmd_Execute(uint32_t flags) {
  message_->Reset();
  CommandRun run(def_, Snapshot(), *context_, flags, message_->Face());
  try {
    bool ready = true;
    for (size_t i = 0; i < def_.args.size() && ready; ++i) {
      if ((def_.args[i].flags & kArgOptional) == 0 && !run.Has(i)) {
        run.Fail(QMe_CMD_MISSING_ARGS, kTextMissingArgument, {def_.name, def_.args[i].name});
        ready = false;
      }
    }
    if (ready && def_.enable) ready = def_.enable(run);
    if (ready && def_.execute) def_.execute(run);
  } catch (QmResult code) {
    run.Fail(code);
  } catch (const std::bad_alloc&) {
    run.Fail(QMe_OUTOFMEMORY);
  } catch (...) {
    run.Fail(QMe_FAILED);
  }
  AlertFailure(flags);
}

QmResult Command::cmd_ToggleArg(int32_t* index, void** value, int32_t* typeIndex,
                                const char** typeName) {
  if (def_.toggle < 0) return QMe_NOTIMPL;
  const ArgDef& arg = def_.args[static_cast<size_t>(def_.toggle)];
  if (index != nullptr) *index = def_.toggle;
  if (value != nullptr) *value = nullptr;  // the host has no value objects
  if (typeIndex != nullptr) *typeIndex = static_cast<int32_t>(FindValueType(arg.type)->kind);
  if (typeName != nullptr) *typeName = arg.type;
  return QMe_OK;
}

QmResult Command::cmd_ArgFlags(uint32_t index, uint32_t* flags) {
  const ArgDef* arg = Arg(index);
  if (arg == nullptr) return QMe_OUTOFBOUNDS;
  if (flags == nullptr) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  *flags = arg->flags | (values_[index] ? kArgHasValue : 0) |
           (query_ == static_cast<int>(index) ? kArgQueried : 0);
  return QMe_OK;
}

QmResult Command::cmd_ArgClear(uint32_t index) {
  if (Arg(index) == nullptr) return QMe_OUTOFBOUNDS;
  std::lock_guard<std::mutex> hold(lock_);
  values_[index].reset();
  if (query_ == static_cast<int>(index)) query_ = -1;
  return QMe_OK;
}

QmResult Command::cmd_ArgResetAll() {
  std::lock_guard<std::mutex> hold(lock_);
  values_.assign(def_.args.size(), std::nullopt);
  query_ = -1;
  return QMe_OK;
}

// Argument types are fixed.
QmResult Command::cmd_ArgSetDatatypes() { return QMe_OK; }

QmResult Command::cmd_ArgUserName(uint32_t index, const char** name) {
  const ArgDef* arg = Arg(index);
  return arg != nullptr ? Give(arg->userName, name) : QMe_OUTOFBOUNDS;
}

QmResult Command::cmd_ArgDesc(uint32_t index, const char** desc) {
  const ArgDef* arg = Arg(index);
  return arg != nullptr ? Give(arg->desc, desc) : QMe_OUTOFBOUNDS;
}

QmResult Command::cmd_ArgType(uint32_t index, const char** type) {
  const ArgDef* arg = Arg(index);
  return arg != nullptr ? Give(arg->type, type) : QMe_OUTOFBOUNDS;
}

QmResult Command::cmd_ArgTypeUserName(uint32_t index, const char** name) {
  const ArgDef* arg = Arg(index);
  return arg != nullptr ? Give(FindValueType(arg->type)->userName, name) : QMe_OUTOFBOUNDS;
}

QmResult Command::cmd_ArgOptionUserName(uint32_t index, uint32_t option, const char** name) {
  const ArgDef* arg = Arg(index);
  if (arg == nullptr) return QMe_OUTOFBOUNDS;
  uint32_t n = 0;
  for (const QmTextValueHint* h = arg->hints; h != nullptr && h->name != nullptr; ++h, ++n) {
    if (n == option) return Give(h->name, name);
  }
  return QMe_OUTOFBOUNDS;
}

QmResult Command::cmd_ArgEnable(uint32_t index) {
  return Arg(index) != nullptr ? QMe_OK : QMe_OUTOFBOUNDS;
}

QmResult Command::cmd_ArgParseString(uint32_t index, const char* text) {
  if (text == nullptr) return QMe_INVALIDARG;
  return SetArgumentText(index, text);
}

QmResult Command::cmd_Copy(void* source) {
  Ref<Command> other = HostCast<Command, IQmCommand>(source);
  if (!other || &other->def_ != &def_) return QMe_INVALIDARG;
  if (other.get() == this) return QMe_OK;
  Values values = other->Snapshot();
  std::lock_guard<std::mutex> hold(lock_);
  values_ = std::move(values);
  return QMe_OK;
}

QmResult Command::cmd_Query(uint32_t index, void* values) {
  std::vector<Value> found;
  QmResult rc = RunQuery(index, &found);
  if (QmFailed(rc)) return rc;
  return AddValues(values, FindValueType(def_.args[index].type)->kind, found,
                   QMe_CMD_QUERY_MISMATCHED_DATATYPES);
}

// IQmAttributes --------------------------------------------------------------------------

uint32_t Command::attr_Count() { return static_cast<uint32_t>(def_.args.size()); }

QmResult Command::attr_Name(uint32_t index, const char** name) {
  const ArgDef* arg = Arg(index);
  return arg != nullptr ? Give(arg->name, name) : QMe_OUTOFBOUNDS;
}

QmResult Command::attr_Lookup(const char* name, uint32_t* index) {
  if (name == nullptr || index == nullptr) return QMe_INVALIDARG;
  for (uint32_t i = 0; i < def_.args.size(); ++i) {
    if (std::string(name) == def_.args[i].name) {
      *index = i;
      return QMe_OK;
    }
  }
  return QMe_NOTFOUND;
}

QmResult Command::attr_Type(uint32_t index, uint32_t* type) {
  const ArgDef* arg = Arg(index);
  if (arg == nullptr) return QMe_OUTOFBOUNDS;
  if (type == nullptr) return QMe_INVALIDARG;
  *type = static_cast<uint32_t>(FindValueType(arg->type)->kind);
  return QMe_OK;
}

QmResult Command::attr_TypeName(uint32_t index, const char** type) {
  return cmd_ArgType(index, type);
}

const QmTextValueHint* Command::attr_Hints(uint32_t index) {
  const ArgDef* arg = Arg(index);
  return arg != nullptr ? arg->hints : nullptr;
}

QmResult Command::attr_Value(uint32_t, int32_t, void** value) {
  if (value != nullptr) *value = nullptr;
  return QMe_NOTIMPL;
}

QmResult Command::Get(uint32_t index, ValueKind kind, Value* out) {
  const ArgDef* arg = Arg(index);
  if (arg == nullptr) return QMe_OUTOFBOUNDS;
  if (FindValueType(arg->type)->kind != kind) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  if (!values_[index]) return QMe_CMD_ERROR_ARG_MISSING_VALUE;
  *out = *values_[index];
  return QMe_OK;
}

QmResult Command::Set(uint32_t index, Value value) {
  const ArgDef* arg = Arg(index);
  if (arg == nullptr) return QMe_OUTOFBOUNDS;
  if (FindValueType(arg->type)->kind != value.kind) return QMe_INVALIDARG;
  if (std::string(arg->type) == "boolean" && value.i != 0 && value.i != 1) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  values_[index] = std::move(value);
  return QMe_OK;
}

QmResult Command::attr_GetInt(uint32_t index, int32_t* value) {
  return ReadField(value, ValueKind::kInteger, &Value::i,
                   [&](ValueKind kind, Value* v) { return Get(index, kind, v); });
}

QmResult Command::attr_SetInt(uint32_t index, int32_t value) {
  return Set(index, Value::Int(value));
}

QmResult Command::attr_GetFlt(uint32_t index, double* value) {
  return ReadField(value, ValueKind::kFloat, &Value::f,
                   [&](ValueKind kind, Value* v) { return Get(index, kind, v); });
}

QmResult Command::attr_SetFlt(uint32_t index, double value) {
  return Set(index, Value::Float(value));
}

QmResult Command::attr_GetString(uint32_t index, char* text, uint32_t length) {
  if (Arg(index) == nullptr) return QMe_OUTOFBOUNDS;
  if (text == nullptr) return QMe_INVALIDARG;
  std::optional<Value> value;
  {
    std::lock_guard<std::mutex> hold(lock_);
    value = values_[index];
  }
  if (!value) return QMe_CMD_ERROR_ARG_MISSING_VALUE;
  return CopyText(FormatValue(*value), text, length);
}

QmResult Command::attr_SetString(uint32_t index, const char* value) {
  if (value == nullptr) return QMe_INVALIDARG;
  return SetArgumentText(index, value);
}

// --- The command service's script query ---------------------------------------------------

namespace {

class CommandQuery : public ScriptQueryBase {
 public:
  explicit CommandQuery(std::shared_ptr<HostContext> context) : context_(std::move(context)) {}

 protected:
  const Attribute* Lookup(const std::string& name) const override {
    static const Attribute kAttributes[] = {
        {"command.names", "string"},    {"command.name", "string"},
        {"command.username", "string"}, {"command.desc", "string"},
        {"command.example", "string"},  {"command.args", "string"},
        {"command.argTypes", "string"}, {nullptr, nullptr},
    };
    return LookupIn(kAttributes, name);
  }

  QmResult Select(const std::string& cls, const std::string& which) override {
    if (cls != "command") return QMe_QUERY_UNKNOWN_ATTRIBUTE;
    const CommandDef* def = context_->Commands().Find(which, nullptr);
    if (def == nullptr) return QMe_NOTFOUND;
    selected_ = def;
    return QMe_OK;
  }

  QmResult Read(const Attribute& attribute, std::vector<Value>* out) override {
    const std::string name = attribute.name;
    if (name == "command.names") {
      for (const auto& n : context_->Commands().Names()) out->push_back(Value::String(n));
      return QMe_OK;
    }
    const CommandDef* def = selected_.load();
    if (def == nullptr) return QMe_QUERY_NEED_SELECTION;
    auto text = [](const char* s) { return Value::String(s != nullptr ? s : ""); };
    if (name == "command.name") {
      out->push_back(text(def->name));
    } else if (name == "command.username") {
      out->push_back(text(def->userName));
    } else if (name == "command.desc") {
      out->push_back(text(def->desc));
    } else if (name == "command.example") {
      out->push_back(text(def->example));
    } else {
      for (const auto& arg : def->args) {
        out->push_back(text(name == "command.args" ? arg.name : arg.type));
      }
    }
    return QMe_OK;
  }

 private:
  std::atomic<const CommandDef*> selected_{nullptr};
  std::shared_ptr<HostContext> context_;
};

}  // namespace

// --- Service -------------------------------------------------------------------------------

CommandService::CommandService(std::shared_ptr<HostContext> context)
    : context_(std::move(context)) {}

void* CommandService::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmCommandService ? face_.get() : nullptr;
}

Ref<Command> CommandService::Spawn(const std::string& name) {
  uint32_t tag = 0;
  const CommandDef* def = context_->Commands().Find(name, &tag);
  return def != nullptr ? Ref<Command>(new Command(*def, tag, context_)) : Ref<Command>();
}

QmResult CommandService::cmds_ScriptQuery(void** query) {
  if (query == nullptr) return QMe_INVALIDARG;
  Ref<CommandQuery> made(new CommandQuery(context_));
  return made->QueryInterface(&IID_IQmScriptQuery, query);
}

QmResult CommandService::cmds_Lookup(const char* name, uint32_t* tag) {
  if (name == nullptr || tag == nullptr) return QMe_INVALIDARG;
  *tag = 0;
  return context_->Commands().Find(name, tag) != nullptr ? QMe_OK : QMe_CMD_UNKNOWN_COMMAND;
}

QmResult CommandService::cmds_Spawn(uint32_t tag, const char* name, void** command) {
  if (command == nullptr) return QMe_INVALIDARG;
  *command = nullptr;
  Ref<Command> made;
  if (tag != 0) {
    if (const CommandDef* def = context_->Commands().ByTag(tag)) made = Spawn(def->name);
  } else {
    if (name == nullptr) return QMe_INVALIDARG;
    const char* after = nullptr;
    made = Spawn(NameAt(name, &after));
  }
  if (!made) return QMe_CMD_UNKNOWN_COMMAND;
  return made->QueryInterface(&IID_IQmCommand, command);
}

QmResult CommandService::cmds_SpawnFromString(const char* text, uint32_t* flags,
                                              uint32_t* queryIndex, void** command) {
  if (text == nullptr || flags == nullptr || queryIndex == nullptr || command == nullptr) {
    return QMe_INVALIDARG;
  }
  *command = nullptr;
  const char* rest = nullptr;
  cmds_ProcessStringFlags(*flags, text, flags, &rest);
  *queryIndex = kNoQueryIndex;
  if (cmds_IsImplicitScript(rest) == QMe_OK) return cmds_SpawnImplicitScript(rest, command);
  const char* after = nullptr;
  Ref<Command> made = Spawn(NameAt(rest, &after));
  if (!made) return QMe_CMD_UNKNOWN_COMMAND;
  QmResult rc = made->ParseArguments(after);
  if (QmFailed(rc)) {
    made->AlertFailure(*flags);
    return rc;
  }
  int query = made->QueryIndex();
  if (query >= 0) *queryIndex = static_cast<uint32_t>(query);
  return made->QueryInterface(&IID_IQmCommand, command);
}

QmResult CommandService::cmds_ProcessStringFlags(uint32_t flags, const char* text,
                                                 uint32_t* newFlags, const char** rest) {
  if (text == nullptr || newFlags == nullptr || rest == nullptr) return QMe_INVALIDARG;
  const char* p = text;
  for (;; ++p) {
    if (*p == '!') {
      flags |= kCmdQuiet;
    } else if (*p == '+') {
      flags = (flags | kCmdUndo) & ~kCmdNoUndo;
    } else if (*p == '-') {
      flags = (flags | kCmdNoUndo) & ~kCmdUndo;
    } else if (!IsBlank(*p)) {
      break;
    }
  }
  *newFlags = flags;
  *rest = p;
  return QMe_OK;
}

QmResult CommandService::cmds_IsImplicitScript(const char* text) {
  if (text == nullptr) return QMe_INVALIDARG;
  const char* p = SkipBlanks(text);
  return p[0] == '@' && p[1] != '\0' && !IsBlank(p[1]) ? QMe_OK : QMe_FAILED;
}

QmResult CommandService::cmds_SpawnImplicitScript(const char* text, void** command) {
  if (command == nullptr) return QMe_INVALIDARG;
  *command = nullptr;
  if (cmds_IsImplicitScript(text) != QMe_OK) return QMe_INVALIDARG;
  std::string line = SkipBlanks(text) + 1;
  size_t pos = 0;
  std::string file;
  bool quoted = false;
  if (!ReadWord(line, &pos, &file, &quoted)) return QMe_CMD_UNBALANCED_BRACES;
  std::string args = SkipBlanks(line.c_str() + pos);
  while (!args.empty() && IsBlank(args.back())) args.pop_back();

  Ref<Command> made = Spawn("script.run");
  if (!made) return QMe_CMD_UNKNOWN_COMMAND;
  QmResult rc = made->SetArgumentText(0, file);
  if (!QmFailed(rc) && !args.empty()) rc = made->SetArgumentText(1, args);
  if (QmFailed(rc)) return rc;
  return made->QueryInterface(&IID_IQmCommand, command);
}

QmResult CommandService::cmds_QueryArgString(void* command, uint32_t alertFlags, const char* text,
                                             void** values, uint32_t* queryIndex,
                                             int32_t includesName) {
  if (values == nullptr || queryIndex == nullptr) return QMe_INVALIDARG;
  *values = nullptr;
  Ref<Command> target = HostCast<Command, IQmCommand>(command);
  if (!target || text == nullptr) return QMe_INVALIDARG;
  const char* args = text;
  if (includesName != 0 && NameAt(text, &args) != target->Def().name) return QMe_INVALIDARG;
  QmResult rc = target->ParseArguments(args);
  if (QmFailed(rc)) {
    target->AlertFailure(alertFlags);
    return rc;
  }
  int query = target->QueryIndex();
  if (query < 0) return QMe_CMD_NO_QUERY_MARKED;
  std::vector<Value> found;
  rc = target->RunQuery(static_cast<size_t>(query), &found);
  if (QmFailed(rc)) return rc;
  Ref<ValueArray> array = ValueArray::Make(target->Def().args[static_cast<size_t>(query)].type);
  rc = AddValues(array->Face(), array->Type().kind, found, QMe_CMD_QUERY_MISMATCHED_DATATYPES);
  if (QmFailed(rc)) return rc;
  *queryIndex = static_cast<uint32_t>(query);
  return array->QueryInterface(&IID_IQmValueArray, values);
}

QmResult CommandService::cmds_ParseArgString(void* command, uint32_t alertFlags, const char* text) {
  Ref<Command> target = HostCast<Command, IQmCommand>(command);
  if (!target) return QMe_INVALIDARG;
  QmResult rc = target->ParseArguments(text != nullptr ? text : "");
  if (QmFailed(rc)) target->AlertFailure(alertFlags);
  return rc;
}

QmResult CommandService::cmds_ParseAttribObject(void* command, uint32_t alertFlags,
                                                void* attributes) {
  Ref<Command> target = HostCast<Command, IQmCommand>(command);
  if (!target) return QMe_INVALIDARG;
  QmResult rc = target->ParseAttributes(attributes);
  if (QmFailed(rc)) target->AlertFailure(alertFlags);
  return rc;
}

QmResult CommandService::cmds_GetToggleArgState(void* command, int32_t* state, void* value) {
  Ref<Command> target = HostCast<Command, IQmCommand>(command);
  if (!target) return QMe_INVALIDARG;
  return target->ToggleState(value, state);
}

QmResult CommandService::cmds_CreateQueryObject(const char* typeName, void** values) {
  if (typeName == nullptr || values == nullptr) return QMe_INVALIDARG;
  *values = nullptr;
  Ref<ValueArray> array = ValueArray::Make(typeName);
  if (!array) return QMe_NOTFOUND;
  return array->QueryInterface(&IID_IQmValueArray, values);
}

}  // namespace qmhost

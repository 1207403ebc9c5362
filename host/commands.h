// The host's command system: command strings, the commands themselves, and
// the command service that spawns, parses, queries and runs them.
//
// A command string is
//
//     [FLAGS] NAME [ARGUMENT ...]
//
// FLAGS is a run of prefix characters (blanks may separate them):
//
//     !   kCmdQuiet    a failure is not alerted (no error entry in the
//                      "host" event log)
//     +   kCmdUndo     the change is recorded for undo, also for commands
//                      whose changes are not recorded by default (the
//                      selection, the selection mode, the detail level);
//                      clears kCmdNoUndo
//     -   kCmdNoUndo   the change is not recorded for undo; clears kCmdUndo
//
// Each ARGUMENT is a value, given to the next argument in the command's
// order that has none yet, or NAME:VALUE.  A value with blanks in it, or
// one that would read as NAME:VALUE, goes in double quotes, inside which
// \" and \\ stand for " and \.  An unquoted value "?" marks its argument as
// the one to query (only queryable arguments, and one at a time).
//
// Every parse starts from a command whose arguments are all unset.  A
// parse fails with
//
//     QMe_CMD_UNKNOWN_ARGUMENT         NAME is not one of the command's
//     QMe_CMD_ARGUMENT_ALREADY_SET     an argument is given twice
//     QMe_CMD_TOO_MANY_ARGUMENTS       more values than arguments
//     QMe_CMD_TOO_MANY_QUERIES_MARKED  a second "?"
//     QMe_CMD_ARGUMENT_NOT_QUERYABLE   "?" on an argument with no query
//     QMe_CMD_ERROR_SETTING_DATATYPE   a value that is not of the
//                                      argument's type (values.h)
//     QMe_CMD_ERROR_ARG_MISSING_VALUE  NAME: with nothing after it
//     QMe_CMD_UNBALANCED_BRACES        a quote that is not closed
//
// and leaves the code and a text in the command's message, and (unless
// the alert flags hold kCmdQuiet) an error entry in the "host" event log.
//
// "@FILE ARGS" is an implicit script: it spawns script.run with FILE and
// the rest of the text as its arguments (see command_table.cpp for the
// commands).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/context.h"
#include "host/messages.h"
#include "host/object.h"
#include "host/values.h"
#include "qm_impl_command.h"
#include "qm_impl_value.h"

namespace qmhost {

// Execution flags.  Other bits are kept and ignored.
inline constexpr uint32_t kCmdQuiet = 0x01;
inline constexpr uint32_t kCmdUndo = 0x02;
inline constexpr uint32_t kCmdNoUndo = 0x04;

// Command flags (IQmCommand Flags).
inline constexpr uint32_t kCmdFlagUndoable = 0x01;  // changes are recorded for undo by default
inline constexpr uint32_t kCmdFlagToggle = 0x02;    // has a toggle argument

// Argument flags (IQmCommand ArgFlags).  kArgOptional and kArgQueryable
// describe the argument; kArgHasValue and kArgQueried its state in the
// spawned command.
inline constexpr uint32_t kArgOptional = 0x01;
inline constexpr uint32_t kArgQueryable = 0x02;
inline constexpr uint32_t kArgHasValue = 0x04;
inline constexpr uint32_t kArgQueried = 0x08;

// The query index SpawnFromString reports when no argument is marked.
inline constexpr uint32_t kNoQueryIndex = 0xFFFFFFFFU;

// Tags are kFirstCommandTag + the command's index in HostCommands().
inline constexpr uint32_t kFirstCommandTag = 0x1000;

struct ArgDef {
  const char* name;
  const char* type;  // a value type name (values.h)
  uint32_t flags;    // kArgOptional, kArgQueryable
  const char* userName;
  const char* desc;
  const QmTextValueHint* hints = nullptr;  // names of integer values
};

class CommandRun;

struct CommandDef {
  const char* name;
  const char* userName;
  const char* desc;
  const char* example;
  uint32_t flags;  // kCmdFlag...
  std::vector<ArgDef> args = {};
  // The argument GetToggleArgState compares with its queried value, or -1.
  int toggle = -1;
  // Whether the command can run now; when it cannot, this has called
  // Fail (normally with QMe_CMD_DISABLED).  Null: always.
  std::function<bool(CommandRun&)> enable = {};
  // Does the work; reports a failure with Fail.
  std::function<void(CommandRun&)> execute = {};
  // The current values of a queryable argument, of that argument's kind.
  std::function<QmResult(CommandRun&, size_t arg, std::vector<Value>*)> query = {};
};

// The commands this host offers itself, in tag order.
const std::vector<CommandDef>& HostCommands();

// The commands an application offers: the host's own, then those added
// while it runs (the commands of Python servers).  A command's tag is
// kFirstCommandTag + its index in that order.
class CommandTable {
 public:
  // The command of that name, or null.  A name not known yet first gives
  // the refresh step a chance to add it.
  const CommandDef* Find(const std::string& name, uint32_t* tag);
  const CommandDef* ByTag(uint32_t tag);
  // Every command's name, in tag order (after a refresh).
  std::vector<std::string> Names();
  // Adds a command whose name is not taken; false when it is.  The
  // definition lives as long as the table.
  bool Add(std::shared_ptr<const CommandDef> def);
  // What adds the commands that appeared since the last look.
  void SetRefresh(std::function<void()> refresh) { refresh_ = std::move(refresh); }

 private:
  const CommandDef* FindLocked(const std::string& name, uint32_t* tag);
  void Refresh();

  std::mutex lock_;
  std::vector<std::shared_ptr<const CommandDef>> added_;
  std::function<void()> refresh_;
};

// One use of a command's definition: its argument values, the context and
// the message the outcome goes to.
class CommandRun {
 public:
  CommandRun(const CommandDef& def, std::vector<std::optional<Value>> values, HostContext& context,
             uint32_t flags, void* message);

  const CommandDef& Def() const { return def_; }
  HostContext& Context() { return context_; }
  Scene& GetScene() { return context_.GetScene(); }
  uint32_t Flags() const { return flags_; }

  bool Has(size_t arg) const;
  int32_t Int(size_t arg, int32_t fallback = 0) const;
  double Float(size_t arg, double fallback = 0.0) const;
  std::string String(size_t arg, const std::string& fallback = std::string()) const;
  // The value's text form, whatever its type (empty when unset).
  std::string Text(size_t arg) const;

  // Whether scene changes made now are recorded for undo.
  bool Recorded() const;
  // Changes the scene under the command's name (Scene::Change).
  template <class F>
  bool Change(F&& change) {
    return GetScene().Change(def_.name, Recorded(), change);
  }

  // Sets the outcome: the code and a text of the "commands" table with its
  // arguments.  Without a text, the result code's own text.
  void Fail(QmResult code, CommandText text, std::initializer_list<std::string> args = {});
  void Fail(QmResult code);
  // Sets the outcome's code and leaves its text as it is.
  void SetCode(QmResult code);
  QmResult Code() const { return code_; }
  // The message the outcome goes to (IQmMessage), or null.
  void* MessageObject() { return message_; }

 private:
  const CommandDef& def_;
  std::vector<std::optional<Value>> values_;
  HostContext& context_;
  uint32_t flags_;
  IQmMessage* message_;  // may be null
  QmResult code_ = QMe_OK;
};

// A spawned command: IQmCommand, and IQmAttributes over its arguments
// (GetString and SetString take the text form of every type; GetInt and
// SetInt only integer kinds, GetFlt and SetFlt only float kinds; reading
// an unset argument gives QMe_CMD_ERROR_ARG_MISSING_VALUE).
class Command : public HostObject, public CQmImpl_Command, public CQmImpl_Attributes {
 public:
  Command(const CommandDef& def, uint32_t tag, std::shared_ptr<HostContext> context);

  // IQmCommand
  QmResult cmd_Tag(uint32_t* tag) override;
  QmResult cmd_Name(const char** name) override;
  QmResult cmd_UserName(const char** name) override;
  QmResult cmd_ButtonName(const char** name) override;
  QmResult cmd_Desc(const char** desc) override;
  QmResult cmd_Tooltip(const char** tip) override;
  QmResult cmd_Example(const char** example) override;
  QmResult cmd_Flags(uint32_t* flags) override;
  QmResult cmd_Message(void** message) override;
  QmResult cmd_Enable(void* message) override;
  void cmd_Execute(uint32_t flags) override;
  QmResult cmd_ToggleArg(int32_t* index, void** value, int32_t* typeIndex,
                         const char** typeName) override;
  QmResult cmd_ArgFlags(uint32_t index, uint32_t* flags) override;
  QmResult cmd_ArgClear(uint32_t index) override;
  QmResult cmd_ArgResetAll() override;
  QmResult cmd_ArgSetDatatypes() override;
  QmResult cmd_ArgUserName(uint32_t index, const char** name) override;
  QmResult cmd_ArgDesc(uint32_t index, const char** desc) override;
  QmResult cmd_ArgType(uint32_t index, const char** type) override;
  QmResult cmd_ArgTypeUserName(uint32_t index, const char** name) override;
  QmResult cmd_ArgOptionUserName(uint32_t index, uint32_t option, const char** name) override;
  QmResult cmd_ArgEnable(uint32_t index) override;
  QmResult cmd_ArgParseString(uint32_t index, const char* text) override;
  QmResult cmd_Copy(void* source) override;
  QmResult cmd_Query(uint32_t index, void* values) override;

  // IQmAttributes
  uint32_t attr_Count() override;
  QmResult attr_Name(uint32_t index, const char** name) override;
  QmResult attr_Lookup(const char* name, uint32_t* index) override;
  QmResult attr_Type(uint32_t index, uint32_t* type) override;
  QmResult attr_TypeName(uint32_t index, const char** type) override;
  const QmTextValueHint* attr_Hints(uint32_t index) override;
  QmResult attr_Value(uint32_t index, int32_t writeable, void** value) override;
  QmResult attr_GetInt(uint32_t index, int32_t* value) override;
  QmResult attr_SetInt(uint32_t index, int32_t value) override;
  QmResult attr_GetFlt(uint32_t index, double* value) override;
  QmResult attr_SetFlt(uint32_t index, double value) override;
  QmResult attr_GetString(uint32_t index, char* text, uint32_t length) override;
  QmResult attr_SetString(uint32_t index, const char* value) override;

  const CommandDef& Def() const { return def_; }

  // Replaces every argument with those read from `text` (arguments only,
  // no command name).  On a failure the arguments stay unset and the
  // message explains.
  QmResult ParseArguments(const std::string& text);
  // Replaces every argument with those of an attributes object: each
  // name's value as text (GetString).  An attribute whose GetString answers
  // QMe_CMD_ERROR_ARG_MISSING_VALUE, as an unset argument of another
  // command does, is skipped.
  QmResult ParseAttributes(void* attributes);
  // Sets one argument from its text (kept unset on a failure, which the
  // message explains).
  QmResult SetArgumentText(size_t index, const std::string& text);
  // The argument marked with "?", or -1.
  int QueryIndex();
  // The current values of a queryable argument.
  QmResult RunQuery(size_t index, std::vector<Value>* out);
  // 1 when the toggle argument's value (or the first value of `value`, a
  // value array, when given) is the current one, else 0.
  QmResult ToggleState(void* value, int32_t* state);
  // Adds the message to the event log when it holds a failure, unless
  // `flags` hold kCmdQuiet.
  void AlertFailure(uint32_t flags);

  Ref<Message> GetMessage() { return message_; }
  void* CommandFace() { return command_.get(); }
  void* AttributesFace() { return attributes_.get(); }

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  using Values = std::vector<std::optional<Value>>;

  // Sets the message to a failure and answers its code.
  QmResult Report(QmResult code, CommandText text, std::initializer_list<std::string> args);
  QmResult Assign(Values* values, size_t index, const std::string& text);
  Values Snapshot();
  const ArgDef* Arg(uint32_t index) const;
  // Reads an argument of `kind` for GetInt / GetFlt.
  QmResult Get(uint32_t index, ValueKind kind, Value* out);
  QmResult Set(uint32_t index, Value value);

  HostFace<IQmCommand> command_{this};
  HostFace<IQmAttributes> attributes_{this};
  const CommandDef& def_;
  const uint32_t tag_;
  std::shared_ptr<HostContext> context_;
  Ref<Message> message_;
  std::mutex lock_;
  Values values_;
  int query_ = -1;
};

class CommandService : public HostObject, public CQmImpl_CommandService {
 public:
  explicit CommandService(std::shared_ptr<HostContext> context);

  // A script query over the commands:
  //   command.names     string   every command's name, in tag order
  // and, for the command selected with Select("command", name):
  //   command.name, command.username, command.desc, command.example
  //                     string
  //   command.args      string   its arguments' names
  //   command.argTypes  string   their type names
  QmResult cmds_ScriptQuery(void** query) override;
  // A command's tag (QMe_CMD_UNKNOWN_COMMAND for an unknown name).
  QmResult cmds_Lookup(const char* name, uint32_t* tag) override;
  // By tag, or with tag 0 by the name at the start of `name` (what follows
  // the name is ignored).
  QmResult cmds_Spawn(uint32_t tag, const char* name, void** command) override;
  // Prefix flags (merged into `flags`), the name and the arguments; the
  // marked argument's index, or kNoQueryIndex.
  QmResult cmds_SpawnFromString(const char* text, uint32_t* flags, uint32_t* queryIndex,
                                void** command) override;
  // `rest` points into `text`, past the prefix flags and the blanks
  // around them.
  QmResult cmds_ProcessStringFlags(uint32_t flags, const char* text, uint32_t* newFlags,
                                   const char** rest) override;
  // QMe_OK for "@FILE ...", QMe_FAILED for any other text.
  QmResult cmds_IsImplicitScript(const char* text) override;
  QmResult cmds_SpawnImplicitScript(const char* text, void** command) override;
  // Parses the arguments (after the command's name when `includesName`)
  // and fills a new value array with the marked argument's query;
  // QMe_CMD_NO_QUERY_MARKED when no argument is marked.
  QmResult cmds_QueryArgString(void* command, uint32_t alertFlags, const char* text, void** values,
                               uint32_t* queryIndex, int32_t includesName) override;
  QmResult cmds_ParseArgString(void* command, uint32_t alertFlags, const char* text) override;
  QmResult cmds_ParseAttribObject(void* command, uint32_t alertFlags, void* attributes) override;
  // `value` null: the command's own toggle argument.
  QmResult cmds_GetToggleArgState(void* command, int32_t* state, void* value) override;
  // An empty value array of a type the host knows (values.h).
  QmResult cmds_CreateQueryObject(const char* typeName, void** values) override;

  // Host side: a new command by name, null for an unknown one.
  Ref<Command> Spawn(const std::string& name);

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  HostFace<IQmCommandService> face_{this};
  std::shared_ptr<HostContext> context_;
};

}  // namespace qmhost

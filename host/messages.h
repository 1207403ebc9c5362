// Messages: a result code plus a reference to a text in one of the host's
// message tables, with arguments for the text's placeholders %1, %2, ...
//
// The host's tables:
//   "pythonintr"  texts the Python plug-in reports script endings with;
//   "qmresult"    one text per result code, keyed by the code's value;
//   "commands"    texts the host's commands explain their failures with
//                 (CommandText).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "host/object.h"
#include "qm_impl_log.h"
#include "qm_impl_message.h"

namespace qmhost {

// Ids of the "commands" table.
enum CommandText : uint32_t {
  kTextUnknownArgument = 1,  // %1 has no argument "%2".
  kTextArgumentTwice,        // Argument "%1" of %2 is given more than once.
  kTextTooManyArguments,     // Too many arguments for %1: it takes %2.
  kTextTooManyQueries,       // Only one argument of %1 can be queried at a time.
  kTextNotQueryable,         // Argument "%1" of %2 cannot be queried.
  kTextBadValue,             // "%1" is not a valid %2 for argument "%3" of %4.
  kTextMissingValue,         // Argument "%1" of %2 has no value after its colon.
  kTextUnclosedQuote,        // A quote in the arguments of %1 is not closed.
  kTextMissingArgument,      // %1 needs a value for argument "%2".
  kTextUnreadableArguments,  // The argument values given to %1 could not be read.
  kTextNoSuchItem,           // No item is named "%1".
  kTextItemExists,           // An item named "%1" already exists.
  kTextBadItemType,          // "%1" is not an item type: use mesh, light, camera or locator.
  kTextEmptyName,            // Item names cannot be empty.
  kTextSelectOne,            // Select exactly one item to rename; %1 are selected.
  kTextNothingSelected,      // %1 needs a selection, and nothing is selected.
  kTextBadMode,              // "%1" is not a selection mode: use item or edit.
  kTextBadDetail,            // Detail level %1 is out of range: use 0 to 9.
  kTextNoRenderer,           // This host has no renderer: frame %1 was not rendered.
  kTextNothingToUndo,        // There is nothing to undo.
  kTextScriptNotFound,       // Cannot find the script "%1" in the current folder or in %2.
  kTextScriptUnreadable,     // %1 (the reason, as the file system gave it)
  kTextNoInterpreter,        // No loaded plug-in runs Python scripts.
  kTextNotPython,            // %1 is not a Python script: its first line does not name python.
};

// The text of message `id` in `table`, or null when the host has none.
const std::string* HostMessageText(const std::string& table, uint32_t id);

// The name a result code is known by (the one registered last for it), or
// "unknown".
std::string ResultName(QmResult code);
// "0x80000017 NOTFOUND".
std::string ResultCodeText(QmResult code);

// Replaces %1, %2, ... in `text` with the given argument texts; a missing
// argument gives an empty text.  A '%' not followed by a digit stays.
std::string SubstituteArguments(const std::string& text,
                                const std::map<uint32_t, std::string>& arguments);

class Message : public HostObject, public CQmImpl_Message {
 public:
  Message() = default;
  ~Message() override;

  QmResult msg_Code() override;
  QmResult msg_SetCode(uint32_t code) override;
  QmResult msg_SetMessage(const char* table, const char* name, uint32_t id) override;
  QmResult msg_SetArgumentInt(uint32_t arg, int32_t value) override;
  QmResult msg_SetArgumentFloat(uint32_t arg, double value) override;
  QmResult msg_SetArgumentString(uint32_t arg, const char* value) override;
  QmResult msg_SetArgumentObject(uint32_t arg, void* value) override;
  QmResult msg_Reset() override;
  QmResult msg_Table(const char** table) override;
  QmResult msg_Name(const char** name) override;
  QmResult msg_SetMessageResult(uint32_t code) override;

  QmResult Code();
  std::string Table();
  std::string Name();
  uint32_t Id();
  // Whether a text was ever chosen (SetMessage or SetMessageResult) since
  // the message was made or last reset.
  bool WasSet();
  // The composed text: QMe_NOTFOUND when the host has no text for the
  // message's table and id.
  QmResult Text(std::string* text);
  // Back to a new message's state; object arguments are released.
  void Reset();

  // The message as the plug-in sees it (no reference added).
  void* Face() { return face_.get(); }

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  // An argument value.  An object argument holds a reference to its object;
  // when the object is one of the host's messages, `nested` points at it and
  // the argument's text is that message's text.
  struct Argument {
    enum class Kind { kInt, kFloat, kString, kObject } kind = Kind::kInt;
    int32_t i = 0;
    double f = 0.0;
    std::string s;
    void* object = nullptr;
    Message* nested = nullptr;

    Argument() = default;
    Argument(Argument&& o) noexcept;
    Argument& operator=(Argument&& o) noexcept;
    ~Argument();
  };

  QmResult SetArgument(uint32_t arg, Argument value);
  QmResult ComposeLocked(std::string* text) const;
  bool ReachesLocked(const Message* target) const;

  HostFace<IQmMessage> face_{this};
  QmResult code_ = QMe_OK;
  bool set_ = false;
  std::string table_;
  std::string name_;
  uint32_t id_ = 0;
  std::map<uint32_t, Argument> arguments_;
};

class MessageService : public HostObject, public CQmImpl_MessageService {
 public:
  QmResult msgs_ScriptQuery(void** query) override;
  QmResult msgs_Allocate(void** message) override;
  QmResult msgs_MessageText(void* message, char* text, uint32_t length) override;

  Ref<Message> NewMessage();

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  HostFace<IQmMessageService> face_{this};
};

}  // namespace qmhost

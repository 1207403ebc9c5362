// The host's command system, value arrays, value, dialog, scene and GUID
// services, driven through their function tables the way the plug-in
// drives them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "host/application.h"
#include "qm_impl_script.h"

namespace {

using qmhost::Application;
using qmhost::HostFace;
using qmhost::HostObject;
using qmhost::Ref;

struct Releaser {
  void operator()(void* p) const {
    if (p != nullptr) QmRelease(p);
  }
};
template <class I>
using Own = std::unique_ptr<I, Releaser>;

template <class I>
I* Service(Application& app) {
  void* out = nullptr;
  EXPECT_EQ(QmQueryInterface(app.Unknown(), QmInterfaceInfo<I>::guid, &out), QMe_OK);
  return static_cast<I*>(out);
}

template <class I>
Own<I> As(void* object) {
  void* out = nullptr;
  EXPECT_EQ(QmQueryInterface(object, QmInterfaceInfo<I>::guid, &out), QMe_OK);
  return Own<I>(static_cast<I*>(out));
}

// Values of an array as text, and its type name.
std::string TypeName(IQmValueArray* values) {
  const char* name = nullptr;
  EXPECT_EQ(values->vt->TypeName(values, &name), QMe_OK);
  return name != nullptr ? name : "(null)";
}
std::vector<std::string> Texts(void* values) {
  std::vector<std::string> texts;
  for (uint32_t i = 0; i < qmhost::CountValues(values); ++i) {
    qmhost::Value v;
    EXPECT_EQ(qmhost::ReadValue(values, i, &v), QMe_OK);
    texts.push_back(qmhost::FormatValue(v));
  }
  return texts;
}
using Strings = std::vector<std::string>;

class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    start_ = HostObject::LiveCount();
    app_ = Ref<Application>(new Application);
    cs_ = Service<IQmCommandService>(*app_);
    ms_ = Service<IQmMessageService>(*app_);
  }
  void TearDown() override {
    QmRelease(cs_);
    QmRelease(ms_);
    EXPECT_EQ(app_->ServiceLeaks(), "");
    app_.reset();
    EXPECT_EQ(HostObject::LiveCount(), start_);
  }

  Own<IQmCommand> Spawn(const char* text) {
    void* out = nullptr;
    EXPECT_EQ(cs_->vt->Spawn(cs_, 0, text, &out), QMe_OK) << text;
    return Own<IQmCommand>(static_cast<IQmCommand*>(out));
  }

  // The command's message: its code and text.
  std::pair<QmResult, std::string> MessageOf(IQmCommand* cmd) {
    void* m = nullptr;
    EXPECT_EQ(cmd->vt->Message(cmd, &m), QMe_OK);
    Own<IQmMessage> message(static_cast<IQmMessage*>(m));
    char text[512] = "(none)";
    ms_->vt->MessageText(ms_, message.get(), text, sizeof text);
    return {message->vt->Code(message.get()), text};
  }

  struct Outcome {
    QmResult rc;  // of the parse, or the message's code after Execute
    std::string text;
  };
  // Runs a command string as qm.eval does when nothing is queried.
  Outcome Eval(const std::string& line, uint32_t flags = 0) {
    const char* rest = nullptr;
    EXPECT_EQ(cs_->vt->ProcessStringFlags(cs_, flags, line.c_str(), &flags, &rest), QMe_OK);
    void* out = nullptr;
    QmResult rc = cs_->vt->Spawn(cs_, 0, rest, &out);
    if (QmFailed(rc)) return {rc, ""};
    Own<IQmCommand> cmd(static_cast<IQmCommand*>(out));
    const char* blank = std::strchr(rest, ' ');
    rc = cs_->vt->ParseArgString(cs_, cmd.get(), flags, blank != nullptr ? blank : "");
    if (QmFailed(rc)) return {rc, MessageOf(cmd.get()).second};
    cmd->vt->Execute(cmd.get(), flags);
    auto message = MessageOf(cmd.get());
    return {message.first, message.second};
  }
  void Ok(const std::string& line) {
    Outcome o = Eval(line);
    EXPECT_EQ(o.rc, QMe_OK) << line << ": " << o.text;
  }

  struct Answer {
    QmResult rc;
    std::string type;
    Strings values;
    uint32_t index;
  };
  // Queries as qm.eval does: the line includes the command's name.
  Answer Query(const std::string& line) {
    Own<IQmCommand> cmd = Spawn(line.c_str());
    void* out = nullptr;
    uint32_t index = 99;
    QmResult rc = cs_->vt->QueryArgString(cs_, cmd.get(), 0, line.c_str(), &out, &index, 1);
    Own<IQmValueArray> values(static_cast<IQmValueArray*>(out));
    if (QmFailed(rc) || rc == QMe_CMD_NO_QUERY_MARKED) {
      EXPECT_EQ(out, nullptr);
      return {rc, "", {}, index};
    }
    return {rc, TypeName(values.get()), Texts(values.get()), index};
  }

  Strings HostAlerts() {
    Strings titles;
    for (const auto& entry : app_->Logs().Subsystem("host")->Entries()) {
      titles.push_back(entry->Title());
    }
    return titles;
  }

  long start_ = 0;
  Ref<Application> app_;
  IQmCommandService* cs_ = nullptr;
  IQmMessageService* ms_ = nullptr;
};

// --- Command strings ------------------------------------------------------------------------

TEST_F(CommandsTest, PrefixFlagsBecomeBitsAndTheRestIsLeft) {
  uint32_t flags = 0;
  const char* rest = nullptr;
  const char* text = " ! -  +item.create mesh";
  ASSERT_EQ(cs_->vt->ProcessStringFlags(cs_, 0x100, text, &flags, &rest), QMe_OK);
  EXPECT_EQ(flags, 0x100U | qmhost::kCmdQuiet | qmhost::kCmdUndo);  // "+" cleared "-"
  EXPECT_EQ(rest, text + 7);
  ASSERT_EQ(cs_->vt->ProcessStringFlags(cs_, qmhost::kCmdUndo, "-x", &flags, &rest), QMe_OK);
  EXPECT_EQ(flags, qmhost::kCmdNoUndo);
  EXPECT_STREQ(rest, "x");
  EXPECT_EQ(cs_->vt->ProcessStringFlags(cs_, 0, nullptr, &flags, &rest), QMe_INVALIDARG);
}

TEST_F(CommandsTest, CommandsAreFoundByNameAndByTag) {
  uint32_t tag = 0;
  ASSERT_EQ(cs_->vt->Lookup(cs_, "select.item", &tag), QMe_OK);
  EXPECT_NE(tag & 0xFFFF, 0U);
  EXPECT_EQ(tag & ~0xFFFFU, 0U);
  uint32_t unknown = 0;
  EXPECT_EQ(cs_->vt->Lookup(cs_, "select.items", &unknown), QMe_CMD_UNKNOWN_COMMAND);

  void* out = nullptr;
  ASSERT_EQ(cs_->vt->Spawn(cs_, tag, nullptr, &out), QMe_OK);
  Own<IQmCommand> byTag(static_cast<IQmCommand*>(out));
  Own<IQmCommand> byText = Spawn("  select.item box add:true");  // the rest is ignored
  for (IQmCommand* cmd : {byTag.get(), byText.get()}) {
    const char* name = nullptr;
    uint32_t got = 0;
    EXPECT_EQ(cmd->vt->Name(cmd, &name), QMe_OK);
    EXPECT_STREQ(name, "select.item");
    EXPECT_EQ(cmd->vt->Tag(cmd, &got), QMe_OK);
    EXPECT_EQ(got, tag);
  }
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(cs_->vt->Spawn(cs_, 0, "nothing.here", &out), QMe_CMD_UNKNOWN_COMMAND);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(cs_->vt->Spawn(cs_, 0xFFFF, nullptr, &out), QMe_CMD_UNKNOWN_COMMAND);
  EXPECT_EQ(QmRelease(byText.release()), 0U);
}

TEST_F(CommandsTest, ArgumentsArePositionalOrNamedAndMayBeQuoted) {
  Own<IQmCommand> cmd = Spawn("item.create");
  Own<IQmAttributes> args = As<IQmAttributes>(cmd.get());
  auto text = [&](uint32_t i) {
    char buf[64] = "(untouched)";
    QmResult rc = args->vt->GetString(args.get(), i, buf, sizeof buf);
    return rc == QMe_OK ? std::string(buf) : "rc " + qmhost::ResultCodeText(rc);
  };
  ASSERT_EQ(cs_->vt->ParseArgString(cs_, cmd.get(), 0, R"( mesh "big box")"), QMe_OK);
  EXPECT_EQ(text(0), "mesh");
  EXPECT_EQ(text(1), "big box");
  ASSERT_EQ(cs_->vt->ParseArgString(cs_, cmd.get(), 0, R"(name:"say \"hi\" \\o/" light)"), QMe_OK);
  EXPECT_EQ(text(0), "light");  // the first argument without a value
  EXPECT_EQ(text(1), R"(say "hi" \o/)");
  ASSERT_EQ(cs_->vt->ParseArgString(cs_, cmd.get(), 0, "camera"), QMe_OK);  // starts afresh
  EXPECT_EQ(text(1), "rc 0x84800015 CMD_ERROR_ARG_MISSING_VALUE");
  int32_t i = 0;
  EXPECT_EQ(args->vt->GetInt(args.get(), 0, &i), QMe_INVALIDARG);  // a string argument
  EXPECT_EQ(args->vt->GetString(args.get(), 2, nullptr, 0), QMe_OUTOFBOUNDS);

  Own<IQmCommand> move = Spawn("item.move");
  Own<IQmAttributes> axes = As<IQmAttributes>(move.get());
  ASSERT_EQ(cs_->vt->ParseArgString(cs_, move.get(), 0, "z:2mm 1.5 50cm"), QMe_OK);
  double x = 0, y = 0, z = 0;
  EXPECT_EQ(axes->vt->GetFlt(axes.get(), 0, &x), QMe_OK);
  EXPECT_EQ(axes->vt->GetFlt(axes.get(), 1, &y), QMe_OK);
  EXPECT_EQ(axes->vt->GetFlt(axes.get(), 2, &z), QMe_OK);
  EXPECT_DOUBLE_EQ(x, 1.5);
  EXPECT_DOUBLE_EQ(y, 0.5);
  EXPECT_DOUBLE_EQ(z, 0.002);
  uint32_t type = 0;
  const char* typeName = nullptr;
  EXPECT_EQ(axes->vt->Type(axes.get(), 1, &type), QMe_OK);
  EXPECT_EQ(axes->vt->TypeName(axes.get(), 1, &typeName), QMe_OK);
  EXPECT_EQ(type, 2U);
  EXPECT_STREQ(typeName, "distance");
}

TEST_F(CommandsTest, BadArgumentsFailWithACodeAndAText) {
  struct Case {
    const char* line;
    QmResult rc;
    const char* text;
  } const cases[] = {
      {"item.create mesh colour:red", QMe_CMD_UNKNOWN_ARGUMENT,
       "item.create has no argument \"colour\"."},
      {"item.create mesh type:light", QMe_CMD_ARGUMENT_ALREADY_SET,
       "Argument \"type\" of item.create is given more than once."},
      {"item.create mesh box extra", QMe_CMD_TOO_MANY_ARGUMENTS,
       "Too many arguments for item.create: it takes 2 arguments."},
      {"item.move ? ?", QMe_CMD_TOO_MANY_QUERIES_MARKED,
       "Only one argument of item.move can be queried at a time."},
      {"item.create ?", QMe_CMD_ARGUMENT_NOT_QUERYABLE,
       "Argument \"type\" of item.create cannot be queried."},
      {"item.move 3parsecs", QMe_CMD_ERROR_SETTING_DATATYPE,
       "\"3parsecs\" is not a valid distance for argument \"x\" of item.move."},
      {"select.item box add:maybe", QMe_CMD_ERROR_SETTING_DATATYPE, nullptr},
      {"select.item name: box", QMe_CMD_ERROR_ARG_MISSING_VALUE,
       "Argument \"name\" of select.item has no value after its colon."},
      {"select.item \"box", QMe_CMD_UNBALANCED_BRACES,
       "A quote in the arguments of select.item is not closed."},
  };
  for (const Case& c : cases) {
    Outcome o = Eval(c.line);
    EXPECT_EQ(o.rc, c.rc) << c.line;
    if (c.text != nullptr) {
      EXPECT_EQ(o.text, c.text) << c.line;
    }
  }
  // Each failure was alerted in the host's log, except when quiet.
  EXPECT_EQ(HostAlerts().size(), std::size(cases));
  EXPECT_EQ(HostAlerts()[0], "item.create: item.create has no argument \"colour\".");
  EXPECT_EQ(Eval("!item.create mesh colour:red").rc, QMe_CMD_UNKNOWN_ARGUMENT);
  EXPECT_EQ(HostAlerts().size(), std::size(cases));
}

// --- Execution and queries ------------------------------------------------------------------

TEST_F(CommandsTest, ExecuteChangesTheSceneAndReportsInTheMessage) {
  void* m = nullptr;
  ASSERT_EQ(ms_->vt->Allocate(ms_, &m), QMe_OK);
  Own<IQmMessage> why(static_cast<IQmMessage*>(m));
  Own<IQmCommand> rename = Spawn("item.rename");
  EXPECT_EQ(rename->vt->Enable(rename.get(), why.get()), QMe_CMD_DISABLED);
  char text[128] = "";
  ASSERT_EQ(ms_->vt->MessageText(ms_, why.get(), text, sizeof text), QMe_OK);
  EXPECT_STREQ(text, "Select exactly one item to rename; 0 are selected.");
  Ok("item.create mesh box");
  Ok("item.create light");
  Ok("item.create camera \"main camera\"");
  Outcome o = Eval("item.create mesh box");
  EXPECT_EQ(o.rc, QMe_ALREADYEXISTS);
  EXPECT_EQ(o.text, "An item named \"box\" already exists.");
  EXPECT_EQ(Eval("item.create teapot").text,
            "\"teapot\" is not an item type: use mesh, light, camera or locator.");
  EXPECT_EQ(Eval("item.create").rc, QMe_CMD_MISSING_ARGS);

  Ok("select.item box");
  Ok("select.item light1 add:yes");
  Ok("item.move 1 y:-2 z:3");
  Ok("item.rotate 90deg");
  EXPECT_EQ(Eval("item.rename lamp").rc, QMe_CMD_DISABLED);  // two selected
  Ok("select.item light1");
  EXPECT_EQ(rename->vt->Enable(rename.get(), nullptr), QMe_OK);
  Ok("item.rename lamp");
  EXPECT_EQ(Eval("item.rename \"main camera\"").rc, QMe_ALREADYEXISTS);

  qmhost::SceneState s = app_->GetScene().Snapshot();
  ASSERT_EQ(s.items.size(), 3U);
  EXPECT_EQ(s.items[1].name, "lamp");
  EXPECT_EQ(s.items[1].type, "light");
  EXPECT_DOUBLE_EQ(s.items[1].position[1], -2.0);
  EXPECT_DOUBLE_EQ(s.items[0].rotation, 3.14159265358979323846 / 2);
  EXPECT_EQ(s.items[2].position[0], 0.0);  // not selected when moved

  Outcome render = Eval("render.frame 12");
  EXPECT_EQ(render.rc, QMe_NOTAVAILABLE);
  EXPECT_EQ(render.text, "This host has no renderer: frame 12 was not rendered.");
  EXPECT_EQ(HostAlerts().back(), "render.frame: " + render.text);
  size_t alerts = HostAlerts().size();
  EXPECT_EQ(Eval("!render.frame").rc, QMe_NOTAVAILABLE);
  EXPECT_EQ(HostAlerts().size(), alerts);
}

TEST_F(CommandsTest, QueriesFillValueArraysOfTheArgumentsType) {
  Answer none = Query("select.item ?");
  EXPECT_EQ(none.rc, QMe_OK);
  EXPECT_EQ(none.type, "string");
  EXPECT_EQ(none.values, Strings{});
  EXPECT_EQ(none.index, 0U);

  Ok("item.create mesh a");
  Ok("item.create light b");
  Ok("item.create light c");
  Ok("select.item c");
  Ok("select.item a add:1");
  Ok("item.move 0 2.5");
  Ok("item.rotate 0.25");
  EXPECT_EQ(Query("select.item ?").values, (Strings{"c", "a"}));
  Answer y = Query("item.move y:?");
  EXPECT_EQ(y.type, "distance");
  EXPECT_EQ(y.values, (Strings{"2.5", "2.5"}));
  EXPECT_EQ(y.index, 1U);
  EXPECT_EQ(Query("item.rotate ?").type, "angle");
  Answer count = Query("scene.count ?");
  EXPECT_EQ(count.type, "integer");
  EXPECT_EQ(count.values, Strings{"3"});
  EXPECT_EQ(Query("scene.count type:light count:?").values, Strings{"2"});

  EXPECT_EQ(Query("item.move 1").rc, QMe_CMD_NO_QUERY_MARKED);
  EXPECT_EQ(Query("item.move x:? y:?").rc, QMe_CMD_TOO_MANY_QUERIES_MARKED);
  EXPECT_EQ(Query("scene.count ? teapot").rc, QMe_INVALIDARG);

  // The text must start with the command's name when it says so.
  Own<IQmCommand> cmd = Spawn("select.item");
  void* out = nullptr;
  uint32_t index = 0;
  EXPECT_EQ(cs_->vt->QueryArgString(cs_, cmd.get(), 0, "item.move ?", &out, &index, 1),
            QMe_INVALIDARG);
  ASSERT_EQ(cs_->vt->QueryArgString(cs_, cmd.get(), 0, " ?", &out, &index, 0), QMe_OK);
  Own<IQmValueArray> values(static_cast<IQmValueArray*>(out));
  EXPECT_EQ(values->vt->Count(values.get()), 2U);

  // The command's own Query adds to an array, which must be of the right kind.
  ASSERT_EQ(cmd->vt->Query(cmd.get(), 0, values.get()), QMe_OK);
  EXPECT_EQ(Texts(values.get()), (Strings{"c", "a", "c", "a"}));
  Own<IQmCommand> move = Spawn("item.move");
  EXPECT_EQ(move->vt->Query(move.get(), 0, values.get()), QMe_CMD_QUERY_MISMATCHED_DATATYPES);
  EXPECT_EQ(move->vt->Query(move.get(), 3, values.get()), QMe_OUTOFBOUNDS);
}

TEST_F(CommandsTest, IntegerHintsNameValuesAndOthersHaveNoChoices) {
  IQmValueService* vs = Service<IQmValueService>(*app_);
  Answer level = Query("view.detail ?");
  EXPECT_EQ(level.type, "integer");
  EXPECT_EQ(level.values, Strings{"1"});
  Own<IQmCommand> cmd = Spawn("view.detail");
  Own<IQmAttributes> attrs = As<IQmAttributes>(cmd.get());
  const QmTextValueHint* hints = attrs->vt->Hints(attrs.get(), level.index);
  ASSERT_NE(hints, nullptr);
  EXPECT_EQ(attrs->vt->Hints(attrs.get(), 1), nullptr);  // no such argument

  char text[16] = "";
  EXPECT_EQ(vs->vt->TextHintEncode(vs, 1, hints, text, sizeof text), QMe_OK);
  EXPECT_STREQ(text, "medium");
  Ok("view.detail high");  // a hint's name is read as its value
  EXPECT_EQ(Query("view.detail ?").values, Strings{"2"});
  Ok("view.detail 7");
  EXPECT_EQ(vs->vt->TextHintEncode(vs, 7, hints, text, sizeof text), QMe_OK_NO_CHOICES);
  EXPECT_STREQ(text, "7");
  EXPECT_EQ(vs->vt->TextHintEncode(vs, 0, nullptr, text, sizeof text), QMe_OK_NO_CHOICES);
  EXPECT_EQ(vs->vt->TextHintEncode(vs, 2, hints, text, 4), QMe_SHORTBUFFER);  // "high"
  EXPECT_STREQ(text, "");
  EXPECT_EQ(vs->vt->TextHintEncode(vs, 2, hints, nullptr, 4), QMe_INVALIDARG);
  EXPECT_EQ(Eval("view.detail 10").text, "Detail level 10 is out of range: use 0 to 9.");
  const char* option = nullptr;
  EXPECT_EQ(cmd->vt->ArgOptionUserName(cmd.get(), 0, 2, &option), QMe_OK);
  EXPECT_STREQ(option, "high");
  EXPECT_EQ(cmd->vt->ArgOptionUserName(cmd.get(), 0, 3, &option), QMe_OUTOFBOUNDS);
  QmRelease(vs);
}

TEST_F(CommandsTest, TogglesCompareTheirArgumentWithTheCurrentValue) {
  auto state = [&](const char* line, uint32_t* flags = nullptr) {
    uint32_t f = 0, index = 0;
    void* out = nullptr;
    EXPECT_EQ(cs_->vt->SpawnFromString(cs_, line, flags != nullptr ? flags : &f, &index, &out),
              QMe_OK)
        << line;
    EXPECT_EQ(index, qmhost::kNoQueryIndex);
    Own<IQmCommand> cmd(static_cast<IQmCommand*>(out));
    int32_t s = -1;
    EXPECT_EQ(cs_->vt->GetToggleArgState(cs_, cmd.get(), &s, nullptr), QMe_OK) << line;
    return s;
  };
  EXPECT_EQ(state("select.mode item"), 1);
  EXPECT_EQ(state("select.mode edit"), 0);
  Ok("select.mode edit");
  uint32_t flags = 0x40;
  EXPECT_EQ(state("!select.mode edit", &flags), 1);
  EXPECT_EQ(flags, 0x40U | qmhost::kCmdQuiet);
  EXPECT_EQ(state("view.detail medium"), 1);
  EXPECT_EQ(state("view.detail 2"), 0);

  // A value array stands in for the argument; a text names a hinted value.
  Own<IQmCommand> detail = Spawn("view.detail");
  Ref<qmhost::ValueArray> given = qmhost::ValueArray::Make("string");
  given->va_AddString("medium");
  int32_t s = -1;
  EXPECT_EQ(cs_->vt->GetToggleArgState(cs_, detail.get(), &s, given->Face()), QMe_OK);
  EXPECT_EQ(s, 1);
  EXPECT_EQ(cs_->vt->GetToggleArgState(cs_, detail.get(), &s, nullptr),
            QMe_CMD_ERROR_ARG_MISSING_VALUE);
  Own<IQmCommand> create = Spawn("item.create");
  EXPECT_EQ(cs_->vt->GetToggleArgState(cs_, create.get(), &s, nullptr), QMe_NOTIMPL);

  uint32_t index = 0;
  void* out = nullptr;
  flags = 0;
  ASSERT_EQ(cs_->vt->SpawnFromString(cs_, "scene.count ?", &flags, &index, &out), QMe_OK);
  EXPECT_EQ(index, 0U);
  QmRelease(out);
  EXPECT_EQ(cs_->vt->SpawnFromString(cs_, "select.mode a b", &flags, &index, &out),
            QMe_CMD_TOO_MANY_ARGUMENTS);
  EXPECT_EQ(out, nullptr);
}

// An attributes object as the plug-in makes one for qm.command: names and
// values as text; a text that does not fit is cut and reported short.
class TextAttributes : public HostObject, public CQmImpl_Attributes {
 public:
  std::vector<std::pair<std::string, std::string>> pairs;

  uint32_t attr_Count() override { return static_cast<uint32_t>(pairs.size()); }
  QmResult attr_Name(uint32_t index, const char** name) override {
    if (index >= pairs.size()) return QMe_OUTOFBOUNDS;
    *name = pairs[index].first.c_str();
    return QMe_OK;
  }
  QmResult attr_GetString(uint32_t index, char* text, uint32_t length) override {
    if (index >= pairs.size()) return QMe_OUTOFBOUNDS;
    const std::string& value = pairs[index].second;
    std::strncpy(text, value.c_str(), length - 1);
    text[length - 1] = '\0';
    return value.size() < length ? QMe_OK : QMe_SHORTBUFFER;
  }
  void* Face() { return face_.get(); }

 protected:
  void* Find(const QmGUID& iid) override {
    return iid == IID_QmBaseUnknown || iid == IID_IQmAttributes ? face_.get() : nullptr;
  }

 private:
  HostFace<IQmAttributes> face_{this};
};

TEST_F(CommandsTest, AttributeObjectsGiveArgumentsByName) {
  Ref<TextAttributes> attrs(new TextAttributes);
  std::string longName(1000, 'n');
  attrs->pairs = {{"name", longName}, {"type", "camera"}};
  Own<IQmCommand> create = Spawn("item.create");
  ASSERT_EQ(cs_->vt->ParseAttribObject(cs_, create.get(), 9, attrs->Face()), QMe_OK);
  create->vt->Execute(create.get(), 0);
  EXPECT_EQ(MessageOf(create.get()).first, QMe_OK);
  EXPECT_EQ(app_->GetScene().Snapshot().items.at(0).name, longName);

  attrs->pairs = {{"name", longName}, {"add", "True"}};
  Own<IQmCommand> select = Spawn("select.item");
  ASSERT_EQ(cs_->vt->ParseAttribObject(cs_, select.get(), 9, attrs->Face()), QMe_OK);
  int32_t add = 0;
  Own<IQmAttributes> args = As<IQmAttributes>(select.get());
  EXPECT_EQ(args->vt->GetInt(args.get(), 1, &add), QMe_OK);
  EXPECT_EQ(add, 1);

  attrs->pairs = {{"nom", "x"}};
  EXPECT_EQ(cs_->vt->ParseAttribObject(cs_, select.get(), 9, attrs->Face()),
            QMe_CMD_UNKNOWN_ARGUMENT);
  EXPECT_EQ(MessageOf(select.get()).second, "select.item has no argument \"nom\".");
  EXPECT_EQ(args->vt->GetInt(args.get(), 1, &add), QMe_CMD_ERROR_ARG_MISSING_VALUE);
  // Another command's arguments: those it has set.
  Own<IQmCommand> other = Spawn("select.item");
  ASSERT_EQ(cs_->vt->ParseArgString(cs_, other.get(), 0, "name:box"), QMe_OK);
  ASSERT_EQ(cs_->vt->ParseAttribObject(cs_, select.get(), 9, other.get()), QMe_OK);
  char name[8] = "";
  EXPECT_EQ(args->vt->GetString(args.get(), 0, name, sizeof name), QMe_OK);
  EXPECT_STREQ(name, "box");
  EXPECT_EQ(args->vt->GetInt(args.get(), 1, &add), QMe_CMD_ERROR_ARG_MISSING_VALUE);
  EXPECT_EQ(HostAlerts(), Strings{});  // 9 holds the quiet bit
  EXPECT_EQ(cs_->vt->ParseAttribObject(cs_, attrs->Face(), 0, attrs->Face()), QMe_INVALIDARG);
  EXPECT_EQ(attrs->RefCount(), 1U);
}

TEST_F(CommandsTest, UndoRecordsWhatTheFlagsAndTheCommandSay) {
  qmhost::Scene& scene = app_->GetScene();
  EXPECT_EQ(Eval("scene.undo").text, "There is nothing to undo.");
  Ok("item.create mesh a");  // recorded by default
  Ok("select.clear");        // not by default
  Ok("+select.item a");      // asked for
  Ok("-item.move 5");        // refused
  EXPECT_EQ(scene.UndoLabels(), (Strings{"item.create", "select.item"}));
  Ok("scene.undo");
  qmhost::SceneState s = scene.Snapshot();
  EXPECT_TRUE(s.selection.empty());           // as before "+select.item"
  EXPECT_EQ(s.items.at(0).position[0], 5.0);  // the move stays: it was not recorded
  Ok("scene.undo");
  EXPECT_TRUE(scene.Snapshot().items.empty());
  EXPECT_EQ(Eval("scene.undo").rc, QMe_CMD_DISABLED);
}

// --- Implicit scripts -----------------------------------------------------------------------

// A module with a script interpreter that records what it was asked to run.
class Interpreter : public HostObject, public CQmImpl_Module, public CQmImpl_TextScriptInterpreter {
 public:
  QmResult mod_Generate(const char* name, const QmGUID* iid, void** object) override {
    if (std::strcmp(name, "python") != 0) return QMe_NOTFOUND;
    return QueryInterface(iid, object);
  }
  QmResult tsi_ValidateFileType(void*, const char* firstLine) override {
    return std::strstr(firstLine, "python") != nullptr ? QMe_OK : QMe_SCRIPT_UNKNOWN;
  }
  QmResult tsi_Run(void* script, int32_t flags, const char* args, void* message) override {
    const char* name = nullptr;
    static_cast<IQmScript*>(script)->vt->UserName(script, &name);
    ran = std::string(name) + " [" + args + "] flags " + std::to_string(flags);
    auto* m = static_cast<IQmMessage*>(message);
    m->vt->SetMessage(m, "pythonintr", nullptr, 4);
    m->vt->SetArgumentString(m, 1, "done");
    return result;
  }
  void* Module() { return module_.get(); }

  std::string ran;
  QmResult result = QMe_OK;

 protected:
  void* Find(const QmGUID& iid) override {
    if (iid == IID_QmBaseUnknown || iid == IID_IQmModule) return module_.get();
    return iid == IID_IQmTextScriptInterpreter ? interpreter_.get() : nullptr;
  }

 private:
  HostFace<IQmModule> module_{this};
  HostFace<IQmTextScriptInterpreter> interpreter_{this};
};

TEST_F(CommandsTest, ImplicitScriptsRunWithTheLoadedInterpreter) {
  EXPECT_EQ(cs_->vt->IsImplicitScript(cs_, "  @tool.py a"), QMe_OK);
  for (const char* text : {"@", "@ tool.py", "tool.py", "item.create mesh"}) {
    EXPECT_TRUE(QmFailed(cs_->vt->IsImplicitScript(cs_, text))) << text;
  }
  char dir[] = "/tmp/qmhost-cmd-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string folder = dir;
  std::ofstream(folder + "/my tool.py") << "#!/usr/bin/env python\nprint 1\n";
  std::ofstream(folder + "/notes.txt") << "not a script\n";
  app_->SetScriptsDir(folder);

  auto run = [&](const char* text, uint32_t flags) {
    void* out = nullptr;
    EXPECT_EQ(cs_->vt->SpawnImplicitScript(cs_, text, &out), QMe_OK) << text;
    Own<IQmCommand> cmd(static_cast<IQmCommand*>(out));
    cmd->vt->Execute(cmd.get(), flags);
    return MessageOf(cmd.get());
  };
  auto noModule = run("@\"my tool.py\"", 0);
  EXPECT_EQ(noModule.first, QMe_NOTAVAILABLE);
  EXPECT_EQ(noModule.second, "No loaded plug-in runs Python scripts.");

  Ref<Interpreter> interpreter(new Interpreter);
  app_->SetModule(static_cast<IQmModule*>(interpreter->Module()));
  auto ok = run(R"(@"my tool.py"  one "two three" )", 0x40);
  EXPECT_EQ(interpreter->ran, R"(my tool.py [one "two three"] flags 64)");
  EXPECT_EQ(ok, std::make_pair(QMe_OK, std::string("The script ended: done")));
  interpreter->result = QMe_SCRIPT_ERROR;
  EXPECT_EQ(run("@my\\ tool.py", 0).first, QMe_NOTFOUND);  // no escapes outside quotes
  EXPECT_EQ(run("@\"my tool.py\"", 0).first, QMe_SCRIPT_ERROR);
  auto refused = run("@notes.txt", 0);
  EXPECT_EQ(refused.first, QMe_SCRIPT_UNKNOWN);
  EXPECT_NE(refused.second.find("notes.txt is not a Python script"), std::string::npos);
  app_->SetModule(nullptr);
  EXPECT_EQ(interpreter->RefCount(), 1U);
  std::system(("rm -rf '" + folder + "'").c_str());
}

// --- Value arrays ---------------------------------------------------------------------------

TEST_F(CommandsTest, ValueArraysHoldOneKindOfValue) {
  struct {
    const char* name;
    uint32_t type;
  } const types[] = {{"integer", 1},  {"boolean", 1}, {"float", 2},
                     {"distance", 2}, {"angle", 2},   {"string", 3}};
  for (const auto& t : types) {
    void* out = nullptr;
    ASSERT_EQ(cs_->vt->CreateQueryObject(cs_, t.name, &out), QMe_OK) << t.name;
    Own<IQmValueArray> values(static_cast<IQmValueArray*>(out));
    uint32_t type = 0;
    EXPECT_EQ(values->vt->Type(values.get(), &type), QMe_OK);
    EXPECT_EQ(type, t.type);
    EXPECT_EQ(TypeName(values.get()), t.name);
    EXPECT_EQ(values->vt->Count(values.get()), 0U);
  }
  void* out = reinterpret_cast<void*>(1);
  EXPECT_TRUE(QmFailed(cs_->vt->CreateQueryObject(cs_, "colour", &out)));
  EXPECT_EQ(out, nullptr);

  ASSERT_EQ(cs_->vt->CreateQueryObject(cs_, "string", &out), QMe_OK);
  Own<IQmValueArray> va(static_cast<IQmValueArray*>(out));
  EXPECT_EQ(va->vt->AddString(va.get(), "abc"), QMe_OK);
  EXPECT_EQ(va->vt->AddInt(va.get(), 1), QMe_INVALIDARG);
  EXPECT_EQ(va->vt->Count(va.get()), 1U);
  char text[8] = "xxxxxxx";
  EXPECT_EQ(va->vt->GetString(va.get(), 0, text, 3), QMe_SHORTBUFFER);
  EXPECT_EQ(va->vt->GetString(va.get(), 0, text, 4), QMe_OK);
  EXPECT_STREQ(text, "abc");
  EXPECT_EQ(va->vt->GetString(va.get(), 1, text, 4), QMe_OUTOFBOUNDS);
  int32_t i = 0;
  EXPECT_EQ(va->vt->GetInt(va.get(), 0, &i), QMe_INVALIDARG);
  EXPECT_EQ(va->vt->Reset(va.get()), QMe_OK);
  EXPECT_EQ(va->vt->Count(va.get()), 0U);
  EXPECT_EQ(QmRelease(va.release()), 0U);
}

// --- Script queries and the GUID service ------------------------------------------------------

TEST_F(CommandsTest, TheSceneServiceAnswersScriptQueries) {
  IQmSceneService* scene = Service<IQmSceneService>(*app_);
  void* out = nullptr;
  ASSERT_EQ(scene->vt->ScriptQuery(scene, &out), QMe_OK);
  QmRelease(scene);
  Own<IQmScriptQuery> q(static_cast<IQmScriptQuery*>(out));
  Ok("item.create mesh box");
  Ok("item.create light");
  Ok("item.move -1 2 30cm");
  Ok("item.rotate 0.5");

  auto query = [&](const char* attribute) -> std::pair<std::string, Strings> {
    const char* typeName = nullptr;
    EXPECT_EQ(q->vt->TypeName(q.get(), attribute, &typeName), QMe_OK) << attribute;
    void* made = nullptr;
    EXPECT_EQ(cs_->vt->CreateQueryObject(cs_, typeName, &made), QMe_OK);
    Own<IQmValueArray> values(static_cast<IQmValueArray*>(made));
    QmResult rc = q->vt->Query(q.get(), attribute, values.get());
    if (QmFailed(rc)) return {qmhost::ResultCodeText(rc), {}};
    return {typeName, Texts(values.get())};
  };
  using Result = std::pair<std::string, Strings>;
  EXPECT_EQ(query("scene.itemCount"), (Result{"integer", {"2"}}));
  EXPECT_EQ(query("scene.items"), (Result{"string", {"box", "light1"}}));
  EXPECT_EQ(query("scene.selection"), (Result{"string", {"light1"}}));
  EXPECT_EQ(query("item.name"), (Result{"0x85700005 QUERY_NEED_SELECTION", {}}));
  EXPECT_EQ(q->vt->Select(q.get(), "item", "lamp"), QMe_NOTFOUND);
  EXPECT_EQ(q->vt->Select(q.get(), "thing", "box"), QMe_QUERY_UNKNOWN_ATTRIBUTE);
  ASSERT_EQ(q->vt->Select(q.get(), "item", "light1"), QMe_OK);
  EXPECT_EQ(query("item.position"), (Result{"distance", {"-1", "2", "0.3"}}));
  EXPECT_EQ(query("item.rotation"), (Result{"angle", {"0.5"}}));
  EXPECT_EQ(query("item.selected"), (Result{"boolean", {"1"}}));
  Ok("item.rename lamp");  // the query follows the item, not its name
  EXPECT_EQ(query("item.name"), (Result{"string", {"lamp"}}));
  ASSERT_EQ(q->vt->Select(q.get(), "item.type", "0"), QMe_OK);  // by index
  EXPECT_EQ(query("item.type"), (Result{"string", {"mesh"}}));

  uint32_t type = 0;
  EXPECT_EQ(q->vt->Type(q.get(), "item.position", &type), QMe_OK);
  EXPECT_EQ(type, 2U);
  EXPECT_EQ(q->vt->Type(q.get(), "item.colour", &type), QMe_QUERY_UNKNOWN_ATTRIBUTE);
  Ref<qmhost::ValueArray> ints = qmhost::ValueArray::Make("integer");
  EXPECT_EQ(q->vt->Query(q.get(), "item.name", ints->Face()), QMe_QUERY_MISMATCHED_TYPE);
  EXPECT_EQ(q->vt->Query(q.get(), "scene.colour", ints->Face()), QMe_QUERY_UNKNOWN_ATTRIBUTE);

  // The command service lists its commands and their argument types.
  ASSERT_EQ(cs_->vt->ScriptQuery(cs_, &out), QMe_OK);
  Own<IQmScriptQuery> commands(static_cast<IQmScriptQuery*>(out));
  Ref<qmhost::ValueArray> names = qmhost::ValueArray::Make("string");
  ASSERT_EQ(commands->vt->Query(commands.get(), "command.names", names->Face()), QMe_OK);
  EXPECT_EQ(names->Values().size(), qmhost::HostCommands().size());
  ASSERT_EQ(commands->vt->Select(commands.get(), "command", "item.move"), QMe_OK);
  names->va_Reset();
  ASSERT_EQ(commands->vt->Query(commands.get(), "command.argTypes", names->Face()), QMe_OK);
  EXPECT_EQ(Texts(names->Face()), (Strings{"distance", "distance", "distance"}));
}

TEST(GuidServiceTest, TranslatesServiceNamesAndGuidText) {
  Ref<Application> app(new Application);
  auto* guids = Service<IQmGUIDService>(*app);
  struct {
    const char* name;
    const QmGUID& iid;
  } const services[] = {
      {"sceneservice", IID_IQmSceneService},
      {"stddialogservice", IID_IQmStdDialogService},
      {"threadservice", IID_IQmThreadService},
  };
  for (const auto& s : services) {
    const QmGUID* got = guids->vt->Translate(guids, s.name);
    ASSERT_NE(got, nullptr) << s.name;
    EXPECT_EQ(got, guids->vt->Fixed(guids, &s.iid)) << s.name;
  }
  const std::string text = QmGuidFormat(IID_IQmCommand);
  EXPECT_EQ(guids->vt->Translate(guids, text.c_str()), guids->vt->Fixed(guids, &IID_IQmCommand));
  for (const char* other : {"SceneService", "scene", "command", "", "sceneservice "}) {
    EXPECT_EQ(guids->vt->Translate(guids, other), nullptr) << other;
  }
  QmRelease(guids);
}

// --- Monitors -------------------------------------------------------------------------------

TEST(DialogServiceTest, MonitorsStopAtTheTopAndAreReleasedLastFirst) {
  Ref<Application> app(new Application);
  auto* dialogs = Service<IQmStdDialogService>(*app);
  void* a = nullptr;
  void* b = nullptr;
  ASSERT_EQ(dialogs->vt->MonitorAllocate(dialogs, "Outer", &a), QMe_OK);
  ASSERT_EQ(dialogs->vt->MonitorAllocate(dialogs, "Inner", &b), QMe_OK);
  Own<IQmMonitor> outer(static_cast<IQmMonitor*>(a)), inner(static_cast<IQmMonitor*>(b));
  EXPECT_EQ(outer->vt->Initialize(outer.get(), 4), QMe_OK);
  EXPECT_EQ(outer->vt->Increment(outer.get(), 0xFFFFFFFFU), QMe_OK);
  EXPECT_EQ(app->Dialogs().OpenMonitors().at(0)->State().Percent(), 100);
  EXPECT_EQ(dialogs->vt->MonitorRelease(dialogs), QMe_OK);  // the last one allocated
  ASSERT_EQ(app->Dialogs().OpenMonitors().size(), 1U);
  EXPECT_EQ(app->Dialogs().OpenMonitors()[0]->State().title, "Outer");
  EXPECT_EQ(dialogs->vt->MonitorRelease(dialogs), QMe_OK);
  EXPECT_EQ(dialogs->vt->MonitorRelease(dialogs), QMe_NOTFOUND);
  EXPECT_EQ(QmRelease(inner.release()), 0U);  // the service let go of its reference
  EXPECT_EQ(QmRelease(outer.release()), 0U);
  QmRelease(dialogs);
  EXPECT_EQ(app->ServiceLeaks(), "");
}

TEST(DialogServiceTest, ViewsDrawBarsOrTenths) {
  std::ostringstream bar, lines;
  qmhost::TerminalProgressView terminal(bar, 10);
  qmhost::LineProgressView plain(lines);
  qmhost::Progress p;
  p.id = 1;
  p.title = "Work";
  p.total = 20;
  for (uint32_t done : {0U, 1U, 3U, 3U, 10U, 20U}) {
    p.done = done;
    terminal.Update(p);
    plain.Update(p);
  }
  terminal.Release(p);
  plain.Release(p);
  // A line that would not change is not drawn again.
  EXPECT_EQ(bar.str(),
            "\rWork [..........]   0%\rWork [..........]   5%\rWork [#.........]  15%"
            "\rWork [#####.....]  50%\rWork [##########] 100%\n");
  EXPECT_EQ(lines.str(),
            "Work: 10% (3/20)\nWork: 50% (10/20)\nWork: 100% (20/20)\nWork: done (20/20)\n");
}

TEST(DialogServiceTest, TheTerminalBarEndsItsLineBeforeOtherOutput) {
  std::ostringstream bar, other;
  auto terminal = std::make_shared<qmhost::TerminalProgressView>(bar, 10);
  qmhost::ProgressLineBreaker breaker(other.rdbuf(), terminal);
  std::ostream out(&breaker);
  qmhost::Progress p;
  p.id = 1;
  p.title = "Work";
  p.total = 10;
  p.done = 3;
  terminal->Update(p);
  EXPECT_EQ(bar.str(), "\rWork [###.......]  30%");
  // Other output: the bar's line ends first, once.
  out << "text" << '\n';
  out.put('x');
  EXPECT_EQ(bar.str(), "\rWork [###.......]  30%\n");
  EXPECT_EQ(other.str(), "text\nx");
  // The next update draws the bar again, on its new line.
  terminal->Update(p);
  p.done = 5;
  terminal->Update(p);
  terminal->Release(p);
  EXPECT_EQ(bar.str(),
            "\rWork [###.......]  30%\n\rWork [###.......]  30%\rWork [#####.....]  50%\n");
  // With no bar open, other output passes alone.
  out << "more";
  EXPECT_EQ(other.str(), "text\nxmore");
  EXPECT_EQ(bar.str(),
            "\rWork [###.......]  30%\n\rWork [###.......]  30%\rWork [#####.....]  50%\n");
  // A view that is gone ends nothing.
  terminal.reset();
  out << "!";
  EXPECT_EQ(other.str(), "text\nxmore!");
}

}  // namespace

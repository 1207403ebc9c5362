// The reference host's scripting services as the plug-in uses them: found
// through the application object and called through their function tables.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/application.h"
#include "host/plugin.h"
#include "host/run.h"
#include "host/script.h"

namespace {

using qmhost::Application;
using qmhost::HostFace;
using qmhost::HostObject;
using qmhost::Ref;

template <class I>
I* Service(Application& app) {
  void* out = nullptr;
  EXPECT_EQ(QmQueryInterface(app.Unknown(), QmInterfaceInfo<I>::guid, &out), QMe_OK);
  return static_cast<I*>(out);
}

std::string Str(const char* text) { return text != nullptr ? text : "(null)"; }

// An object that answers IQmLogEntry without being one of the host's log
// entries.
class ForeignEntry : public HostObject, public CQmImpl_LogEntry {
 public:
  void* Face() { return face_.get(); }

 protected:
  void* Find(const QmGUID& iid) override {
    return iid == IID_QmBaseUnknown || iid == IID_IQmLogEntry ? face_.get() : nullptr;
  }

 private:
  HostFace<IQmLogEntry> face_{this};
};

class HostServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    start_ = HostObject::LiveCount();
    app_ = Ref<Application>(new Application);
    logs_ = Service<IQmLogService>(*app_);
    messages_ = Service<IQmMessageService>(*app_);
  }
  void TearDown() override {
    QmRelease(logs_);
    QmRelease(messages_);
    EXPECT_EQ(app_->ServiceLeaks(), "");
    app_.reset();
    EXPECT_EQ(HostObject::LiveCount(), start_);
  }

  IQmLog* Log(const char* name) {
    void* out = nullptr;
    EXPECT_EQ(logs_->vt->SubSystemLookup(logs_, name, &out), QMe_OK) << name;
    return static_cast<IQmLog*>(out);
  }
  IQmLogEntry* Entry(QmResult type, const char* title) {
    void* out = nullptr;
    EXPECT_EQ(logs_->vt->CreateEntryMessage(logs_, type, title, &out), QMe_OK);
    return static_cast<IQmLogEntry*>(out);
  }
  IQmMessage* NewMessage() {
    void* out = nullptr;
    EXPECT_EQ(messages_->vt->Allocate(messages_, &out), QMe_OK);
    return static_cast<IQmMessage*>(out);
  }
  std::string Text(IQmMessage* message, QmResult expect = QMe_OK) {
    char buf[512];
    std::strcpy(buf, "(untouched)");
    EXPECT_EQ(messages_->vt->MessageText(messages_, message, buf, sizeof buf), expect);
    return buf;
  }
  static std::string Title(IQmLogEntry* entry) {
    const char* title = nullptr;
    EXPECT_EQ(entry->vt->Title(entry, &title), QMe_OK);
    return Str(title);
  }

  long start_ = 0;
  Ref<Application> app_;
  IQmLogService* logs_ = nullptr;
  IQmMessageService* messages_ = nullptr;
};

// --- Event log ----------------------------------------------------------------------------

TEST_F(HostServicesTest, SubsystemsAreHandedOutByName) {
  for (const char* name : {"python", "scripts", "host"}) {
    IQmLog* log = Log(name);
    ASSERT_NE(log, nullptr);
    const char* got = nullptr;
    EXPECT_EQ(log->vt->Name(log, &got), QMe_OK);
    EXPECT_STREQ(got, name);
    EXPECT_EQ(log->vt->EntryCount(log), 0U);
    // The service keeps one reference, the caller got one more.
    EXPECT_EQ(QmRelease(log), 1U);
  }
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(logs_->vt->SubSystemLookup(logs_, "Python", &out), QMe_NOTFOUND);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(logs_->vt->SubSystemLookup(logs_, nullptr, &out), QMe_INVALIDARG);
  EXPECT_EQ(logs_->vt->ScriptQuery(logs_, &out), QMe_NOTIMPL);
}

TEST_F(HostServicesTest, EntriesKeepTypeTitleAndChildren) {
  IQmLog* log = Log("scripts");
  IQmLogEntry* top = Entry(QMe_INFO, "run.py");
  IQmLogEntry* warn = Entry(QMe_WARNING, "careful");
  IQmLogEntry* err = Entry(QMe_NOTFOUND, nullptr);
  IQmLogEntry* other = Entry(0x06400001U, "idle");
  EXPECT_EQ(err->vt->Type(err), QMe_NOTFOUND);
  EXPECT_EQ(Title(err), "");
  EXPECT_EQ(err->vt->SetTitle(err, "missing"), QMe_OK);
  EXPECT_EQ(Title(err), "missing");

  EXPECT_EQ(log->vt->AddEntry(log, top), QMe_OK);
  EXPECT_EQ(top->vt->AddEntry(top, warn), QMe_OK);
  EXPECT_EQ(top->vt->AddEntry(top, other), QMe_OK);
  EXPECT_EQ(warn->vt->AddEntry(warn, err), QMe_OK);
  EXPECT_EQ(log->vt->EntryCount(log), 1U);
  EXPECT_EQ(top->vt->ChildCount(top), 2U);

  void* got = nullptr;
  ASSERT_EQ(log->vt->EntryByIndex(log, 0, &got), QMe_OK);
  auto* first = static_cast<IQmLogEntry*>(got);
  EXPECT_EQ(Title(first), "run.py");
  ASSERT_EQ(first->vt->ChildByIndex(first, 1, &got), QMe_OK);
  auto* second = static_cast<IQmLogEntry*>(got);
  EXPECT_EQ(second->vt->Type(second), 0x06400001U);
  EXPECT_EQ(first->vt->ChildByIndex(first, 2, &got), QMe_OUTOFBOUNDS);
  EXPECT_EQ(log->vt->EntryByIndex(log, 1, &got), QMe_OUTOFBOUNDS);
  // Success codes other than the warning print as info.
  EXPECT_EQ(qmhost::LogEntry::KindOf(0x06400001U), qmhost::LogEntry::Kind::kInfo);
  for (void* p : {static_cast<void*>(first), static_cast<void*>(second), static_cast<void*>(top),
                  static_cast<void*>(warn), static_cast<void*>(err), static_cast<void*>(other)}) {
    QmRelease(p);
  }
  EXPECT_EQ(app_->KeptObjects(), 3U + 4U);
  QmRelease(log);
}

TEST_F(HostServicesTest, ForeignEntriesCyclesAndSecondHoldersAreRefused) {
  IQmLog* log = Log("python");
  IQmLogEntry* a = Entry(QMe_INFO, "a");
  IQmLogEntry* b = Entry(QMe_INFO, "b");
  IQmLogEntry* c = Entry(QMe_INFO, "c");
  Ref<ForeignEntry> foreign(new ForeignEntry);
  IQmMessage* message = NewMessage();

  EXPECT_EQ(log->vt->AddEntry(log, foreign->Face()), QMe_INVALIDARG);
  EXPECT_EQ(log->vt->AddEntry(log, message), QMe_INVALIDARG);
  EXPECT_EQ(log->vt->AddEntry(log, nullptr), QMe_INVALIDARG);
  EXPECT_EQ(foreign->RefCount(), 1U);

  EXPECT_EQ(a->vt->AddEntry(a, a), QMe_INVALIDARG);
  EXPECT_EQ(a->vt->AddEntry(a, b), QMe_OK);
  EXPECT_EQ(b->vt->AddEntry(b, c), QMe_OK);
  void* got = nullptr;
  ASSERT_EQ(a->vt->ChildByIndex(a, 0, &got), QMe_OK);
  EXPECT_EQ(QmRelease(got), 2U);  // held by the parent and by the creator
  EXPECT_EQ(c->vt->AddEntry(c, a), QMe_INVALIDARG);
  EXPECT_EQ(a->vt->AddEntry(a, c), QMe_ALREADYEXISTS);  // c already has a parent
  EXPECT_EQ(log->vt->AddEntry(log, b), QMe_ALREADYEXISTS);
  EXPECT_EQ(a->vt->ChildCount(a), 1U);
  EXPECT_EQ(log->vt->EntryCount(log), 0U);

  // Nothing holds `a`, so letting go of it frees the whole tree.
  EXPECT_EQ(QmRelease(b), 1U);  // the tree keeps it
  QmRelease(c);
  long before = HostObject::LiveCount();
  EXPECT_EQ(QmRelease(a), 0U);
  EXPECT_EQ(HostObject::LiveCount(), before - 3);
  QmRelease(message);
  QmRelease(log);
}

// --- Messages ---------------------------------------------------------------------------

TEST_F(HostServicesTest, MessagesComposeTheirTextWithArguments) {
  IQmMessage* m = NewMessage();
  EXPECT_EQ(m->vt->Code(m), QMe_OK);
  EXPECT_EQ(m->vt->SetCode(m, QMe_SCRIPT_ERROR), QMe_OK);
  EXPECT_EQ(m->vt->Code(m), QMe_SCRIPT_ERROR);

  char table[] = "pythonintr";
  char name[] = "ended";
  ASSERT_EQ(m->vt->SetMessage(m, table, name, 2), QMe_OK);
  table[0] = name[0] = 'X';  // the message keeps its own copies
  const char* got = nullptr;
  EXPECT_EQ(m->vt->Table(m, &got), QMe_OK);
  EXPECT_STREQ(got, "pythonintr");
  EXPECT_EQ(m->vt->Name(m, &got), QMe_OK);
  EXPECT_STREQ(got, "ended");

  EXPECT_EQ(Text(m), "The script ended with :");  // missing arguments are empty
  EXPECT_EQ(m->vt->SetArgumentString(m, 1, "SystemExit"), QMe_OK);
  EXPECT_EQ(m->vt->SetArgumentInt(m, 2, -42), QMe_OK);
  EXPECT_EQ(Text(m), "The script ended with SystemExit:-42");
  EXPECT_EQ(m->vt->SetArgumentFloat(m, 2, 0.25), QMe_OK);
  EXPECT_EQ(Text(m), "The script ended with SystemExit:0.25");

  EXPECT_EQ(m->vt->SetArgumentInt(m, 0, 1), QMe_INVALIDARG);
  EXPECT_EQ(m->vt->SetArgumentString(m, 0, "x"), QMe_INVALIDARG);

  ASSERT_EQ(m->vt->SetMessage(m, "pythonintr", nullptr, 4), QMe_OK);
  EXPECT_EQ(m->vt->Name(m, &got), QMe_OK);
  EXPECT_STREQ(got, "");
  EXPECT_EQ(Text(m), "The script ended: SystemExit");

  Ref<qmhost::Message> host = qmhost::HostCast<qmhost::Message, IQmMessage>(m);
  ASSERT_TRUE(host);
  EXPECT_TRUE(host->WasSet());
  EXPECT_EQ(host->Id(), 4U);
  EXPECT_EQ(m->vt->Reset(m), QMe_OK);
  EXPECT_FALSE(host->WasSet());
  EXPECT_EQ(m->vt->Code(m), QMe_OK);
  EXPECT_EQ(Text(m, QMe_NOTFOUND), "(untouched)");  // no text chosen
  host.reset();
  EXPECT_EQ(QmRelease(m), 0U);
}

TEST_F(HostServicesTest, MessageTextNeedsRoomForItsTerminator) {
  IQmMessage* m = NewMessage();
  ASSERT_EQ(m->vt->SetMessage(m, "pythonintr", nullptr, 1), QMe_OK);
  ASSERT_EQ(m->vt->SetArgumentString(m, 1, "abc"), QMe_OK);
  const std::string expected = "Python script error: abc";
  std::vector<char> buf(expected.size() + 8, '#');
  auto size = static_cast<uint32_t>(expected.size());
  EXPECT_EQ(messages_->vt->MessageText(messages_, m, buf.data(), size), QMe_SHORTBUFFER);
  EXPECT_EQ(buf[size], '#');
  EXPECT_EQ(messages_->vt->MessageText(messages_, m, buf.data(), size + 1), QMe_OK);
  EXPECT_EQ(std::string(buf.data()), expected);
  EXPECT_EQ(buf[size + 1], '#');

  EXPECT_EQ(messages_->vt->MessageText(messages_, m, nullptr, 100), QMe_INVALIDARG);
  EXPECT_EQ(messages_->vt->MessageText(messages_, nullptr, buf.data(), 100), QMe_INVALIDARG);
  IQmLogEntry* entry = Entry(QMe_INFO, "not a message");
  EXPECT_EQ(messages_->vt->MessageText(messages_, entry, buf.data(), 100), QMe_INVALIDARG);
  QmRelease(entry);

  ASSERT_EQ(m->vt->SetMessage(m, "pythonintr", nullptr, 99), QMe_OK);
  EXPECT_EQ(Text(m, QMe_NOTFOUND), "(untouched)");
  ASSERT_EQ(m->vt->SetMessage(m, "nosuchtable", nullptr, 1), QMe_OK);
  EXPECT_EQ(Text(m, QMe_NOTFOUND), "(untouched)");
  EXPECT_EQ(QmRelease(m), 0U);
}

TEST_F(HostServicesTest, ObjectArgumentsHoldAReferenceUntilReset) {
  IQmMessage* outer = NewMessage();
  IQmMessage* inner = NewMessage();
  IQmLogEntry* entry = Entry(QMe_INFO, "object");

  ASSERT_EQ(outer->vt->SetArgumentObject(outer, 2, entry), QMe_OK);
  EXPECT_EQ(QmAddRef(entry), 3U);  // ours, the argument's, this one
  QmRelease(entry);
  ASSERT_EQ(outer->vt->SetArgumentObject(outer, 2, inner), QMe_OK);  // replaces the entry
  EXPECT_EQ(QmAddRef(entry), 2U);
  QmRelease(entry);
  EXPECT_EQ(outer->vt->SetArgumentObject(outer, 1, nullptr), QMe_INVALIDARG);

  // Another message stands for its own text.
  ASSERT_EQ(inner->vt->SetMessageResult(inner, QMe_NOTFOUND), QMe_OK);
  ASSERT_EQ(outer->vt->SetMessage(outer, "pythonintr", nullptr, 2), QMe_OK);
  ASSERT_EQ(outer->vt->SetArgumentString(outer, 1, "an error"), QMe_OK);
  EXPECT_EQ(Text(outer), "The script ended with an error:Not found.");

  // A message cannot hold itself, even through another.
  EXPECT_EQ(outer->vt->SetArgumentObject(outer, 3, outer), QMe_INVALIDARG);
  EXPECT_EQ(inner->vt->SetArgumentObject(inner, 1, outer), QMe_INVALIDARG);
  EXPECT_EQ(QmAddRef(outer), 2U);
  QmRelease(outer);

  EXPECT_EQ(QmAddRef(inner), 3U);
  QmRelease(inner);
  ASSERT_EQ(outer->vt->Reset(outer), QMe_OK);
  EXPECT_EQ(QmRelease(inner), 0U);  // the reset gave the argument's reference back

  ASSERT_EQ(outer->vt->SetArgumentObject(outer, 1, entry), QMe_OK);
  EXPECT_EQ(QmRelease(outer), 0U);  // destruction releases the argument too
  EXPECT_EQ(QmRelease(entry), 0U);
}

TEST_F(HostServicesTest, EveryRegisteredResultCodeHasAText) {
  IQmMessage* m = NewMessage();
  for (const auto& entry : kQmResultRegistry) {
    ASSERT_EQ(m->vt->SetMessage(m, "qmresult", entry.name, entry.code), QMe_OK);
    std::string text = Text(m);
    EXPECT_GT(text.size(), 1U) << entry.name;
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(text[0]))) << entry.name << ": " << text;
    EXPECT_EQ(text.back(), '.') << entry.name << ": " << text;
    EXPECT_EQ(text.find('_'), std::string::npos) << entry.name << ": " << text;
  }
  ASSERT_EQ(m->vt->SetMessage(m, "qmresult", nullptr, QMe_CMD_UNKNOWN_COMMAND), QMe_OK);
  EXPECT_EQ(Text(m), "Unknown command.");
  ASSERT_EQ(m->vt->SetMessage(m, "qmresult", nullptr, 0x80001234U), QMe_OK);
  EXPECT_EQ(Text(m, QMe_NOTFOUND), "(untouched)");

  ASSERT_EQ(m->vt->SetMessageResult(m, QMe_OUTOFBOUNDS), QMe_OK);
  EXPECT_EQ(m->vt->Code(m), QMe_OUTOFBOUNDS);
  const char* got = nullptr;
  EXPECT_EQ(m->vt->Name(m, &got), QMe_OK);
  EXPECT_STREQ(got, "OUTOFBOUNDS");
  EXPECT_EQ(Text(m), "Index out of bounds.");
  QmRelease(m);

  // Shared codes are named by the name registered last.
  EXPECT_EQ(qmhost::ResultName(QMe_OK), "MSGDIALOG_OK");
  EXPECT_EQ(qmhost::ResultName(QMe_ABORT), "RENDER_ABORTING");
  EXPECT_EQ(qmhost::ResultCodeText(QMe_NOTFOUND), "0x80000017 NOTFOUND");
  EXPECT_EQ(qmhost::ResultCodeText(0x80001234U), "0x80001234 unknown");
}

// --- Files and import paths --------------------------------------------------------------

std::string Resolve(IQmFileService* files, const char* alias, char* buf) {
  const char* got = files->vt->ToLocalAlias(files, alias, buf);
  if (got != nullptr) {
    EXPECT_EQ(got, buf);
  }
  return Str(got);
}

TEST(FileServiceTest, ResolvesAliasesOnlyWhenThePathFits) {
  Ref<Application> app(new Application);
  auto* files = Service<IQmFileService>(*app);
  std::vector<char> buf(kQmMaxPath + 64, '#');
  EXPECT_EQ(Resolve(files, "module:python", buf.data()), "(null)");  // no plug-in yet
  app->SetModuleDir("/opt/qm/lib/");
  app->SetScriptsDir("/s");
  EXPECT_EQ(Resolve(files, "module:PythonModules/qmserv", buf.data()),
            "/opt/qm/lib/PythonModules/qmserv");
  EXPECT_EQ(Resolve(files, "scripts:", buf.data()), "/s");
  EXPECT_EQ(Resolve(files, "scripts:/b.py", buf.data()), "/s/b.py");
  for (const char* alias : {"resource:x", "Scripts:a.py", "/tmp/a.py", "", "module"}) {
    EXPECT_EQ(Resolve(files, alias, buf.data()), "(null)") << alias;
  }
  EXPECT_EQ(files->vt->ToLocalAlias(files, nullptr, buf.data()), nullptr);
  EXPECT_EQ(files->vt->ToLocalAlias(files, "scripts:", nullptr), nullptr);

  // "/s/" + rest + terminator fills the buffer exactly; one more is not written.
  std::string rest(kQmMaxPath - 4, 'r');
  std::fill(buf.begin(), buf.end(), '#');
  EXPECT_EQ(Resolve(files, ("scripts:" + rest).c_str(), buf.data()).size(), kQmMaxPath - 1);
  EXPECT_EQ(buf[kQmMaxPath], '#');
  std::fill(buf.begin(), buf.end(), '#');
  EXPECT_EQ(Resolve(files, ("scripts:" + rest + "r").c_str(), buf.data()), "(null)");
  EXPECT_EQ(std::count(buf.begin(), buf.end(), '#'), static_cast<long>(buf.size()));
  QmRelease(files);

  setenv("QMHOST_SCRIPTS", "/srv/qm-scripts/", 1);
  EXPECT_EQ(Ref<Application>(new Application)->ScriptsDir(), "/srv/qm-scripts");
  unsetenv("QMHOST_SCRIPTS");
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(Ref<Application>(new Application)->ScriptsDir(), "/home/someone/.qmhost/scripts");
}

TEST(PlatformServiceTest, DefaultsToTheStandardLibraryUntilAListIsConfigured) {
  Ref<Application> app(new Application);
  auto* platform = Service<IQmPlatformService>(*app);
  uint32_t count = 0;
  ASSERT_EQ(platform->vt->ImportPathCount(platform, &count), QMe_OK);
  ASSERT_GE(count, 2U);
  const char* old = nullptr;
  ASSERT_EQ(platform->vt->ImportPathByIndex(platform, 0, &old), QMe_OK);
  std::string oldText = Str(old);
  EXPECT_EQ(access((oldText + "/os.py").c_str(), R_OK), 0) << oldText;
  for (uint32_t i = 0; i < count; ++i) {
    const char* path = nullptr;
    ASSERT_EQ(platform->vt->ImportPathByIndex(platform, i, &path), QMe_OK);
    EXPECT_EQ(Str(path).find("-packages"), std::string::npos) << Str(path);
  }
  const char* path = nullptr;
  EXPECT_EQ(platform->vt->ImportPathByIndex(platform, count, &path), QMe_OUTOFBOUNDS);
  EXPECT_EQ(platform->vt->ImportPathCount(platform, nullptr), QMe_INVALIDARG);

  app->SetImportPaths({"/a", "/b"});
  ASSERT_EQ(platform->vt->ImportPathCount(platform, &count), QMe_OK);
  EXPECT_EQ(count, 2U);
  ASSERT_EQ(platform->vt->ImportPathByIndex(platform, 1, &path), QMe_OK);
  EXPECT_STREQ(path, "/b");
  EXPECT_EQ(platform->vt->ImportPathByIndex(platform, 2, &path), QMe_OUTOFBOUNDS);
  EXPECT_EQ(Str(old), oldText);  // texts handed out earlier stay valid
  QmRelease(platform);
}

// --- Scripts -------------------------------------------------------------------------------

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/qmhost-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string Write(const std::string& name, const std::string& text) {
    std::ofstream(path_ + "/" + name, std::ios::binary) << text;
    return path_ + "/" + name;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(ScriptTest, AFileScriptIsNamedByItsFileAndUnreadableOnesAreRefused) {
  TempDir dir;
  const std::string text = std::string("#!/usr/bin/env python\r\nprint 'a\0b'\n", 34);
  std::string path = dir.Write("tool.py", text);
  std::string error;
  Ref<qmhost::Script> script = qmhost::Script::FromFile(path, &error);
  ASSERT_TRUE(script) << error;
  auto* s = static_cast<IQmScript*>(script->Face());
  const char* got = nullptr;
  ASSERT_EQ(s->vt->UserName(s, &got), QMe_OK);
  EXPECT_STREQ(got, "tool.py");
  char real[PATH_MAX];
  ASSERT_NE(realpath(path.c_str(), real), nullptr);
  ASSERT_EQ(s->vt->Hash(s, &got), QMe_OK);
  EXPECT_STREQ(got, real);
  uint32_t length = 0;
  ASSERT_EQ(s->vt->GetBuffer(s, &got, &length), QMe_OK);
  EXPECT_EQ(std::string(got, length), text);
  EXPECT_EQ(script->FirstLine(), "#!/usr/bin/env python");

  EXPECT_FALSE(qmhost::Script::FromFile(dir.path() + "/missing.py", &error));
  EXPECT_NE(error.find("cannot read " + dir.path() + "/missing.py"), std::string::npos) << error;
  EXPECT_FALSE(qmhost::Script::FromFile(dir.path(), &error));
  EXPECT_NE(error.find("folder"), std::string::npos) << error;
}

TEST(ScriptTest, ATextScriptMayHaveNoUserName) {
  long start = HostObject::LiveCount();
  {
    Ref<qmhost::Script> script = qmhost::Script::FromText("print 1\n");
    auto* s = static_cast<IQmScript*>(script->Face());
    const char* got = reinterpret_cast<const char*>(1);
    EXPECT_EQ(s->vt->UserName(s, &got), QMe_NOTFOUND);
    EXPECT_EQ(got, nullptr);
    ASSERT_EQ(s->vt->Hash(s, &got), QMe_OK);
    std::string hash = Str(got);
    EXPECT_EQ(qmhost::Script::FromText("print 1\n", "other")->Hash(), hash);
    EXPECT_NE(qmhost::Script::FromText("print 2\n")->Hash(), hash);
    EXPECT_EQ(s->vt->SetUserName(s, "named"), QMe_OK);
    ASSERT_EQ(s->vt->UserName(s, &got), QMe_OK);
    EXPECT_STREQ(got, "named");

    EXPECT_EQ(s->vt->SetBuffer(s, "abcdef", 3), QMe_OK);
    uint32_t length = 0;
    ASSERT_EQ(s->vt->GetBuffer(s, &got, &length), QMe_OK);
    EXPECT_EQ(std::string(got, length), "abc");
    EXPECT_EQ(s->vt->SetBuffer(s, nullptr, 1), QMe_INVALIDARG);
    EXPECT_EQ(script->RefCount(), 1U);
  }
  EXPECT_EQ(HostObject::LiveCount(), start);
}

// --- Running a script ------------------------------------------------------------------------

TEST(JoinArguments, QuotesOnlyArgumentsThatNeedIt) {
  EXPECT_EQ(qmhost::JoinScriptArguments({}), "");
  EXPECT_EQ(qmhost::JoinScriptArguments({"one"}), "one");
  EXPECT_EQ(qmhost::JoinScriptArguments({"a", "b c", "", "d\te", "f"}),
            "a \"b c\" \"\" \"d\te\" f");
}

// A stand-in for the plug-in's Python interpreter server: it accepts
// "#!...python" files and reports through the host's services the way the
// plug-in does.
class FakeInterpreter : public HostObject,
                        public CQmImpl_Module,
                        public CQmImpl_TextScriptInterpreter {
 public:
  explicit FakeInterpreter(Application& app) : app_(app) {}

  QmResult mod_Generate(const char* name, const QmGUID* iid, void** object) override {
    return offered && std::strcmp(name, "python") == 0 ? QueryInterface(iid, object)
                                                       : QMe_NOTFOUND;
  }
  QmResult tsi_ValidateFileType(void*, const char* firstLine) override {
    seenFirstLine = Str(firstLine);
    return seenFirstLine.rfind("#!", 0) == 0 && seenFirstLine.find("python") != std::string::npos
               ? QMe_TRUE
               : QMe_FALSE;
  }
  QmResult tsi_Run(void* script, int32_t, const char* args, void* message) override {
    ++runs;
    seenArgs = Str(args);
    const char* title = nullptr;
    auto* s = static_cast<IQmScript*>(script);
    if (QmFailed(s->vt->UserName(s, &title))) s->vt->Hash(s, &title);
    auto* logs = Service<IQmLogService>(app_);
    auto entry = [&](QmResult type, const char* text) {
      void* made = nullptr;
      logs->vt->CreateEntryMessage(logs, type, text, &made);
      return static_cast<IQmLogEntry*>(made);
    };
    auto add = [&](const char* subsystem, IQmLogEntry* e) {
      void* log = nullptr;
      logs->vt->SubSystemLookup(logs, subsystem, &log);
      static_cast<IQmLog*>(log)->vt->AddEntry(log, e);
      QmRelease(log);
      QmRelease(e);
    };
    IQmLogEntry* header = entry(QMe_INFO, title);
    IQmLogEntry* boom = entry(QMe_SCRIPT_ERROR, "boom");
    header->vt->AddEntry(header, boom);
    QmRelease(boom);
    add("scripts", header);
    add("python", entry(QMe_WARNING, "careful"));
    QmRelease(logs);
    if (setMessage) {
      auto* m = static_cast<IQmMessage*>(message);
      m->vt->SetMessage(m, "pythonintr", nullptr, 2);
      m->vt->SetArgumentString(m, 1, "SystemExit");
      m->vt->SetArgumentInt(m, 2, 3);
      m->vt->SetArgumentObject(m, 3, script);  // given back by the host's reset
    }
    return result;
  }

  void* Module() { return module_.get(); }

  bool offered = true;
  bool setMessage = true;
  QmResult result = QMe_OK;
  int runs = 0;
  std::string seenFirstLine, seenArgs;

 protected:
  void* Find(const QmGUID& iid) override {
    if (iid == IID_QmBaseUnknown || iid == IID_IQmModule) return module_.get();
    return iid == IID_IQmTextScriptInterpreter ? interpreter_.get() : nullptr;
  }

 private:
  Application& app_;
  HostFace<IQmModule> module_{this};
  HostFace<IQmTextScriptInterpreter> interpreter_{this};
};

class RunScriptTest : public ::testing::Test {
 protected:
  int Run(const std::string& text, const std::string& args = "") {
    script_ = qmhost::Script::FromText(text, "demo.py");
    std::ostringstream out, err;
    int rc = qmhost::RunScript(*app_, static_cast<IQmModule*>(fake_->Module()), *script_, args, out,
                               err);
    out_ = out.str();
    err_ = err.str();
    EXPECT_EQ(script_->RefCount(), 1U);
    EXPECT_EQ(fake_->RefCount(), 1U);
    return rc;
  }

  Ref<Application> app_{new Application};
  Ref<FakeInterpreter> fake_{new FakeInterpreter(*app_)};
  Ref<qmhost::Script> script_;
  std::string out_, err_;
};

TEST_F(RunScriptTest, PrintsWhatTheRunLoggedAndTheMessage) {
  app_->Logs().Add("scripts", QMe_INFO, "an earlier run");
  fake_->result = QMe_SCRIPT_ERROR;
  EXPECT_EQ(Run("#!/usr/bin/python\nraise SystemExit(3)\n", "a \"b c\""), 1);
  EXPECT_EQ(fake_->seenFirstLine, "#!/usr/bin/python");
  EXPECT_EQ(fake_->seenArgs, "a \"b c\"");
  EXPECT_EQ(out_,
            "[info] demo.py\n"
            "  [error] boom\n"
            "[warning] careful\n"
            "message: The script ended with SystemExit:3\n");
  EXPECT_EQ(err_, "result: 0x85600002 SCRIPT_ERROR\n");
}

TEST_F(RunScriptTest, SuccessExitsZeroRefusalsAreNotRunAndAMissingInterpreterIsReported) {
  fake_->setMessage = false;
  fake_->result = QMe_FALSE;
  EXPECT_EQ(Run("#!python\n"), 0);
  EXPECT_EQ(out_.find("message:"), std::string::npos) << out_;
  EXPECT_EQ(err_, "");

  fake_->runs = 0;
  EXPECT_EQ(Run("echo not python\n"), 2);
  EXPECT_EQ(fake_->runs, 0);
  EXPECT_NE(err_.find(script_->Hash() + " is not a script"), std::string::npos) << err_;
  EXPECT_EQ(out_, "");

  fake_->offered = false;
  EXPECT_EQ(Run("#!python\n"), 1);
  EXPECT_EQ(err_, "qmhost: no Python script interpreter (0x80000017 NOTFOUND)\n");
}

TEST(RunCommandTest, RefusesAnUnreadableFileAndAMissingPlugin) {
  TempDir dir;
  qmhost::RunOptions options;
  options.pluginPath = QM_PLUGIN_PATH;
  options.file = dir.path() + "/missing.py";
  std::ostringstream out, err;
  EXPECT_EQ(qmhost::RunCommand(options, out, err), 2);
  EXPECT_NE(err.str().find("cannot read " + options.file), std::string::npos) << err.str();

  options.pluginPath = dir.path() + "/libnothing.so";
  options.file = dir.Write("ok.py", "#!/usr/bin/env python\n");
  std::ostringstream err2;
  EXPECT_EQ(qmhost::RunCommand(options, out, err2), 1);
  EXPECT_NE(err2.str().find("cannot load the plug-in"), std::string::npos) << err2.str();
}

// --- Leak accounting with the plug-in loaded ------------------------------------------------

class PluginAccountingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    plugin_ = qmhost::Plugin::Load(QM_PLUGIN_PATH, *app_, &error);
    ASSERT_TRUE(plugin_) << error;
    logs_ = Service<IQmLogService>(*app_);
  }
  IQmLogEntry* Entry(const char* title) {
    void* out = nullptr;
    EXPECT_EQ(logs_->vt->CreateEntryMessage(logs_, QMe_INFO, title, &out), QMe_OK);
    return static_cast<IQmLogEntry*>(out);
  }

  Ref<Application> app_{new Application};
  std::unique_ptr<qmhost::Plugin> plugin_;
  IQmLogService* logs_ = nullptr;
};

TEST_F(PluginAccountingTest, KnowsTheLibraryFolderAndEntriesTheLogKeepsAreNotLeaks) {
  char real[PATH_MAX];
  ASSERT_NE(realpath(QM_PLUGIN_PATH, real), nullptr);
  std::string folder(real);
  folder.erase(folder.find_last_of('/'));
  EXPECT_EQ(app_->Files().ModuleDir(), folder);
  void* log = nullptr;
  ASSERT_EQ(logs_->vt->SubSystemLookup(logs_, "python", &log), QMe_OK);
  IQmLogEntry* entry = Entry("kept by the log");
  IQmLogEntry* child = Entry("and its child");
  ASSERT_EQ(entry->vt->AddEntry(entry, child), QMe_OK);
  ASSERT_EQ(static_cast<IQmLog*>(log)->vt->AddEntry(log, entry), QMe_OK);
  QmRelease(child);
  QmRelease(entry);
  QmRelease(log);
  QmRelease(logs_);
  EXPECT_EQ(plugin_->Unload(), "");
}

TEST_F(PluginAccountingTest, ObjectsKeptPastUnloadAreReported) {
  IQmLogEntry* loose = Entry("never released");
  IQmLogEntry* logged = Entry("logged and kept");
  void* log = nullptr;
  ASSERT_EQ(logs_->vt->SubSystemLookup(logs_, "scripts", &log), QMe_OK);
  ASSERT_EQ(static_cast<IQmLog*>(log)->vt->AddEntry(log, logged), QMe_OK);
  QmRelease(logs_);
  std::string report = plugin_->Unload();
  EXPECT_NE(report.find("1 host object(s) given to the plug-in were not released"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("log entry \"logged and kept\" in scripts still has 1 reference(s)"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("log subsystem \"scripts\" still has 1 reference(s)"), std::string::npos)
      << report;
  QmRelease(log);
  QmRelease(logged);
  QmRelease(loose);
}

// The dialog service keeps a monitor open until MonitorRelease: that is the
// host's own bookkeeping, whoever allocated it.  A monitor someone else
// still holds is a leak, open or not.
TEST_F(PluginAccountingTest, MonitorsTheServiceKeepsOpenAreItsOwnAndOtherHoldersAreLeaks) {
  auto* dialogs = Service<IQmStdDialogService>(*app_);
  void* dropped = nullptr;
  void* held = nullptr;
  void* closed = nullptr;
  ASSERT_EQ(dialogs->vt->MonitorAllocate(dialogs, "closed and held", &closed), QMe_OK);
  ASSERT_EQ(dialogs->vt->MonitorRelease(dialogs), QMe_OK);
  ASSERT_EQ(dialogs->vt->MonitorAllocate(dialogs, "dropped", &dropped), QMe_OK);
  ASSERT_EQ(dialogs->vt->MonitorAllocate(dialogs, "open and held", &held), QMe_OK);
  QmRelease(dropped);
  QmRelease(dialogs);
  QmRelease(logs_);
  std::string report = plugin_->Unload();
  EXPECT_EQ(report,
            "open monitor \"open and held\" still has 1 reference(s) from the plug-in\n"
            "1 host object(s) given to the plug-in were not released\n");
  QmRelease(held);
  QmRelease(closed);
  EXPECT_EQ(app_->ServiceLeaks(), "");
}

}  // namespace

// The console loop, with a stand-in for the plug-in's line interpreter.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "host/application.h"
#include "host/console.h"

namespace {

using qmhost::Application;
using qmhost::HostFace;
using qmhost::HostObject;
using qmhost::Ref;

TEST(StreamLineSourceTest, ReadsLinesWithoutBreaksUntilTheEnd) {
  std::istringstream in("one\r\n\ntwo");
  qmhost::StreamLineSource source(in);
  std::vector<std::string> lines;
  std::string line;
  while (source.ReadLine(">>> ", &line)) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "", "two"}));
}

// Lines ending with ":" open a block that an empty line closes; "fail"
// fails; anything else is echoed back as two results, the second through
// the host's own value array.
class LineInterpreter : public HostObject, public CQmImpl_Module, public CQmImpl_LineInterpreter {
 public:
  explicit LineInterpreter(Application& app) : app_(app) {}

  QmResult mod_Generate(const char* name, const QmGUID* iid, void** object) override {
    if (!offered || std::strcmp(name, "python") != 0) return QMe_NOTFOUND;
    ++generated;
    block_.clear();  // a new interpreter has nothing pending
    return QueryInterface(iid, object);
  }
  uint32_t lin_Flags() override { return 6; }
  QmResult lin_Prompt(const char** prompt, uint32_t) override {
    *prompt = block_.empty() ? ">>> " : "... ";
    return QMe_OK;
  }
  QmResult lin_Execute(const char* line, int32_t, void* execution) override {
    auto* exec = static_cast<IQmLineExecution*>(execution);
    std::string text = line;
    seen.push_back(text);
    if (!text.empty() && text.back() == ':') {
      block_ = text;
      return QMe_OK;
    }
    if (!block_.empty()) {
      if (!text.empty()) return QMe_OK;
      text = block_ + " done";
      block_.clear();
    }
    if (text.compare(0, 5, "exit ") == 0) {  // "exit N": the plug-in's report of SystemExit
      exec->vt->Info(exec, "sys.exit() exception");
      return static_cast<QmResult>(std::stoul(text.substr(5), nullptr, 0));
    }
    if (text == "fail") {
      exec->vt->Info(exec, "ERROR: it failed\n");
      return QMe_FAILED;
    }
    auto* cs = static_cast<IQmCommandService*>(nullptr);
    QmQueryInterface(app_.Unknown(), IID_IQmCommandService, reinterpret_cast<void**>(&cs));
    void* values = nullptr;
    cs->vt->CreateQueryObject(cs, "string", &values);
    auto* va = static_cast<IQmValueArray*>(values);
    va->vt->AddString(va, text.c_str());
    va->vt->AddString(va, "again");
    exec->vt->Results(exec, va);
    QmRelease(va);
    QmRelease(cs);
    return QMe_OK;
  }
  void* Module() { return module_.get(); }

  bool offered = true;
  int generated = 0;
  std::vector<std::string> seen;

 protected:
  void* Find(const QmGUID& iid) override {
    if (iid == IID_QmBaseUnknown || iid == IID_IQmModule) return module_.get();
    return iid == IID_IQmLineInterpreter ? interpreter_.get() : nullptr;
  }

 private:
  Application& app_;
  std::string block_;
  HostFace<IQmModule> module_{this};
  HostFace<IQmLineInterpreter> interpreter_{this};
};

// A source that records the prompts it was shown.
class ScriptedSource : public qmhost::LineSource {
 public:
  explicit ScriptedSource(std::vector<std::string> lines) : lines_(std::move(lines)) {}
  bool ReadLine(const std::string& prompt, std::string* line) override {
    prompts.push_back(prompt);
    if (next_ == lines_.size()) return false;
    *line = lines_[next_++];
    return true;
  }
  std::vector<std::string> prompts;

 private:
  std::vector<std::string> lines_;
  size_t next_ = 0;
};

class ConsoleTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> lines) {
    ScriptedSource source(std::move(lines));
    std::ostringstream out, err;
    int rc = qmhost::RunConsole(static_cast<IQmModule*>(interpreter_->Module()), source, out, err);
    prompts_ = source.prompts;
    out_ = out.str();
    err_ = err.str();
    return rc;
  }

  long start_ = HostObject::LiveCount();
  Ref<Application> app_{new Application};
  Ref<LineInterpreter> interpreter_{new LineInterpreter(*app_)};
  std::vector<std::string> prompts_;
  std::string out_, err_;
};

TEST_F(ConsoleTest, PrintsResultsAndInfoAndTheCodeOfAFailedLine) {
  EXPECT_EQ(Run({"1+1", "fail", "for x in y:", "  pass", "", "last"}), 1);
  EXPECT_EQ(out_, "1+1\nagain\nERROR: it failed\nfor x in y: done\nagain\nlast\nagain\n");
  EXPECT_EQ(err_, "error: 0x80000000 FAILED\n");
  EXPECT_EQ(prompts_,
            (std::vector<std::string>{">>> ", ">>> ", ">>> ", "... ", "... ", ">>> ", ">>> "}));
  EXPECT_EQ(interpreter_->RefCount(), 1U);
}

TEST_F(ConsoleTest, AnExitEndsTheConsoleWithItsStatus) {
  EXPECT_EQ(Run({"1+1", "exit 4", "never"}), 4);
  EXPECT_EQ(interpreter_->seen, (std::vector<std::string>{"1+1", "exit 4"}));
  EXPECT_EQ(out_, "1+1\nagain\n");  // the report itself is not shown
  EXPECT_EQ(err_, "");
  EXPECT_EQ(Run({"fail", "exit 0"}), 0);  // the exit's status, not the failures before
  EXPECT_EQ(Run({"exit 0x80000017"}), 1);
  EXPECT_EQ(err_, "error: 0x80000017 NOTFOUND\n");
  EXPECT_EQ(Run({"exit 300"}), 1);  // no status of a process
}

// Ctrl-C drops the unfinished input with the interpreter that holds it.
class InterruptingSource : public qmhost::LineSource {
 public:
  explicit InterruptingSource(std::vector<std::string> lines) : lines_(std::move(lines)) {}
  bool ReadLine(const std::string&, std::string* line) override {
    if (next_ == lines_.size()) return false;
    *line = lines_[next_++];
    interrupted_ = *line == "^C";
    if (interrupted_) line->clear();
    return true;
  }
  bool TakeInterrupt() override { return std::exchange(interrupted_, false); }
  void Remember(const std::string& input) override { remembered.push_back(input); }
  std::vector<std::string> remembered;

 private:
  std::vector<std::string> lines_;
  size_t next_ = 0;
  bool interrupted_ = false;
};

TEST_F(ConsoleTest, CtrlCDropsTheUnfinishedInputAndInputsAreRemembered) {
  InterruptingSource source({"^C", "1+1", "for x in y:", "  pass", "^C", "last", "if 1:", "  a", ""});
  std::ostringstream out, err;
  int rc = qmhost::RunConsole(static_cast<IQmModule*>(interpreter_->Module()), source, out, err);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out.str(),
            "KeyboardInterrupt\n1+1\nagain\nKeyboardInterrupt\nlast\nagain\nif 1: done\nagain\n");
  EXPECT_EQ(interpreter_->generated, 2);  // only the interrupt inside the block made a new one
  EXPECT_EQ(interpreter_->seen, (std::vector<std::string>{"1+1", "for x in y:", "  pass", "last",
                                                          "if 1:", "  a", ""}));
  EXPECT_EQ(source.remembered, (std::vector<std::string>{"1+1", "last", "if 1:\n  a"}));
  EXPECT_EQ(err.str(), "");
}

TEST_F(ConsoleTest, AnOpenBlockIsClosedAtTheEndOfInput) {
  EXPECT_EQ(Run({"if 1:", "  pass"}), 0);
  EXPECT_EQ(interpreter_->seen, (std::vector<std::string>{"if 1:", "  pass", ""}));
  EXPECT_EQ(out_, "if 1: done\nagain\n");
  EXPECT_EQ(Run({}), 0);
  EXPECT_EQ(interpreter_->seen.size(), 3U);  // nothing was open: no empty line
}

TEST_F(ConsoleTest, AModuleWithoutALineInterpreterIsRefused) {
  interpreter_->offered = false;
  EXPECT_EQ(Run({"1+1"}), 1);
  EXPECT_EQ(err_, "qmhost: the plug-in has no Python line interpreter (0x80000017 NOTFOUND)\n");
  EXPECT_TRUE(prompts_.empty());
}

TEST(ConsoleCommandTest, RefusesAMissingPlugin) {
  qmhost::RunOptions options;
  options.pluginPath = "/nonexistent/libqmpython.so";
  std::istringstream in("1+1\n");
  qmhost::StreamLineSource source(in);
  std::ostringstream out, err;
  EXPECT_EQ(qmhost::ConsoleCommand(options, source, out, err), 1);
  EXPECT_NE(err.str().find("cannot load the plug-in"), std::string::npos) << err.str();
  EXPECT_EQ(out.str(), "");
}

}  // namespace

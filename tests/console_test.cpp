// The console's line interpreter through the real library: prompts,
// inputs that span lines, results and errors.
#include "interp/python.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <sstream>

#include "host/console.h"
#include "plugin_fixture.h"

namespace {

using qmhost::Ref;

class Console : public qmtest::ScriptRun {
 public:
  void SetUp() override {
    qmtest::ScriptRun::SetUp();
    IQmModule* module = plugin_->Module();
    void* made = nullptr;
    ASSERT_EQ(module->vt->Generate(module, "python", &IID_IQmLineInterpreter, &made), QMe_OK);
    lines_ = static_cast<IQmLineInterpreter*>(made);
  }
  void TearDown() override {
    if (lines_ != nullptr) QmRelease(lines_);
    qmtest::ScriptRun::TearDown();
  }

  // Executes one line; what the line execution printed goes to `printed`.
  QmResult Line(const char* text, std::string* printed = nullptr) {
    std::ostringstream out;
    Ref<qmhost::LineExecution> exec(new qmhost::LineExecution(out));
    QmResult rc = lines_->vt->Execute(lines_, text, 0, exec->Face());
    if (printed != nullptr) *printed = out.str();
    return rc;
  }

  // Executes lines that must each succeed.
  void Lines(std::initializer_list<const char*> texts) {
    for (const char* text : texts) EXPECT_EQ(Line(text), QMe_OK) << text;
  }

  std::string Prompt(uint32_t type = 0) {
    const char* prompt = nullptr;
    EXPECT_EQ(lines_->vt->Prompt(lines_, &prompt, type), QMe_OK);
    return prompt != nullptr ? prompt : "";
  }

  IQmLineInterpreter* lines_ = nullptr;
};

TEST_F(Console, ExpressionsEchoTheirValuesAsStrings) {
  EXPECT_EQ(lines_->vt->Flags(lines_), 6U);
  std::string out;
  EXPECT_EQ(Line("1+1", &out), QMe_OK);
  EXPECT_EQ(out, "2\n");
  EXPECT_EQ(Line("x = [1, 2.5, 'three']", &out), QMe_OK);
  EXPECT_EQ(out, "");  // a statement has no results
  EXPECT_EQ(Line("x", &out), QMe_OK);
  EXPECT_EQ(out, "1\n2.5\nthree\n");  // one string per element
  EXPECT_EQ(Line("'abc'", &out), QMe_OK);
  EXPECT_EQ(out, "abc\n");  // a string is one result, not one per character
  EXPECT_EQ(Line("None", &out), QMe_OK);
  EXPECT_EQ(out, "");
  EXPECT_EQ(Line("import qm; qm.out('said')", &out), QMe_OK);
  EXPECT_EQ(out, "said\n");  // output goes to the line's execution
}

TEST_F(Console, CompoundStatementsWaitForAnEmptyLine) {
  EXPECT_EQ(Prompt(), ">>> ");
  EXPECT_EQ(Prompt(1), "... ");
  EXPECT_EQ(Line("total = 0"), QMe_OK);
  EXPECT_EQ(Line("for i in range(4):"), QMe_OK);
  EXPECT_EQ(Prompt(), "... ");
  EXPECT_EQ(Prompt(1), ">>> ");
  std::string out;
  EXPECT_EQ(Line("    total += i", &out), QMe_OK);  // complete, but kept for more
  EXPECT_EQ(Prompt(), "... ");
  EXPECT_EQ(Line("total", &out), QMe_OK);  // still inside the block: not run yet
  EXPECT_EQ(out, "");
  EXPECT_EQ(Line("", &out), QMe_OK);  // runs the block
  EXPECT_EQ(Prompt(), ">>> ");
  EXPECT_EQ(Line("total", &out), QMe_OK);
  EXPECT_EQ(out, "6\n");
}

TEST_F(Console, AnExpressionOverSeveralLinesShowsItsValueWhenItRuns) {
  std::string out;
  Lines({"(1 +", "2)"});  // complete, but kept for more
  EXPECT_EQ(Line("", &out), QMe_OK);
  EXPECT_EQ(out, "3\n");
  EXPECT_EQ(Prompt(), ">>> ");
}

TEST_F(Console, EmptyLineAtThePromptRunsNothing) {
  EXPECT_EQ(Line(""), QMe_SCRIPT_LINEISCOMMENT);
  EXPECT_EQ(Line(nullptr), QMe_SCRIPT_LINEISCOMMENT);
  EXPECT_EQ(Prompt(), ">>> ");
}

TEST_F(Console, ErrorsAreReportedAtOnceWithTheirCodes) {
  std::string out;
  EXPECT_EQ(Line("(1 + 2))", &out), QMe_FAILED);  // cannot be completed by more lines
  EXPECT_EQ(out,
            "ERROR: Unhandled exception \"exceptions.SyntaxError\"; invalid syntax (<string>, "
            "line 1)\n");
  EXPECT_EQ(Prompt(), ">>> ");
  EXPECT_EQ(Line("{}['missing']", &out), QMe_NOTFOUND);
  EXPECT_EQ(out.substr(0, out.find('\n')),
            "ERROR: Unhandled exception \"exceptions.KeyError\"; 'missing'");
  EXPECT_EQ(Line("[][3]", &out), QMe_OUTOFBOUNDS);
  // Names persist between inputs: the console runs in one interpreter.
  EXPECT_EQ(Line("kept = 41"), QMe_OK);
  EXPECT_EQ(Line("kept + 1", &out), QMe_OK);
  EXPECT_EQ(out, "42\n");
}

// The lines of an input keep their numbers: a traceback names the line of
// the input where each frame stands.
TEST_F(Console, TracebacksNameTheLinesAsTyped) {
  Lines({"def f():", "  x = 1", "  1/0", ""});
  std::string out;
  EXPECT_EQ(Line("f()", &out), QMe_FAILED);
  EXPECT_NE(out.find("\n .. <string>: 3\n .. <string>: 1\n"), std::string::npos) << out;
  Lines({"if 1:"});
  EXPECT_EQ(Line("  (1 + 2))", &out), QMe_FAILED);  // wrong whatever follows
  EXPECT_NE(out.find("invalid syntax (<string>, line 2)"), std::string::npos) << out;
}

// A value whose text cannot be made reports Python's error, not only a code.
TEST_F(Console, AValueWithoutATextReportsPythonsError) {
  std::string out;
  EXPECT_EQ(Line("u'\\u20ac'", &out), QMe_FAILED);
  EXPECT_NE(out.find("ERROR: Unhandled exception \"exceptions.UnicodeEncodeError\""),
            std::string::npos)
      << out;
  Lines({"class Mute(object):", "  def __str__(self): raise ValueError('no text')", ""});
  EXPECT_EQ(Line("Mute()", &out), QMe_FAILED);
  EXPECT_EQ(out.substr(0, out.find('\n')),
            "ERROR: Unhandled exception \"exceptions.ValueError\"; no text");
  EXPECT_EQ(Line("[1, Mute()]", &out), QMe_FAILED);  // an item of a sequence too
  EXPECT_NE(out.find("no text"), std::string::npos) << out;
  EXPECT_EQ(Line("'still here'", &out), QMe_OK);
  EXPECT_EQ(out, "still here\n");
}

// An input that raises SystemExit tells the host that the console ends,
// with its exit value read as a script's is; None and no value are 0.
TEST_F(Console, AnExitAsksTheConsoleToEndWithItsStatus) {
  struct Case {
    const char* line;
    QmResult code;
    const char* printed;
  } cases[] = {
      {"exit()", QMe_OK, ""},
      {"quit(3)", 3, ""},
      {"import sys; sys.exit(7)", 7, ""},
      {"raise SystemExit", QMe_OK, ""},
      {"sys.exit('QMe_NOTFOUND: item gone')", QMe_NOTFOUND, "ERROR:  item gone\n"},
      {"sys.exit('0x80000003')", QMe_INVALIDARG, ""},
      {"sys.exit(': only a text')", QMe_FAILED, "ERROR:  only a text\n"},
      {"def leave():\n  sys.exit(5)\n\nleave()", 5, ""},
  };
  for (const Case& c : cases) {
    std::ostringstream out;
    Ref<qmhost::LineExecution> exec(new qmhost::LineExecution(out));
    EXPECT_EQ(lines_->vt->Execute(lines_, c.line, 0, exec->Face()), c.code) << c.line;
    EXPECT_TRUE(exec->ExitRequested()) << c.line;
    EXPECT_EQ(out.str(), c.printed) << c.line;
    EXPECT_EQ(Prompt(), ">>> ");
  }
  // Anything else is no exit; the interpreter still runs inputs.
  std::ostringstream out;
  Ref<qmhost::LineExecution> exec(new qmhost::LineExecution(out));
  EXPECT_EQ(lines_->vt->Execute(lines_, "1/0", 0, exec->Face()), QMe_FAILED);
  EXPECT_FALSE(exec->ExitRequested());
  std::string printed;
  EXPECT_EQ(Line("6 * 7", &printed), QMe_OK);
  EXPECT_EQ(printed, "42\n");
}

// An input runs once, also when it raises: what it did before the error is
// done once, and the error reported is the one that run raised.
TEST_F(Console, AFailingExpressionAppendsOnce) {
  std::string out;
  EXPECT_EQ(Line("seen = []"), QMe_OK);
  EXPECT_EQ(Line("seen.append(1) or 1/0", &out), QMe_FAILED);
  EXPECT_EQ(out.substr(0, out.find('\n')),
            "ERROR: Unhandled exception \"exceptions.ZeroDivisionError\"; integer division or "
            "modulo by zero");
  EXPECT_EQ(Line("len(seen)", &out), QMe_OK);
  EXPECT_EQ(out, "1\n");
}

TEST_F(Console, AFailingFunctionPrintsOnce) {
  std::string out;
  Lines({"import qm, sys, StringIO; sys.stdout = StringIO.StringIO()", "def shout():",
         "    qm.out('said')", "    print 'printed'", "    return {}['gone']", ""});
  EXPECT_EQ(Line("shout()", &out), QMe_NOTFOUND);
  EXPECT_EQ(out.substr(0, out.find("ERROR")), "said\n");  // the sink got it once
  EXPECT_EQ(Line("sys.stdout.getvalue()", &out), QMe_OK);
  EXPECT_EQ(out, "printed\n");  // and so did sys.stdout
}

TEST_F(Console, AFailingExpressionRunsAHostCommandOnce) {
  EXPECT_EQ(Line("import qm"), QMe_OK);
  EXPECT_EQ(Line("[qm.eval('item.create locator'), 1/0]"), QMe_FAILED);
  qmhost::SceneState scene = app_->GetScene().Snapshot();
  ASSERT_EQ(scene.items.size(), 1U);
  EXPECT_EQ(scene.items[0].name, "locator1");
}

TEST_F(Console, TheErrorOfTheOnlyRunIsReported) {
  // A second run would index the list and raise IndexError instead.
  std::string out;
  EXPECT_EQ(Line("order = iter([{}, []])"), QMe_OK);
  EXPECT_EQ(Line("next(order)[0]", &out), QMe_NOTFOUND);
  EXPECT_EQ(out.substr(0, out.find('\n')), "ERROR: Unhandled exception \"exceptions.KeyError\"; 0");
  EXPECT_EQ(Line("list(order)", &out), QMe_OK);
  EXPECT_EQ(out, "[]\n");  // the list is still there: next() was called once
}

// A Ctrl-C that came while the console waited at its prompt does not take
// the next input with it: the input runs and gives its result.
TEST_F(Console, AnInterruptPendingAtThePromptLetsTheNextInputRun) {
  std::string out;
  EXPECT_EQ(Line("0"), QMe_OK);  // Python has started
  PyErr_SetInterrupt();
  EXPECT_EQ(Line("1+1", &out), QMe_OK);
  EXPECT_EQ(out, "2\n");
  PyErr_SetInterrupt();
  EXPECT_EQ(Line("kept = 5", &out), QMe_OK);
  EXPECT_EQ(out, "");
  EXPECT_EQ(Line("kept", &out), QMe_OK);
  EXPECT_EQ(out, "5\n");
}

// What a signal handler of the script's own raises at the prompt is
// reported, and the input runs all the same.
TEST_F(Console, ASignalHandlersErrorAtThePromptIsReportedAndTheInputRuns) {
  std::string out;
  Lines({"import signal", "def refuse(*args): raise ValueError('from the handler')",
         "previous = signal.signal(signal.SIGINT, refuse)"});
  PyErr_SetInterrupt();
  EXPECT_EQ(Line("6*7", &out), QMe_OK);
  EXPECT_EQ(out.substr(0, out.find('\n')),
            "ERROR: Unhandled exception \"exceptions.ValueError\"; from the handler");
  EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2) + 1), "42\n");
  EXPECT_EQ(Line("signal.signal(signal.SIGINT, previous) is refuse", &out), QMe_OK);
  EXPECT_EQ(out, "True\n");
}

TEST(ConsoleCompleteness, PipedSessionPrintsResultsOnly) {
  Ref<qmhost::Application> app(new qmhost::Application);
  std::string error;
  auto plugin = qmhost::Plugin::Load(QM_PLUGIN_PATH, *app, &error);
  ASSERT_TRUE(plugin) << error;
  std::istringstream in("def f(x):\n    return x * 2\n\nf(21)\nundefined\n");
  qmhost::StreamLineSource source(in);
  std::ostringstream out, err;
  qmhost::RunConsole(plugin->Module(), source, out, err);
  EXPECT_EQ(out.str(),
            "42\n"
            "ERROR: Unhandled exception \"exceptions.NameError\"; name 'undefined' is not "
            "defined\n"
            " .. <string>: 1\n");
  EXPECT_EQ(err.str(), "error: 0x80000000 FAILED\n");
  EXPECT_EQ(plugin->Unload(), "");
}

}  // namespace

#include "interp/python.h"

#include "servers/line_server.h"

#include <cstdio>

#include "interp/manager.h"
#include "interp/output.h"
#include "interp/report.h"
#include "interp/result.h"
#include "interp/threads.h"
#include "module/handles_value.h"
#include "module/this_module.h"
#include "servers/exec_output.h"

namespace Python_LineInterp {

namespace {

const QmTagInfo kTags[] = {
    {"server.username", "Python", nullptr},
    {"server.logsubsystem", "python", nullptr},
    {nullptr, nullptr, nullptr},
};

constexpr uint32_t kNoResult = 2;    // fLINT_NORESULT
constexpr uint32_t kNoCooking = 4;   // fLINT_NOCOOKING
constexpr uint32_t kCurrentPrompt = 0;  // iLINT_CURRENT

// Every compile of console input uses the name its runs report, so that
// a statement compiled to test the input's completeness can run as it is.
const char kInputName[] = "<string>";

// `text` compiled as an expression; null, with nothing pending, when it is
// not one.
PyObject* CompileExpression(const std::string& text) {
  PyObject* code = Py_CompileStringFlags(text.c_str(), kInputName, Py_eval_input, nullptr);
  if (code == nullptr) PyErr_Clear();
  return code;
}

// `text` compiled as statements; null with the error pending when it does
// not compile.
PyObject* CompileStatements(const std::string& text) {
  return Py_CompileStringFlags(text.c_str(), kInputName, Py_file_input, nullptr);
}

// Compiles `text` as statements; true when it compiles.  On a failure the
// error stays pending.
bool Compiles(const std::string& text) {
  PyRef code(CompileStatements(text));
  return static_cast<bool>(code);
}

// The text of the pending exception's value; the exception is consumed.
std::string FetchErrorText() {
  PyErrorState error;
  error.Fetch();
  PyRef str(error.value ? PyObject_Str(error.value.get()) : nullptr);
  if (!str || !PyString_Check(str.get())) {
    PyErr_Clear();
    return std::string();
  }
  return std::string(PyString_AS_STRING(str.get()), PyString_GET_SIZE(str.get()));
}

// Signals that came while the console waited at its prompt are handled
// before the input runs, so that they do not fail it: a Ctrl-C there is
// dropped, and whatever else a signal handler raises is reported.
void HandlePromptSignals() {
  if (PyErr_CheckSignals() == 0) return;
  if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
    PyErr_Clear();
  } else {
    ReportPendingException();
  }
}

// An input that raised SystemExit (`exit()`, `quit()`, `sys.exit(n)`)
// asks the console to end.  The line execution hears "sys.exit()
// exception" (not a failure), by which the host knows it; the answer is
// the exit value read as a script's end reads it (a code name or a
// number, a colon and a text), except that None and no value are 0 as
// Python's own exit status; a text part is shown on a line of its own.
QmResult ReportConsoleExit() {
  PyErrorState error;
  error.Fetch();
  PyRef value;
  if (error.value && PyExceptionInstance_Check(error.value.get())) {
    value.reset(PyObject_GetAttrString(error.value.get(), "code"));
    if (!value) PyErr_Clear();
  }
  WriteOutput(kConsoleExitReport, QMe_OK);
  if (!value || value.get() == Py_None) return QMe_OK;
  if (PyInt_Check(value.get())) return static_cast<QmResult>(PyInt_AS_LONG(value.get()));
  PyRef str(PyObject_Str(value.get()));
  if (!str || !PyString_Check(str.get())) {
    PyErr_Clear();
    return QMe_FAILED;
  }
  ExitParts parts = SplitExitText(PyString_AS_STRING(str.get()));
  if (parts.hasText) WriteOutput(parts.text.c_str(), parts.code);
  return parts.code;
}

}  // namespace

int CompletenessOf(std::string& text, PyRef* code) {
  PyRef compiled(CompileStatements(text));
  if (compiled) {
    if (code != nullptr) code->reset(compiled.release());
    return 1;
  }
  if (!PyErr_ExceptionMatches(PyExc_SyntaxError)) {
    PyErr_Clear();
    return -1;
  }
  PyErr_Clear();
  text += "\n";
  if (Compiles(text)) return 0;
  if (!PyErr_ExceptionMatches(PyExc_SyntaxError)) {
    PyErr_Clear();
    return -1;
  }
  std::string first = FetchErrorText();
  text += "\n\n";
  if (Compiles(text)) return 0;  // it compiles once more lines follow: unfinished
  if (!PyErr_ExceptionMatches(PyExc_SyntaxError)) {
    PyErr_Clear();
    return -1;
  }
  std::string second = FetchErrorText();
  return first == second ? -1 : 0;
}

CLineInterpreter::CLineInterpreter()
    : CQmStaticTags(kTags),
      commandService_(static_cast<IQmCommandService*>(
          CQmThisModule::Get().LookupGlobal(&IID_IQmCommandService))) {}

uint32_t CLineInterpreter::lin_Flags() {
  // The console's first question starts Python; a failure to start must
  // not keep the host from its answer.
  try {
    GetInterpreterManager();
  } catch (...) {
  }
  return kNoResult | kNoCooking;
}

QmResult CLineInterpreter::lin_Prompt(const char** prompt, uint32_t type) {
  if (prompt == nullptr) return QMe_INVALIDARG;
  bool continuation = !pending_.empty();
  if (type != kCurrentPrompt) continuation = !continuation;
  *prompt = continuation ? "... " : ">>> ";
  return QMe_OK;
}

QmResult CLineInterpreter::ShowValue(PyObject* value, CExecOutput& sink) {
  try {
    CQmUser_ValueArray values;
    void* array = nullptr;
    QmResult made = commandService_ != nullptr
                        ? commandService_->vt->CreateQueryObject(commandService_, "string", &array)
                        : QMe_NOTAVAILABLE;
    CheckResult(made);
    CheckTrue(values.take(array), QMe_FAILED);
    auto add = [&](PyObject* item) {
      PyRef str(PyObject_Str(item));
      const char* text = str ? PyString_AsString(str.get()) : nullptr;
      CheckPointer(text, QMe_FAILED);
      CheckResult(values.AddString(text));
    };
    if (PySequence_Check(value) && !PyString_Check(value)) {
      Py_ssize_t n = PySequence_Size(value);
      CheckNonNegative(n, QMe_FAILED);
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyRef item(PySequence_GetItem(value, i));
        CheckPointer(item.get(), QMe_FAILED);
        add(item.get());
      }
    } else {
      add(value);
    }
    CheckResult(sink.Results(values.raw()));
    return QMe_OK;
  } catch (QmResult code) {
    // The line ran; only its value cannot be shown.
    if (PyErr_Occurred()) {
      ReportPendingException();
    } else {
      char text[80];
      std::snprintf(text, sizeof text, "the value of the line could not be shown (%08X)",
                    static_cast<unsigned>(code));
      sink.Write(text, code);
    }
    return QmFailed(code) ? code : QMe_FAILED;
  }
}

QmResult CLineInterpreter::lin_Execute(const char* line, int32_t, void* execution) {
  if (line == nullptr) line = "";
  bool pending = !pending_.empty();
  bool empty = *line == '\0';
  if (!pending && empty) return QMe_SCRIPT_LINEISCOMMENT;

  // The line's sink takes what Python writes, a failed start-up's report
  // included.
  CExecOutput sink(execution);
  struct Pushed {
    explicit Pushed(COutput* sink) { PushOutput(sink); }
    ~Pushed() { PopOutput(); }
  } pushed(&sink);
  CInterpreterManager* manager = GetInterpreterManager();
  PythonScope python(ThreadRootState());
  InterpreterRecord* root = manager->RootRecord();
  if (pending) pending_ += "\n";
  if (!empty) pending_ += line;

  // A first line that is an expression is complete, and what it compiled
  // to is what runs.  Anything else runs as the statements that the
  // completeness test compiled, except that an input of several lines that
  // is one expression shows its value too.
  PyRef code;
  if (!pending) code.reset(CompileExpression(pending_));
  if (!code) {
    // The test tries the text with line feeds added; what stays pending is
    // the text as typed, so that line numbers in tracebacks are the
    // input's own.
    PyRef statements;
    std::string probe = pending_;
    int state = CompletenessOf(probe, &statements);
    if (state == 0 || (state == 1 && pending && !empty)) return QMe_OK;
    if (pending && statements) code.reset(CompileExpression(pending_));
    if (!code) code.reset(statements.release());
  }

  std::string input;
  input.swap(pending_);
  QmResult rc = QMe_OK;
  {
    HandlePromptSignals();
    // An input that cannot compile is compiled once more, for its error.
    if (!code) code.reset(CompileStatements(input));
    PyRef result(code ? PyEval_EvalCode(reinterpret_cast<PyCodeObject*>(code.get()),
                                         root->globals, root->locals)
                      : nullptr);
    if (!result) {
      rc = PyErr_ExceptionMatches(PyExc_SystemExit) ? ReportConsoleExit()
                                                    : ReportPendingException();
    } else if (result.get() != Py_None) {
      rc = ShowValue(result.get(), sink);
    }
  }
  return rc;
}

void RegisterLineServer() {
  static CQmPolymorph<CLineInterpreter> factory;
  if (factory.FirstInterface() == nullptr) {
    factory.AddInterface<IQmLineInterpreter>();
    factory.AddInterface<IQmTagDescription>();
  }
  CQmThisModule::Get().AddServer("python", &factory);
}

}  // namespace Python_LineInterp

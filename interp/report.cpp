#include "interp/report.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "interp/output.h"
#include "interp/result.h"
#include "module/this_module.h"

namespace {

void ReportTraceback(PyObject* tb) {
  if (tb == nullptr || !PyTraceBack_Check(tb)) return;
  auto* traceback = reinterpret_cast<PyTracebackObject*>(tb);
  ReportTraceback(reinterpret_cast<PyObject*>(traceback->tb_next));
  PyFrameObject* frame = traceback->tb_frame;
  PyObject* filename = frame != nullptr && frame->f_code != nullptr ? frame->f_code->co_filename
                                                                    : nullptr;
  CheckPointer(filename, QMe_FAILED);
  std::string line = " .. " + StrOf(filename) + ": " + std::to_string(traceback->tb_lineno);
  WriteOutput(line.c_str(), QMe_INFO);
}

// A fixed-size text that takes parts only while they fit.
class BoundedText {
 public:
  explicit BoundedText(const char* start) { Append(start); }
  void Append(const char* part) {
    if (part == nullptr) return;
    size_t room = kSize - 1 - text_.size();
    text_.append(part, std::min(room, std::strlen(part)));
  }
  void Append(const std::string& part) { Append(part.c_str()); }
  void Clear() { text_.clear(); }
  const std::string& Text() const { return text_; }
  const char* c_str() const { return text_.c_str(); }

 private:
  static constexpr size_t kSize = 1024;
  std::string text_;
};

// PyObject_Str, or "<unknown>" when that fails or gives no string.
std::string Converted(PyObject* object) {
  PyRef text(object != nullptr ? PyObject_Str(object) : nullptr);
  if (text && PyString_Check(text.get())) return PyString_AS_STRING(text.get());
  PyErr_Clear();
  return "<unknown>";
}

std::string ConvertedAttribute(PyObject* object, const char* name) {
  PyRef attr(PyObject_GetAttrString(object, name));
  return Converted(attr.get());
}

struct ParserName {
  const char* name;
  QmResult code;
};

const ParserName kParserNames[] = {
    {"QMe_OK", QMe_OK},
    {"QMe_TRUE", QMe_TRUE},
    {"QMe_FALSE", QMe_FALSE},
    {"QMe_INFO", QMe_INFO},
    {"QMe_WARNING", QMe_WARNING},
    {"QMe_NOTIMPL", QMe_NOTIMPL},
    {"QMe_OUTOFMEMORY", QMe_OUTOFMEMORY},
    {"QMe_FAILED", QMe_FAILED},
    {"QMe_ABORT", QMe_ABORT},
    {"QMe_INVALIDARG", QMe_INVALIDARG},
    {"QMe_NOACCESS", QMe_NOACCESS},
    {"QMe_OUTOFBOUNDS", QMe_OUTOFBOUNDS},
    {"QMe_NOTFOUND", QMe_NOTFOUND},
    {"QMe_DISABLED", QMe_DISABLED},
    {"QMe_NOTAVAILABLE", QMe_NOTAVAILABLE},
    {"QMe_ALREADYEXISTS", QMe_ALREADYEXISTS},
    {"QMe_SHORTBUFFER", QMe_SHORTBUFFER},
    {"QMe_PRESET_ALREADY_APPLIED", QMe_PRESET_ALREADY_APPLIED},
};

// The host's text of a result code, from its "qmresult" message table.
// False when the host has no such text.
bool ResultText(QmResult code, char* text, uint32_t size) {
  auto* messages = static_cast<IQmMessageService*>(
      CQmThisModule::Get().LookupGlobal(&IID_IQmMessageService));
  if (messages == nullptr) return false;
  void* object = nullptr;
  if (QmFailed(messages->vt->Allocate(messages, &object)) || object == nullptr) return false;
  CQmUser_Message message;
  message.take(object);
  text[0] = '\0';
  bool ok = message.test() && !QmFailed(message.SetMessage("qmresult", nullptr, code)) &&
            !QmFailed(messages->vt->MessageText(messages, message.raw(), text, size));
  text[size - 1] = '\0';
  return ok;
}

}  // namespace

void ReportException(PyObject* type, PyObject* value, PyObject* traceback) {
  std::string text;
  QmResult code = QMe_FAILED;
  if (type == nullptr) {
    text = "Unexpected or NULL exception";
    if (value != nullptr) text += std::string(" (") + Py_TYPE(value)->tp_name + ")";
  } else if (PyErr_GivenExceptionMatches(type, PyExc_SystemExit)) {
    text = "sys.exit() exception";
    code = QMe_OK;
  } else {
    text = "Unhandled exception";
    PyTypeObject* shown = nullptr;
    if (PyType_Check(type)) {
      shown = reinterpret_cast<PyTypeObject*>(type);
    } else if (value != nullptr) {
      shown = Py_TYPE(value);
    }
    if (shown != nullptr && shown->tp_name != nullptr) {
      text += std::string(" \"") + shown->tp_name + "\"";
    }
    if (value != Py_None) {
      CheckPointer(value, QMe_FAILED);
      text += "; " + StrOf(value);
    }
  }
  WriteOutput(text.c_str(), code);
  ReportTraceback(traceback);
}

QmResult ReportPendingException() {
  if (!PyErr_Occurred()) {
    WriteOutput("no Python execption found", QMe_FAILED);
    return QMe_FAILED;
  }
  PyErrorState error;
  error.Fetch();
  ReportException(error.type.get(), error.value.get(), error.traceback.get());
  return ResultFromException(error.type.get(), error.value.get());
}

QmResult ParseExitCode(const char* part) {
  for (const auto& entry : kParserNames) {
    if (std::strcmp(part, entry.name) == 0) return entry.code;
  }
  if (std::strlen(part) >= 3 && (part[1] == 'x' || part[1] == 'X')) {
    unsigned int value = 0;
    if (std::sscanf(part + 2, "%x", &value) != 1) value = 0;
    return value;
  }
  return static_cast<QmResult>(std::atoi(part));
}

ExitParts SplitExitText(const std::string& exitText) {
  ExitParts parts;
  if (exitText.empty()) {
    parts.code = QMe_OK;
    return parts;
  }
  size_t colon = exitText.find(':');
  std::string codePart;
  if (colon == std::string::npos) {
    codePart = exitText;
    parts.hasCode = true;
  } else if (colon == 0) {
    parts.text = exitText.substr(1);
    parts.hasText = true;
  } else {
    codePart = exitText.substr(0, colon);
    parts.text = exitText.substr(colon + 1);
    parts.hasCode = parts.hasText = true;
  }
  if (parts.hasCode) parts.code = ParseExitCode(codePart.c_str());
  return parts;
}

QmResult ReportScriptTermination(CEmbedInterpreter& run) {
  BoundedText buffer("ERROR: ");
  const size_t bareStart = buffer.Text().size();
  if (!PyErr_Occurred()) {
    buffer.Append("no reason for termination (?)");
    WriteOutput(buffer.c_str(), QMe_FAILED);
    return QMe_FAILED;
  }
  PyErrorState error;
  error.Fetch();
  PyObject* type = error.type.get();
  PyObject* value = error.value.get();
  PyObject* tb = error.traceback.get();

  if (type == nullptr) {
    if (tb != nullptr) buffer.Append(" line " + ConvertedAttribute(tb, "tb_lineno"));
    if (value != nullptr) buffer.Append(std::string(" (") + Py_TYPE(value)->tp_name + ")");
    if (tb == nullptr && value == nullptr) buffer.Append("Unexpected or NULL exception (?)");
    WriteOutput(buffer.c_str(), QMe_FAILED);
    return QMe_FAILED;
  }

  CQmUser_Message& message = run.Message();
  if (!PyErr_GivenExceptionMatches(type, PyExc_SystemExit)) {
    buffer.Append("Unhandled exception");
    if (PyClass_Check(type)) {
      PyObject* name = reinterpret_cast<PyClassObject*>(type)->cl_name;
      if (name != nullptr) buffer.Append(" \"" + Converted(name) + "\"");
    }
    if (tb != nullptr) {
      buffer.Append(", line " + ConvertedAttribute(tb, "tb_lineno"));
      PyRef offset(PyObject_GetAttrString(tb, "tb_offset"));
      if (offset) {
        buffer.Append(", char " + Converted(offset.get()));
      } else {
        PyErr_Clear();  // traceback objects carry no offset
      }
    }
    if (value != Py_None) buffer.Append("; " + Converted(value));
    if (message.test()) {
      message.SetCode(run.Result());
      message.SetMessage("pythonintr", nullptr, 1);
      message.SetArgumentString(1, buffer.c_str() + bareStart);
    }
    WriteOutput(buffer.c_str(), QMe_FAILED);
    return QMe_FAILED;
  }

  // sys.exit(): "CODE", "CODE: text" or ": text".
  if (value == Py_None) return QMe_FAILED;
  buffer.Clear();
  buffer.Append(Converted(value));
  const ExitParts parts = SplitExitText(buffer.Text());
  const bool hasCode = parts.hasCode, hasText = parts.hasText;
  const std::string& textPart = parts.text;
  QmResult result = parts.code;
  if (message.test() && (hasCode || hasText)) {
    message.SetCode(run.Result());
    message.SetMessage("pythonintr", nullptr, hasCode && hasText ? 2 : hasCode ? 3 : 4);
    if (hasCode) {
      char text[1024];
      if (ResultText(result, text, sizeof text)) {
        message.SetArgumentString(1, text);
      } else {
        message.SetArgumentInt(1, static_cast<int32_t>(result));
      }
    }
    if (hasText) message.SetArgumentString(hasCode ? 2 : 1, textPart.c_str());
  }
  return result;
}

PyObject* QmOutEx(PyObject*, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    const char* text = nullptr;
    if (!PyArg_ParseTuple(args, "|s", &text)) ThrowParseError();
    PyErrorState error;
    error.Fetch();
    WriteOutput(text, QMe_WARNING);
    ReportException(error.type.get(), error.value.get(), error.traceback.get());
    return ReturnNone();
  });
}

#include "scripting/commands.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "interp/manager.h"
#include "interp/result.h"
#include "module/handles_message.h"
#include "module/this_module.h"
#include "qm_ifc_log.h"
#include "scripting/dict_pairs.h"
#include "scripting/functions.h"

namespace {

constexpr double kDegreesPerRadian = 57.29577951308232;
constexpr char kArgAttribFactory[] = "pyArgAttrib";

InterpreterRecord* Current() { return GetInterpreterManager()->TopRecord(); }

template <class I>
I* Service(const QmGUID& guid) {
  return static_cast<I*>(CQmThisModule::Get().LookupGlobal(&guid));
}

// Raises RuntimeError with `text` and writes it as a trace line.
PyObject* Fail(const char* traceName, const char* text) {
  TraceLine(traceName, text, QMe_FAILED);
  return RaiseRuntime("%s", text);
}

// Readable text of a converted value, for trace lines.
std::string ValueText(PyObject* value) {
  PyRef str(PyObject_Str(value));
  const char* chars = str ? PyString_AsString(str.get()) : nullptr;
  if (chars == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return chars;
}

PyObject* ConvertValue(CQmUser_ValueArray& values, uint32_t type, uint32_t index,
                       const QmTextValueHint* hints, double factor, bool* failed) {
  *failed = false;
  if (type == 1) {
    int32_t value = 0;
    if (QmFailed(values.GetInt(index, &value))) {
      *failed = true;
      return nullptr;
    }
    if (hints != nullptr) {
      if (auto* vs = Service<IQmValueService>(IID_IQmValueService)) {
        char text[2048] = {};
        QmResult rc = vs->vt->TextHintEncode(vs, value, hints, text, sizeof text);
        // A failed encoding is no text either: the number stands.
        if (rc != QMe_OK_NO_CHOICES && !QmFailed(rc)) {
          text[sizeof text - 1] = '\0';
          return PyString_FromString(text);
        }
      }
    }
    return PyInt_FromLong(value);
  }
  if (type == 2) {
    double value = 0;
    if (QmFailed(values.GetFloat(index, &value))) {
      *failed = true;
      return nullptr;
    }
    return PyFloat_FromDouble(value * factor);
  }
  char text[2048] = {};
  if (QmFailed(values.GetString(index, text, sizeof text))) {
    *failed = true;
    return nullptr;
  }
  text[sizeof text - 1] = '\0';
  return PyString_FromString(text);
}

}  // namespace

IQmCommandService* CommandService() { return Service<IQmCommandService>(IID_IQmCommandService); }

PyObject* ValueArrayToPython(CQmUser_ValueArray& values, const QmTextValueHint* hints,
                             EvalMode mode) {
  uint32_t type = 0;
  if (QmFailed(values.Type(&type))) {
    return Fail("value_array", "internal: could not get value type");
  }
  const char* typeName = nullptr;
  if (QmFailed(values.TypeName(&typeName))) {
    return Fail("value_array", "internal: could not get value type name.");
  }
  uint32_t n = values.Count();
  bool tuple = mode == EvalMode::kTuple || (mode == EvalMode::kNatural && n > 1);
  double factor = Current()->angleOption != 0 && typeName != nullptr &&
                          std::strcmp(typeName, "angle") == 0
                      ? kDegreesPerRadian
                      : 1.0;
  if (!tuple) {
    if (n == 0) return ReturnNone();
    n = 1;
  }
  PyRef result;
  if (tuple) {
    result.reset(PyTuple_New(n));
    if (!result) {
      TraceLine("value_array", "internal:  Could not allocate Python tuple", QMe_INFO);
      return nullptr;
    }
  }
  for (uint32_t i = 0; i < n; ++i) {
    bool failed = false;
    PyObject* value = ConvertValue(values, type, i, hints, factor, &failed);
    if (failed) return Fail("qm.eval", "internal error: could not get value");
    if (value == nullptr) return nullptr;
    if (GetTraceFlag()) {
      std::string name = "qm.eval " + std::to_string(i);
      TraceLine(name.c_str(), ValueText(value).c_str(), QMe_INFO);
    }
    if (!tuple) return value;
    PyTuple_SET_ITEM(result.get(), i, value);
  }
  return result.release();
}

bool ExecuteCommand(CQmUser_Command& command, uint32_t flags) {
  command.Execute(flags);
  std::string traceName = "qm.command(unknown)";
  const char* name = nullptr;
  if (!QmFailed(command.Name(&name)) && name != nullptr) {
    traceName = std::string("qm.command(") + name + ")";
  }
  void* object = nullptr;
  CQmUser_Message message;
  if (QmFailed(command.Message(&object)) || !message.take(object)) {
    Fail(traceName.c_str(), "internal error: could not get get message object");
    return false;
  }
  QmResult code = message.ptr()->vt->Code(message.ptr());
  if (!QmFailed(code)) {
    TraceLine(traceName.c_str(), "succeeded", QMe_INFO);
    return true;
  }
  char text[200] = {};
  if (auto* ms = Service<IQmMessageService>(IID_IQmMessageService)) {
    ms->vt->MessageText(ms, message.raw(), text, sizeof text);
    text[sizeof text - 1] = '\0';
  }
  char failure[256];
  std::snprintf(failure, sizeof failure, "command failed: %s (%08x)", text, code);
  Fail(traceName.c_str(), failure);
  return false;
}

namespace {

PyObject* EvaluateCommandString(PyObject* args, EvalMode mode) {
  uint32_t flags = Current()->executionFlags;
  const char* text = nullptr;
  if (!PyArg_ParseTuple(args, "s", &text)) {
    TraceLine("execute/query", "failed: expected string argument", QMe_INFO);
    return nullptr;
  }
  IQmCommandService* cs = CommandService();
  if (cs == nullptr) return Fail(text, "command could not be found");
  uint32_t newFlags = flags;
  const char* rest = nullptr;
  if (QmFailed(cs->vt->ProcessStringFlags(cs, flags, text, &newFlags, &rest)) || rest == nullptr) {
    return Fail(text, "error processing command prefix flags");
  }
  // The rest belongs to the service; keep a copy for the calls below.
  std::string command = rest;

  CQmUser_Command cmd;
  void* object = nullptr;
  if (!QmFailed(cs->vt->IsImplicitScript(cs, command.c_str()))) {
    if (QmFailed(cs->vt->SpawnImplicitScript(cs, command.c_str(), &object)) || !cmd.take(object)) {
      return Fail(text, "error spawning script");
    }
    return ExecuteCommand(cmd, newFlags) ? ReturnNone() : nullptr;
  }

  if (QmFailed(cs->vt->Spawn(cs, 0, command.c_str(), &object)) || !cmd.take(object)) {
    return Fail(text, "command could not be found");
  }

  void* array = nullptr;
  uint32_t queryIndex = 0;
  QmResult rc = cs->vt->QueryArgString(cs, cmd.raw(), newFlags, command.c_str(), &array,
                                       &queryIndex, 1);
  CQmUser_ValueArray values;
  if (!QmFailed(rc) && !values.take(array)) rc = QMe_FAILED;
  if (rc == QMe_CMD_NO_QUERY_MARKED) {
    size_t blank = command.find(' ');
    if (blank != std::string::npos &&
        QmFailed(cs->vt->ParseArgString(cs, cmd.raw(), newFlags, command.c_str() + blank))) {
      return Fail(text, "command argument parsing failed");
    }
    return ExecuteCommand(cmd, newFlags) ? ReturnNone() : nullptr;
  }
  if (QmFailed(rc)) return Fail(text, "command argument parsing failed");

  CQmUser_Attributes attributes;
  attributes.set(cmd.raw());
  const QmTextValueHint* hints = attributes.test() ? attributes.Hints(queryIndex) : nullptr;
  return ValueArrayToPython(values, hints, mode);
}

}  // namespace

PyObject* QmEval(PyObject*, PyObject* args) {
  return PythonBoundary([&] { return EvaluateCommandString(args, EvalMode::kNatural); });
}

PyObject* QmEval1(PyObject*, PyObject* args) {
  return PythonBoundary([&] { return EvaluateCommandString(args, EvalMode::kSingle); });
}

PyObject* QmEvalN(PyObject*, PyObject* args) {
  return PythonBoundary([&] { return EvaluateCommandString(args, EvalMode::kTuple); });
}

namespace {

// The attribute object of a qm.command call, from the "pyArgAttrib"
// factory (made on first use).  Null when it cannot be had.
void* NewArgAttrib(CArgAttrib** impl) {
  CQmThisModule& module = CQmThisModule::Get();
  auto* factory = dynamic_cast<CQmPolymorph<CArgAttrib>*>(module.FindLocalFactory(kArgAttribFactory));
  if (factory == nullptr) {
    factory = new CQmPolymorph<CArgAttrib>;
    factory->AddInterface<IQmAttributes>();
    module.AddLocalFactory(kArgAttribFactory, factory);
  }
  void* object = factory->Spawn(nullptr);
  *impl = object != nullptr ? static_cast<CArgAttrib*>(CQmImplOfRecord(object)) : nullptr;
  return object;
}

PyObject* Command(PyObject* args, PyObject* keywords) {
  uint32_t flags = Current()->executionFlags;
  const char* traceName = "qm.command(unknown)";
  Py_ssize_t positional = PyTuple_Size(args);
  if (positional < 1) return Fail(traceName, "missing required command name.");
  if (positional > 1) return Fail(traceName, "extra positional arguments.");

  char name[92] = "<unknown>";
  PyRef str(PyObject_Str(PyTuple_GetItem(args, 0)));
  if (str && PyString_Check(str.get())) {
    std::snprintf(name, sizeof name, "%s", PyString_AS_STRING(str.get()));
  } else {
    PyErr_Clear();
  }

  char message[256];
  IQmCommandService* cs = CommandService();
  uint32_t newFlags = flags;
  const char* rest = nullptr;
  if (cs == nullptr || QmFailed(cs->vt->ProcessStringFlags(cs, flags, name, &newFlags, &rest)) ||
      rest == nullptr) {
    return Fail(traceName, "error processing command prefix flags");
  }
  std::string commandName = rest;
  uint32_t tag = 0;
  if (QmFailed(cs->vt->Lookup(cs, commandName.c_str(), &tag)) || (tag & 0xFFFF) == 0) {
    std::snprintf(message, sizeof message, "command '%s' not found.", commandName.c_str());
    return Fail(traceName, message);
  }
  CQmUser_Command cmd;
  void* object = nullptr;
  if (QmFailed(cs->vt->Spawn(cs, tag & 0xFFFF, nullptr, &object)) || !cmd.take(object)) {
    std::snprintf(message, sizeof message, "could not spawn command '%s'.", commandName.c_str());
    return Fail(traceName, message);
  }

  CArgAttrib* attrib = nullptr;
  CQmLoc_Unknown attributes;
  attributes.take(NewArgAttrib(&attrib));
  CheckTrue(attributes.test() && attrib != nullptr, QMe_FAILED);
  if (keywords != nullptr && PyDict_Check(keywords)) attrib->Load(keywords);
  if (QmFailed(cs->vt->ParseAttribObject(cs, cmd.raw(), 9, attributes.raw()))) {
    return Fail(traceName, "could not parse argument list.");
  }
  return ExecuteCommand(cmd, newFlags) ? ReturnNone() : nullptr;
}

}  // namespace

PyObject* QmCommand(PyObject*, PyObject* args, PyObject* keywords) {
  return PythonBoundary([&] { return Command(args, keywords); });
}

PyObject* QmQueryToggle(PyObject*, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    const char* text = nullptr;
    if (!PyArg_ParseTuple(args, "s", &text)) {
      TraceLine("qm.queryToggle", "Query failed: expected string argument", QMe_INFO);
      return nullptr;
    }
    uint32_t flags = Current()->executionFlags;
    uint32_t queryIndex = 0;
    void* object = nullptr;
    CQmUser_Command cmd;
    IQmCommandService* cs = CommandService();
    int32_t state = 0;
    QmResult rc = QMe_FAILED;
    if (cs != nullptr && !QmFailed(cs->vt->SpawnFromString(cs, text, &flags, &queryIndex, &object)) &&
        cmd.take(object)) {
      rc = cs->vt->GetToggleArgState(cs, cmd.raw(), &state, nullptr);
    }
    if (QmFailed(rc)) {
      TraceLine("qm.queryToggle", "failed: error querying the command", QMe_INFO);
      state = 0;
    } else {
      TraceLine("qm.queryToggle",
                state != 0 ? "toggled state is true (1)" : "toggled state is false (0)", QMe_INFO);
    }
    return PyBool_FromLong(state != 0 ? 1 : 0);
  });
}

PyObject* QmTest(PyObject*, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    const char* text = nullptr;
    if (!PyArg_ParseTuple(args, "s", &text)) return nullptr;
    uint32_t flags = Current()->executionFlags;
    uint32_t queryIndex = 0;
    void* object = nullptr;
    CQmUser_Command cmd;
    IQmCommandService* cs = CommandService();
    if (cs == nullptr || QmFailed(cs->vt->SpawnFromString(cs, text, &flags, &queryIndex, &object)) ||
        !cmd.take(object)) {
      return RaiseRuntime("error in command string");
    }
    int32_t state = 0;
    if (QmFailed(cs->vt->GetToggleArgState(cs, cmd.raw(), &state, nullptr))) {
      return RaiseRuntime("could not query toggle argument");
    }
    return PyBool_FromLong(state);
  });
}

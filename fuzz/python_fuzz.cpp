// Entries that need Python, through the plug-in's root interpreter with the
// reference host's application behind it (the build makes a fuzzer of each
// with QM_FUZZ_TARGET):
//   completeness  the console's completeness test of an input
//   eval          a command string through qm.eval against the host
//   storage       a byte program of storage operations (type, size, set,
//                 +=, item reads and assignments, conversions)
// Python errors are expected answers; a SystemError (a C-API call the
// plug-in got wrong) or a pending error after a call that returned a
// result is a finding, as are crashes and what the sanitizers report.
#include "interp/python.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/application.h"
#include "interp/manager.h"
#include "interp/threads.h"
#include "module/this_module.h"
#include "servers/line_server.h"

namespace {

// Python code the targets call; each function takes the input as a string.
const char kDriver[] = R"(
import qm

def run_eval(text):
    try:
        qm.eval(text)
    except SystemError:
        raise
    except Exception:
        pass

TYPES = ('f', 'i', 'b', 'd', 'u', 'p', 'x', '', 'float')
SIZES = (0, 1, 2, 3, 7, -1, -2, 255, 4096, 1 << 20, 1 << 31, -(1 << 31) - 1, 1 << 64)
VALUES = (0, 1, -1, 255, 256, 1 << 31, 1 << 32, 1 << 64, -(1 << 63), 0.5, -1e300, 1e300,
          float('nan'), float('inf'), None, 'x', (), [1], object())
SEQS = ((), (1,), (1, 2, 3), [0.5, 2], 'abc', u'\u20ac', (None,), (1, 'x'), range(5),
        (1 << 40, -1), xrange(3))

# Reading every element of a store of a million elements takes milliseconds;
# such stores are read a few elements at a time so that the fuzzer spends
# its time on the operations themselves.
BIG = 1 << 16

def run_storage(program):
    stores = [qm.object.storage()]
    codes = [ord(c) for c in program]
    for i in range(0, len(codes) - 1, 2):
        op, a = codes[i], codes[i + 1]
        k = a % len(stores)
        s = stores[k]
        size = SIZES[a % len(SIZES)]
        try:
            op %= 16
            if op == 0:
                stores.append(qm.object.storage(TYPES[a % len(TYPES)], SIZES[(a >> 4) % 6]))
            elif op == 1:
                s.setType(TYPES[a % len(TYPES)])
            elif op == 2:
                s.setSize(size)
            elif op == 3:
                s.set(SEQS[a % len(SEQS)])
            elif op == 4:
                s.get(size if len(s) <= BIG else 3)
            elif op == 5:
                s.get() if len(s) <= BIG else s.get(3)
            elif op == 6:
                s.string() if len(s) <= BIG else None
            elif op == 7:
                s.size() + len(s)
            elif op == 8:
                s.offset(size)
            elif op == 9:
                s.offset()
            elif op == 10:
                s[size]
            elif op == 11:
                s[size] = VALUES[(a >> 3) % len(VALUES)]
            elif op == 12:
                s += SEQS[a % len(SEQS)]
                stores[k] = s
            elif op == 13:
                qm.object.storage(*[TYPES[a % len(TYPES)], size][:a % 3])
            elif op == 14 and len(stores) > 1:
                del stores[k]
            else:
                [x for x in s] if len(s) < 4096 else None
        except SystemError:
            raise
        except Exception:
            pass
)";

PyObject* gFunction = nullptr;  // the target's driver function, or null
qmhost::Application* gApp = nullptr;

void Fail(const char* what) {
  std::fprintf(stderr, "finding: %s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

// Starts the host's application and the plug-in's root interpreter, and
// keeps Python's lock for the fuzzer's thread.
void Start(const char* function) {
  const std::string plugin = QM_PLUGIN_PATH;
  gApp = new qmhost::Application;
  gApp->SetModuleDir(plugin.substr(0, plugin.find_last_of('/')));
  gApp->AddRef();
  CQmThisModule::Get().SetContext(gApp->Unknown());
  InterpreterRecord* root = GetInterpreterManager()->RootRecord();
  new PythonScope(ThreadRootState());  // held for the life of the process
  PyObject* done = PyRun_String(kDriver, Py_file_input, root->globals, root->globals);
  if (done == nullptr) Fail("the driver does not run");
  Py_DECREF(done);
  if (function != nullptr) {
    gFunction = PyDict_GetItemString(root->globals, function);
    if (gFunction == nullptr) Fail("no driver function");
    Py_INCREF(gFunction);
  }
}

[[maybe_unused]] void CallDriver(const uint8_t* data, size_t size) {
  PyObject* result = PyObject_CallFunction(gFunction, const_cast<char*>("s#"),
                                           reinterpret_cast<const char*>(data),
                                           static_cast<Py_ssize_t>(size));
  if (result == nullptr) Fail("the driver raised");
  Py_DECREF(result);
  if (PyErr_Occurred()) Fail("an error left pending");
}

// Python's compiler works out constant expressions in full before it
// decides whether to keep them: `7**7**7**7`, `1<<10**10` or
// `'a'*10**9` take it minutes or gigabytes, as they do in Python itself.
// Such inputs are left out; any other use of the operators stays in.
[[maybe_unused]] bool FoldsLargeConstants(const std::string& text) {
  if (text.find("**") != std::string::npos || text.find("<<") != std::string::npos) return true;
  size_t stars = 0, longest = 0;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '*') ++stars;
    if (text[i] >= '0' && text[i] <= '9') {
      size_t start = i;
      while (i < text.size() && std::isalnum(static_cast<unsigned char>(text[i]))) ++i;
      longest = std::max(longest, i - start);
      continue;
    }
    ++i;
  }
  return stars > 0 && stars * longest >= 6;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
#if defined(QM_FUZZ_COMPLETENESS)
  Start(nullptr);
#elif defined(QM_FUZZ_EVAL)
  Start("run_eval");
#elif defined(QM_FUZZ_STORAGE)
  Start("run_storage");
#else
#error "QM_FUZZ_COMPLETENESS, QM_FUZZ_EVAL or QM_FUZZ_STORAGE"
#endif
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#if defined(QM_FUZZ_COMPLETENESS)
  std::string text(reinterpret_cast<const char*>(data), size);
  if (FoldsLargeConstants(text)) return 0;
  std::string before = text.c_str();  // what the compiler sees
  PyRef code;
  int complete = Python_LineInterp::CompletenessOf(text, &code);
  if (complete < -1 || complete > 1) Fail("an answer out of range");
  if (PyErr_Occurred()) Fail("an error left pending");
  if ((complete == 1) != static_cast<bool>(code)) Fail("complete without code");
  if (text.compare(0, before.size(), before) != 0) Fail("the input changed");
#elif defined(QM_FUZZ_EVAL)
  // A script file named by the input could be anything on this machine.
  if (std::string(reinterpret_cast<const char*>(data), size).find("script") != std::string::npos) {
    return 0;
  }
  CallDriver(data, size);
  // The scene starts empty again now and then, so that it does not grow
  // without end.
  static unsigned calls = 0;
  if (++calls % 256 == 0) {
    gApp->GetScene().Change("fuzz", false, [](qmhost::SceneState& s) {
      s = qmhost::SceneState();
      return true;
    });
  }
#else
  CallDriver(data, size);
#endif
  return 0;
}

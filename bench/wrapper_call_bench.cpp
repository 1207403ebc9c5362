// The cost of a script calling a wrapper method (no arguments, integer
// result) against a bare built-in function of the same shape.  Both are
// called the way the interpreter calls them, through PyObject_Call; the
// "ratio" counter of WrapperOverBare is wrapper time over bare time.
#include "interp/python.h"

#include <benchmark/benchmark.h>

#include <chrono>

#include "host/object.h"
#include "interp/result.h"
#include "qm_impl.h"
#include "scripting/qm_module.h"
#include "wrappers/runtime.h"

namespace {

// A host object whose Count answers at once.
class Counter : public qmhost::HostObject, public CQmImpl_TagDescription {
 public:
  uint32_t tag_Count() override { return 3; }

 protected:
  void* Find(const QmGUID& iid) override {
    return iid == IID_IQmTagDescription || iid == IID_QmBaseUnknown ? face_.get() : nullptr;
  }

 private:
  qmhost::HostFace<IQmTagDescription> face_{this};
};

PyObject* Bare(PyObject*, PyObject*) { return PyLong_FromLong(3); }
PyMethodDef kBare = {"bare", Bare, METH_VARARGS, nullptr};

struct Calls {
  PyObject* wrapperMethod = nullptr;  // bound Count of a TagDescription wrapper
  PyObject* bare = nullptr;
  PyObject* noArgs = nullptr;
};

Calls& Setup() {
  static Calls calls = [] {
    Calls c;
    Py_NoSiteFlag = 1;
    Py_Initialize();
    CreateQmModule();
    qmhost::Ref<Counter> counter(new Counter);
    void* face = nullptr;
    counter->QueryInterface(&IID_IQmTagDescription, &face);
    PyObject* wrapper = CreateByName("TagDescription");
    reinterpret_cast<WrapperObject*>(wrapper)->handle->take(face);
    c.wrapperMethod = PyObject_GetAttrString(wrapper, "Count");
    Py_DECREF(wrapper);
    c.bare = PyCFunction_New(&kBare, nullptr);
    c.noArgs = PyTuple_New(0);
    return c;
  }();
  return calls;
}

double TimeCalls(PyObject* callable, PyObject* args, int n) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    PyObject* r = PyObject_Call(callable, args, nullptr);
    Py_DECREF(r);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Call(benchmark::State& state, PyObject* Calls::*callable) {
  Calls& c = Setup();
  for (auto _ : state) {
    PyObject* r = PyObject_Call(c.*callable, c.noArgs, nullptr);
    Py_DECREF(r);
  }
}
BENCHMARK_CAPTURE(Call, WrapperMethod, &Calls::wrapperMethod);
BENCHMARK_CAPTURE(Call, BareFunction, &Calls::bare);

// Both in one run, interleaved, so that the ratio does not depend on
// what else the machine does between two benchmarks.
void WrapperOverBare(benchmark::State& state) {
  Calls& c = Setup();
  double wrapper = 0, bare = 0;
  for (auto _ : state) {
    wrapper += TimeCalls(c.wrapperMethod, c.noArgs, 1000);
    bare += TimeCalls(c.bare, c.noArgs, 1000);
  }
  state.counters["ratio"] = wrapper / bare;
}
BENCHMARK(WrapperOverBare);

}  // namespace

BENCHMARK_MAIN();

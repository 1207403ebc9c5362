// The cost of a script calling a wrapper method (no arguments, integer
// result) against a bare built-in function of the same shape written
// directly on the C API: it makes the same host call (Count of the same
// host object, through its function table) and returns its value.  Both
// are called the way the interpreter calls them, through PyObject_Call; the
// "ratio" counter of WrapperOverBare is wrapper time over bare time, and
// the last line says it against its target.  "over_constant" compares the
// wrapper with a built-in that makes no host call at all.
#include "interp/python.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "host/object.h"
#include "ratio.h"
#include "interp/result.h"
#include "scripting/qm_module.h"
#include "wrappers/runtime.h"
#include "qm_impl_module.h"

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

// The host object the wrapper holds, for the bare built-in's call.
IQmTagDescription* gHeld = nullptr;

PyObject* Bare(PyObject*, PyObject*) { return PyLong_FromLong(gHeld->vt->Count(gHeld)); }
PyMethodDef kBare = {"bare", Bare, METH_VARARGS, nullptr};

PyObject* Constant(PyObject*, PyObject*) { return PyLong_FromLong(3); }
PyMethodDef kConstant = {"constant", Constant, METH_VARARGS, nullptr};

struct Calls {
  PyObject* wrapperMethod = nullptr;  // bound Count of a TagDescription wrapper
  PyObject* bare = nullptr;
  PyObject* constant = nullptr;
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
    gHeld = static_cast<IQmTagDescription*>(WrapperRaw(wrapper));
    c.wrapperMethod = PyObject_GetAttrString(wrapper, "Count");
    Py_DECREF(wrapper);
    c.bare = PyCFunction_New(&kBare, nullptr);
    c.constant = PyCFunction_New(&kConstant, nullptr);
    c.noArgs = PyTuple_New(0);
    return c;
  }();
  return calls;
}

void CallMany(PyObject* callable, PyObject* args, int n) {
  for (int i = 0; i < n; ++i) {
    PyObject* r = PyObject_Call(callable, args, nullptr);
    Py_DECREF(r);
  }
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
BENCHMARK_CAPTURE(Call, ConstantFunction, &Calls::constant);

double gRatio = 0;

// The three in one run, interleaved (see ratio.h).
void WrapperOverBare(benchmark::State& state) {
  Calls& c = Setup();
  PairedRatios overBare, overConstant;
  auto wrapper = [&] { CallMany(c.wrapperMethod, c.noArgs, 1000); };
  for (auto _ : state) {
    overBare.Pair(wrapper, [&] { CallMany(c.bare, c.noArgs, 1000); });
    overConstant.Pair(wrapper, [&] { CallMany(c.constant, c.noArgs, 1000); });
  }
  gRatio = overBare.Median();
  state.counters["ratio"] = gRatio;
  state.counters["over_constant"] = overConstant.Median();
}
BENCHMARK(WrapperOverBare);

// For instruction counts: `QM_BENCH_PROFILE=N valgrind --tool=callgrind
// --collect-atstart=no --toggle-collect='*Measured*' wrapper_call_bench`
// makes N calls of each; each Measured function's inclusive cost / N is the
// cost of one call.
__attribute__((noinline)) void MeasuredWrapperCalls(int n) {
  CallMany(Setup().wrapperMethod, Setup().noArgs, n);
}
__attribute__((noinline)) void MeasuredBareCalls(int n) { CallMany(Setup().bare, Setup().noArgs, n); }
__attribute__((noinline)) void MeasuredConstantCalls(int n) {
  CallMany(Setup().constant, Setup().noArgs, n);
}

void Profile(int n) {
  Setup();
  MeasuredWrapperCalls(n);
  MeasuredBareCalls(n);
  MeasuredConstantCalls(n);
}

}  // namespace

int main(int argc, char** argv) {
  return RatioMain(argc, argv, "wrapper_call", 1.15, gRatio, Profile);
}

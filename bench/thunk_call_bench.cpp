// The cost of a host call of a Python server method (no arguments, float
// result) through its adapter's thunk, against the same call made by a
// host thread through the bare C API: PyGILState_Ensure, PyObject_CallMethod,
// PyFloat_AsDouble, PyGILState_Release.  The plug-in is loaded as the host
// loads it, and both calls come from outside Python, so both include taking
// Python's lock and letting go of it.  The "ratio" counter of ThunkOverBare
// is thunk time over bare time; the last line says it against its target.
#include "interp/python.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "bench_host.h"
#include "ratio.h"
#include "host/python_servers.h"
#include "module/polymorph.h"
#include "qm_ifc_animation.h"
#include "pyservers/call.h"

namespace {

struct Calls {
  qmhost::Ref<qmhost::Application> app{new qmhost::Application};
  std::unique_ptr<qmhost::Plugin> plugin;
  IQmAudio* clip = nullptr;
  PyObject* self = nullptr;  // the Python instance behind `clip`
};

Calls& Setup() {
  static Calls* calls = [] {
    auto* c = new Calls;
    c->plugin = LoadBenchPlugin(*c->app);
    qmhost::PythonServers servers(c->plugin->Module());
    QmResult rc = QMe_OK;
    c->clip = static_cast<IQmAudio*>(servers.Spawn("bench.clip", IID_IQmAudio, &rc));
    if (c->clip == nullptr) {
      std::fprintf(stderr, "no bench.clip server: 0x%08X\n", rc);
      std::exit(1);
    }
    c->self = static_cast<CQmPyInstance*>(CQmImplOfRecord(c->clip))->self;
    return c;
  }();
  return *calls;
}

void ThunkMany(IQmAudio* clip, int n) {
  double sum = 0;
  for (int i = 0; i < n; ++i) sum += clip->vt->Duration(clip);
  benchmark::DoNotOptimize(sum);
}

// What a host thread does to call the method through the bare C API: take
// Python's lock, call, convert, let go of the lock.
double BareCall(PyObject* self) {
  PyGILState_STATE python = PyGILState_Ensure();
  PyObject* r = PyObject_CallMethod(self, const_cast<char*>("audio_Duration"),
                                    const_cast<char*>("()"));
  double value = PyFloat_AsDouble(r);
  Py_DECREF(r);
  PyGILState_Release(python);
  return value;
}

void BareMany(PyObject* self, int n) {
  double sum = 0;
  for (int i = 0; i < n; ++i) sum += BareCall(self);
  benchmark::DoNotOptimize(sum);
}

void ThunkCall(benchmark::State& state) {
  Calls& c = Setup();
  for (auto _ : state) benchmark::DoNotOptimize(c.clip->vt->Duration(c.clip));
}
BENCHMARK(ThunkCall);

void BareCallMethod(benchmark::State& state) {
  Calls& c = Setup();
  for (auto _ : state) benchmark::DoNotOptimize(BareCall(c.self));
}
BENCHMARK(BareCallMethod);

// Both in one run, interleaved (see ratio.h).
double gRatio = 0;

void ThunkOverBare(benchmark::State& state) {
  Calls& c = Setup();
  PairedRatios ratios;
  for (auto _ : state) {
    ratios.Pair([&] { ThunkMany(c.clip, 1000); }, [&] { BareMany(c.self, 1000); });
  }
  gRatio = ratios.Median();
  state.counters["ratio"] = gRatio;
}
BENCHMARK(ThunkOverBare);

// For instruction counts: `QM_BENCH_PROFILE=N valgrind --tool=callgrind
// --collect-atstart=no --toggle-collect='*Measured*' thunk_call_bench`
// makes N calls of each; each Measured function's inclusive cost / N is the
// cost of one call.
__attribute__((noinline)) void MeasuredThunkCalls(int n) { ThunkMany(Setup().clip, n); }
__attribute__((noinline)) void MeasuredBareCalls(int n) { BareMany(Setup().self, n); }

void Profile(int n) {
  ThunkMany(Setup().clip, 10);
  MeasuredThunkCalls(n);
  MeasuredBareCalls(n);
}

}  // namespace

int main(int argc, char** argv) {
  return RatioMain(argc, argv, "thunk_call", 0.90, gRatio, Profile);
}

// The cost of a host call of a Python server method (no arguments, float
// result) through its adapter's thunk, against a bare PyObject_CallMethod
// of the same method from C by a thread that holds Python's lock.  The
// plug-in is loaded as the host loads it, and the host thread calls from
// outside Python, so the thunk's cost includes taking Python's lock and
// letting go of it.  The "ratio" counter of ThunkOverBare is thunk time
// over bare time; the last line says it against its target.
#include "interp/python.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "bench_host.h"
#include "host/python_servers.h"
#include "module/polymorph.h"
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

double TimeThunk(IQmAudio* clip, int n) {
  auto start = std::chrono::steady_clock::now();
  double sum = 0;
  for (int i = 0; i < n; ++i) sum += clip->vt->Duration(clip);
  benchmark::DoNotOptimize(sum);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double TimeBare(PyObject* self, int n) {
  PyGILState_STATE python = PyGILState_Ensure();
  auto start = std::chrono::steady_clock::now();
  double sum = 0;
  for (int i = 0; i < n; ++i) {
    PyObject* r = PyObject_CallMethod(self, const_cast<char*>("audio_Duration"),
                                      const_cast<char*>("()"));
    sum += PyFloat_AsDouble(r);
    Py_DECREF(r);
  }
  benchmark::DoNotOptimize(sum);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  PyGILState_Release(python);
  return seconds;
}

void ThunkCall(benchmark::State& state) {
  Calls& c = Setup();
  for (auto _ : state) benchmark::DoNotOptimize(c.clip->vt->Duration(c.clip));
}
BENCHMARK(ThunkCall);

void BareCallMethod(benchmark::State& state) {
  Calls& c = Setup();
  PyGILState_STATE python = PyGILState_Ensure();
  for (auto _ : state) {
    PyObject* r = PyObject_CallMethod(c.self, const_cast<char*>("audio_Duration"),
                                      const_cast<char*>("()"));
    benchmark::DoNotOptimize(PyFloat_AsDouble(r));
    Py_DECREF(r);
  }
  PyGILState_Release(python);
}
BENCHMARK(BareCallMethod);

// Both in one run, interleaved.
double gRatio = 0;

void ThunkOverBare(benchmark::State& state) {
  Calls& c = Setup();
  double thunk = 0, bare = 0;
  for (auto _ : state) {
    thunk += TimeThunk(c.clip, 1000);
    bare += TimeBare(c.self, 1000);
  }
  gRatio = thunk / bare;
  state.counters["ratio"] = gRatio;
}
BENCHMARK(ThunkOverBare);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  if (gRatio > 0) std::printf("ratio thunk_call: %.2f (target <= 1.34)\n", gRatio);
  return 0;
}

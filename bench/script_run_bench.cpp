// The cost of one empty script run in a running host (the host's script
// interpreter server "python", a message per run, the run's event-log
// entry) against a bare sub-interpreter cycle on the same libpython in the
// same process: Py_NewInterpreter, `import site`, Py_EndInterpreter.
//
// Three measurements, each over kRuns runs after a warm-up:
//   - time: the two interleaved in blocks (see ratio.h); the last line
//     gives script run time over bare time;
//   - memory: the growth of the process (resident set) per run, the bare
//     cycle's first and then the script run's, which must not exceed it by
//     more than 1 KB;
//   - drift: the last 500 script runs against the first 500.
#include "interp/python.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_host.h"
#include "ratio.h"
#include "host/script.h"

namespace {

constexpr int kRuns = 2000;
constexpr int kBlock = 20;
constexpr int kEdge = 500;

struct Host {
  qmhost::Ref<qmhost::Application> app{new qmhost::Application};
  std::unique_ptr<qmhost::Plugin> plugin;
  IQmTextScriptInterpreter* scripts = nullptr;
  qmhost::Ref<qmhost::Script> empty;
};

Host& TheHost() {
  static Host* host = [] {
    auto* h = new Host;
    h->plugin = LoadBenchPlugin(*h->app);
    h->scripts = BenchScriptInterpreter(*h->plugin);
    h->empty = qmhost::Script::FromText("pass\n", "empty.py");
    return h;
  }();
  return *host;
}

void ScriptRunOnce(Host& host) {
  auto message = host.app->Messages().NewMessage();
  if (host.scripts->vt->Run(host.scripts, host.empty->Face(), 0, "", message->Face()) != QMe_OK) {
    std::fprintf(stderr, "the empty script failed\n");
    std::exit(1);
  }
}

// A sub-interpreter made, given the site module and ended, by a thread that
// holds Python's lock outside any other interpreter's work.
void BareCycleOnce() {
  PyGILState_STATE held = PyGILState_Ensure();
  PyThreadState* parent = PyThreadState_Get();
  PyThreadState* sub = Py_NewInterpreter();
  if (sub == nullptr || PyRun_SimpleString("import site") != 0) {
    std::fprintf(stderr, "no bare sub-interpreter\n");
    std::exit(1);
  }
  Py_EndInterpreter(sub);
  PyThreadState_Swap(parent);
  PyGILState_Release(held);
}

// Processor seconds of `n` calls of `work` (see ratio.h).
template <class Work>
double Seconds(int n, Work&& work) {
  return ThreadSecondsOf([&] {
    for (int i = 0; i < n; ++i) work();
  });
}

// The resident set of the process, in bytes.
double ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * 4096.0;
}

void ScriptRun(benchmark::State& state) {
  Host& host = TheHost();
  for (auto _ : state) ScriptRunOnce(host);
}
BENCHMARK(ScriptRun)->Unit(benchmark::kMillisecond);

void BareCycle(benchmark::State& state) {
  TheHost();
  for (auto _ : state) BareCycleOnce();
}
BENCHMARK(BareCycle)->Unit(benchmark::kMillisecond);

double gRatio = 0;

// For instruction counts: `QM_BENCH_PROFILE=N valgrind --tool=callgrind
// --collect-atstart=no --toggle-collect='*Measured*' script_run_bench` runs
// N of each after a warm-up; each Measured function's inclusive cost / N is
// the cost of one.
__attribute__((noinline)) void MeasuredScriptRuns(Host& host, int n) {
  for (int i = 0; i < n; ++i) ScriptRunOnce(host);
}
__attribute__((noinline)) void MeasuredBareCycles(int n) {
  for (int i = 0; i < n; ++i) BareCycleOnce();
}

void Profile(int n) {
  Host& host = TheHost();
  MeasuredScriptRuns(host, 0);
  for (int i = 0; i < 10; ++i) {
    ScriptRunOnce(host);
    BareCycleOnce();
  }
  MeasuredScriptRuns(host, n);
  MeasuredBareCycles(n);
}

void ScriptRunOverBareCycle(benchmark::State& state) {
  Host& host = TheHost();
  auto run = [&] { ScriptRunOnce(host); };
  for (auto _ : state) {
    Seconds(50, run);
    Seconds(50, BareCycleOnce);

    double base = ResidentBytes();
    Seconds(kRuns, BareCycleOnce);
    double bareGrowth = (ResidentBytes() - base) / kRuns;

    base = ResidentBytes();
    double first = Seconds(kEdge, run);
    Seconds(kRuns - 2 * kEdge, run);
    double last = Seconds(kEdge, run);
    double runGrowth = (ResidentBytes() - base) / kRuns;

    PairedRatios ratios;
    for (int i = 0; i < kRuns; i += kBlock) {
      ratios.Pair([&] { Seconds(kBlock, run); }, [&] { Seconds(kBlock, BareCycleOnce); });
    }
    gRatio = ratios.Median();
    state.counters["ratio"] = gRatio;
    state.counters["bare_bytes_per_run"] = bareGrowth;
    state.counters["run_bytes_per_run"] = runGrowth;
    state.counters["extra_bytes_per_run"] = runGrowth - bareGrowth;
    state.counters["last_over_first"] = last / first;
  }
}
BENCHMARK(ScriptRunOverBareCycle)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  return RatioMain(argc, argv, "script_run", 1.20, gRatio, Profile);
}

// Host threads calling a Python server at once: 1, 2, 4 and 8 host threads
// each make a fixed number of Step calls of a Python simulation modifier
// (every other one re-entering Python through a Python command), while the
// main thread runs scripts that start Python threads of their own.  Reports
// calls per second and failed calls; the last line gives the failed calls
// of all runs against all calls, which must be 0.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_host.h"
#include "host/python_servers.h"
#include "host/script.h"
#include "qm_ifc_servers.h"

namespace {

constexpr int kCallsPerThread = 2000;

// The script the main thread runs over and over meanwhile.
const char kScript[] =
    "import qm, threading\n"
    "def work():\n"
    "    for i in range(20):\n"
    "        qm.eval('bench.tick')\n"
    "threads = [threading.Thread(target=work) for i in range(2)]\n"
    "for t in threads: t.start()\n"
    "for t in threads: t.join()\n";

struct Host {
  qmhost::Ref<qmhost::Application> app{new qmhost::Application};
  std::unique_ptr<qmhost::Plugin> plugin;
  std::unique_ptr<qmhost::PythonServers> servers;
  IQmTextScriptInterpreter* scripts = nullptr;
};

Host& TheHost() {
  static Host* host = [] {
    auto* h = new Host;
    h->plugin = LoadBenchPlugin(*h->app);
    h->scripts = BenchScriptInterpreter(*h->plugin);
    IQmModule* module = h->plugin->Module();
    h->servers = std::make_unique<qmhost::PythonServers>(module);
    return h;
  }();
  return *host;
}

// Calls made and calls failed, over all runs.
long gCalls = 0;
long gFailures = 0;

void HostThreadsCallAServer(benchmark::State& state) {
  Host& host = TheHost();
  const int threads = static_cast<int>(state.range(0));
  std::vector<IQmSimulationModifier*> sims;
  for (int t = 0; t < threads; ++t) {
    QmResult rc = QMe_OK;
    sims.push_back(static_cast<IQmSimulationModifier*>(
        host.servers->Spawn("bench.stepper", IID_IQmSimulationModifier, &rc)));
    if (sims.back() == nullptr) {
      state.SkipWithError("no bench.stepper server");
      return;
    }
  }
  auto script = qmhost::Script::FromText(kScript, "bench.py");
  std::atomic<long> failures{0};
  long scripts = 0, calls = 0;
  double seconds = 0;
  for (auto _ : state) {
    std::atomic<int> running{threads};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        IQmSimulationModifier* sim = sims[t];
        for (int i = 0; i < kCallsPerThread; ++i) {
          if (sim->vt->Step(sim, i % 2 == 0 ? 0.0 : 1.0) != QMe_OK) ++failures;
        }
        --running;
      });
    }
    while (running > 0) {
      auto message = host.app->Messages().NewMessage();
      if (host.scripts->vt->Run(host.scripts, script->Face(), 0, "", message->Face()) != QMe_OK) {
        ++failures;
      }
      ++scripts;
    }
    for (auto& w : workers) w.join();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    calls += static_cast<long>(threads) * kCallsPerThread;
  }
  for (auto* sim : sims) QmRelease(sim);
  gCalls += calls;
  gFailures += failures.load();
  state.counters["calls/s"] = static_cast<double>(calls) / seconds;
  state.counters["failures"] = static_cast<double>(failures.load());
  state.counters["scripts"] = static_cast<double>(scripts);
  if (failures.load() != 0) state.SkipWithError("failed calls");
}
BENCHMARK(HostThreadsCallAServer)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseRealTime()->Unit(
    benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  if (gCalls > 0) {
    std::printf("ratio threaded_failures: %.2f (target <= 0.00)\n",
                static_cast<double>(gFailures) / static_cast<double>(gCalls));
  }
  return 0;
}

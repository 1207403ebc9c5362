// What a whole `qmhost run` of an empty script costs against starting the
// Python it embeds with nothing to do (`python2.7 -c pass`): each process is
// started with posix_spawn and waited for, the two alternately, with the
// same environment and their output thrown away.  The ratio is the median
// host run over the median Python run, so that a run slowed by other work
// on the machine does not weigh; the last line prints it.  The cpu_ratio
// counter is the same over the processes' own CPU time, which time spent
// waiting for a busy machine's processors does not inflate.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int kPairsPerIteration = 20;

// A temporary folder with an empty script (its first line says it is a
// Python script, which qmhost requires) and an empty scripts folder, so
// that no user servers are loaded.
struct Files {
  std::string dir;
  std::string script;
  std::string scripts;
};

const Files& TheFiles() {
  static const Files files = [] {
    Files f;
    char dir[] = "/tmp/qm-host-start-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    f.dir = dir;
    f.script = f.dir + "/empty.py";
    f.scripts = f.dir + "/scripts";
    FILE* out = std::fopen(f.script.c_str(), "w");
    if (out == nullptr || std::fputs("#!/usr/bin/env python\n", out) < 0 ||
        std::fclose(out) != 0 || mkdir(f.scripts.c_str(), 0755) != 0) {
      std::perror(f.script.c_str());
      std::exit(1);
    }
    return f;
  }();
  return files;
}

void RemoveFiles() {
  const Files& f = TheFiles();
  unlink(f.script.c_str());
  rmdir(f.scripts.c_str());
  rmdir(f.dir.c_str());
}

struct Took {
  double wall;  // from the spawn to the end of the wait
  double cpu;   // the process's own user and system time
};

// Starts `argv`, waits for it and gives the seconds it took.  A process that
// cannot start or does not exit with 0 ends the benchmark.
Took TimeProcess(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  int status = 0;
  rusage usage{};
  if (rc == 0 && wait4(pid, &status, 0, &usage) != pid) rc = -1;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s did not run to success (spawn %d, status %d)\n", argv[0], rc, status);
    std::exit(1);
  }
  auto time = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  return {seconds, time(usage.ru_utime) + time(usage.ru_stime)};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double gRatio = -1;

void HostRunOverPythonStart(benchmark::State& state) {
  const Files& f = TheFiles();
  const std::vector<std::string> host = {QM_HOST_PATH, "--plugin", QM_PLUGIN_PATH,
                                         "--scripts",  f.scripts,  "run",
                                         f.script};
  const std::vector<std::string> python = {QM_PYTHON_PROGRAM, "-c", "pass"};
  // Once each first: files read for the first time are not measured.
  TimeProcess(host);
  TimeProcess(python);
  std::vector<double> hostTimes, pythonTimes, hostCpu, pythonCpu;
  for (auto _ : state) {
    for (int i = 0; i < kPairsPerIteration; ++i) {
      Took h = TimeProcess(host);
      Took p = TimeProcess(python);
      hostTimes.push_back(h.wall);
      pythonTimes.push_back(p.wall);
      hostCpu.push_back(h.cpu);
      pythonCpu.push_back(p.cpu);
    }
  }
  double hostMedian = Median(hostTimes), pythonMedian = Median(pythonTimes);
  gRatio = hostMedian / pythonMedian;
  state.counters["host_ms"] = hostMedian * 1e3;
  state.counters["python_ms"] = pythonMedian * 1e3;
  state.counters["ratio"] = gRatio;
  state.counters["cpu_ratio"] = Median(hostCpu) / Median(pythonCpu);
}
BENCHMARK(HostRunOverPythonStart)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  RemoveFiles();
  if (gRatio >= 0) std::printf("ratio host_start: %.2f (target <= 2.20)\n", gRatio);
  return 0;
}

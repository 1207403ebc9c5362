// The cost of one console line, "1+1", through the plug-in's line
// interpreter server "python" (as the host's console reaches it, with the
// host's line execution object taking the result), against CPython's own
// interactive loop reading the same line, on the same Python in the same
// process: PyRun_InteractiveOneFlags in the root interpreter's __main__,
// its line handed back by a readline function and its echo going to a
// file on /dev/null.  The two run interleaved in blocks of 1000 lines
// (see ratio.h); the last line printed says console time over CPython time
// against its target.
#include "interp/python.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "bench_host.h"
#include "ratio.h"
#include "host/console.h"

namespace {

constexpr int kBlock = 1000;
const char kLine[] = "1+1";

// CPython's interactive loop reads through its readline hook only when
// its stdin and stdout are terminals; while it runs here they are both a
// pseudo-terminal that nothing is ever written to or read from.
char* ReadTheLine(FILE*, FILE*, char*) {
  char* text = static_cast<char*>(PyMem_Malloc(sizeof kLine + 1));
  if (text == nullptr) return nullptr;
  std::memcpy(text, kLine, sizeof kLine - 1);
  std::memcpy(text + sizeof kLine - 1, "\n", 2);
  return text;
}

struct Console {
  qmhost::Ref<qmhost::Application> app{new qmhost::Application};
  std::unique_ptr<qmhost::Plugin> plugin;
  IQmLineInterpreter* lines = nullptr;
  std::ofstream discard{"/dev/null"};
  qmhost::Ref<qmhost::LineExecution> execution{new qmhost::LineExecution(discard)};
  FILE* terminal = nullptr;
};

Console& Setup() {
  static Console* console = [] {
    auto* c = new Console;
    c->plugin = LoadBenchPlugin(*c->app);
    IQmModule* module = c->plugin->Module();
    void* made = nullptr;
    QmResult rc = module->vt->Generate(module, "python", &IID_IQmLineInterpreter, &made);
    if (QmFailed(rc) || made == nullptr) {
      std::fprintf(stderr, "no line interpreter: 0x%08X\n", rc);
      std::exit(1);
    }
    c->lines = static_cast<IQmLineInterpreter*>(made);
    c->lines->vt->Flags(c->lines);  // starts Python, as the console's first question does

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
      std::perror("posix_openpt");
      std::exit(1);
    }
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    c->terminal = slave < 0 ? nullptr : fdopen(slave, "r+");
    if (c->terminal == nullptr) {
      std::perror("pseudo-terminal");
      std::exit(1);
    }
    PyGILState_STATE python = PyGILState_Ensure();
    PyOS_ReadlineFunctionPointer = ReadTheLine;
    PyObject* done = PyRun_String("import sys\nsys.stdout = open('/dev/null', 'w')\n",
                                  Py_file_input, PyModule_GetDict(PyImport_AddModule("__main__")),
                                  PyModule_GetDict(PyImport_AddModule("__main__")));
    if (done == nullptr) {
      PyErr_Print();
      std::exit(1);
    }
    Py_DECREF(done);
    PyGILState_Release(python);
    return c;
  }();
  return *console;
}

__attribute__((noinline)) double TimeConsole(Console& c, int n) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    QmResult rc = c.lines->vt->Execute(c.lines, kLine, 0, c.execution->Face());
    if (QmFailed(rc)) {
      std::fprintf(stderr, "console line failed: 0x%08X\n", rc);
      std::exit(1);
    }
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

__attribute__((noinline)) double TimeInteractive(Console& c, int n) {
  PyGILState_STATE python = PyGILState_Ensure();
  FILE* in = stdin;
  FILE* out = stdout;
  stdin = c.terminal;
  stdout = c.terminal;
  PyCompilerFlags flags{0};
  auto start = std::chrono::steady_clock::now();
  int failed = 0;
  for (int i = 0; i < n; ++i) failed |= PyRun_InteractiveOneFlags(c.terminal, "<stdin>", &flags);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  stdin = in;
  stdout = out;
  PyGILState_Release(python);
  if (failed != 0) {
    std::fprintf(stderr, "interactive line failed\n");
    std::exit(1);
  }
  return seconds;
}

void ConsoleLine(benchmark::State& state) {
  Console& c = Setup();
  for (auto _ : state) TimeConsole(c, 1);
}
BENCHMARK(ConsoleLine);

void InteractiveOne(benchmark::State& state) {
  Console& c = Setup();
  for (auto _ : state) TimeInteractive(c, 1);
}
BENCHMARK(InteractiveOne);

// Both in one run, interleaved (see ratio.h).
double gRatio = 0;

void ConsoleOverInteractive(benchmark::State& state) {
  Console& c = Setup();
  PairedRatios ratios;
  for (auto _ : state) {
    ratios.Pair([&] { TimeConsole(c, kBlock); }, [&] { TimeInteractive(c, kBlock); });
  }
  gRatio = ratios.Median();
  state.counters["ratio"] = gRatio;
}
BENCHMARK(ConsoleOverInteractive);

// For instruction counts: `QM_BENCH_PROFILE=N valgrind --tool=callgrind
// --collect-atstart=no --toggle-collect='*Measured*' console_line_bench`
// runs N lines each way; each Measured function's inclusive cost / N is the
// cost of one line.
__attribute__((noinline)) void MeasuredConsoleLines(int n) { TimeConsole(Setup(), n); }
__attribute__((noinline)) void MeasuredInteractiveLines(int n) { TimeInteractive(Setup(), n); }

void Profile(int n) {
  TimeConsole(Setup(), 10);
  TimeInteractive(Setup(), 10);
  MeasuredConsoleLines(n);
  MeasuredInteractiveLines(n);
}

}  // namespace

int main(int argc, char** argv) {
  return RatioMain(argc, argv, "console_line", 1.00, gRatio, Profile);
}

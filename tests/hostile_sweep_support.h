// What the two runs of tests/scripts/hostile_sweep.py share: the shards
// they deal the wrapper types into, a folder for the script's breadcrumb
// and report, and a handler that tells which method a fatal signal
// interrupted.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace sweep {

// Shard `index` of `count` of the sorted types of one kind.
struct Shard {
  const char* kind;
  int index;
  int count;
};

// How both runs deal the types: each shard is a test of its own.
inline const Shard kShards[] = {{"object", 0, 4}, {"object", 1, 4}, {"object", 2, 4},
                                {"object", 3, 4}, {"service", 0, 2}, {"service", 1, 2}};

// Shown in a test's name, and by gtest in place of the bytes.
inline void PrintTo(const Shard& shard, std::ostream* out) {
  *out << shard.kind << " shard " << shard.index << " of " << shard.count;
}

inline std::string ShardName(const ::testing::TestParamInfo<Shard>& info) {
  return std::string(info.param.kind) + "s_" + std::to_string(info.param.index) + "_of_" +
         std::to_string(info.param.count);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The breadcrumb file of the running sweep, and the handlers the fatal
// signals had before, for the signal handler.
inline char gBreadcrumb[4096];
inline const int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
inline struct sigaction gEarlier[NSIG];

inline void Say(const char* text, ssize_t length) {
  if (length > 0 && write(2, text, static_cast<size_t>(length)) < 0) return;
}

// Copies the breadcrumb to standard error, then gives the signal back to
// the handler it had (the sanitizers' report, or the default action).
inline void OnFatalSignal(int signal) {
  static const char kHead[] = "hostile sweep died calling: ";
  int fd = open(gBreadcrumb, O_RDONLY);
  if (fd >= 0) {
    char text[512];
    ssize_t n = read(fd, text, sizeof text);
    Say(kHead, sizeof kHead - 1);
    Say(text, n);
    close(fd);
  }
  sigaction(signal, &gEarlier[signal], nullptr);
  raise(signal);
}

// A fresh folder for the script's files, and the fatal signals pointed at
// the breadcrumb in it.
class Folder {
 public:
  Folder() {
    char pattern[] = "/tmp/qm_hostile_sweep_XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    path_ = made != nullptr ? made : "/tmp";
    std::string crumb = path_ + "/breadcrumb";
    crumb.copy(gBreadcrumb, sizeof gBreadcrumb - 1);
    struct sigaction handler {};
    handler.sa_handler = OnFatalSignal;
    sigemptyset(&handler.sa_mask);
    for (int s : kFatalSignals) sigaction(s, &handler, &gEarlier[s]);
  }
  ~Folder() {
    for (int s : kFatalSignals) sigaction(s, &gEarlier[s], nullptr);
    unlink((path_ + "/breadcrumb").c_str());
    unlink((path_ + "/report").c_str());
    rmdir(path_.c_str());
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  const std::string& path() const { return path_; }
  // What the script reported: its summary line, then its failures.
  std::string Report() const { return ReadFile(path_ + "/report"); }

 private:
  std::string path_;
};

// Checks the report of a finished sweep: a summary with calls, and no
// failures.  Prints the summary, so that the test's output tells how many
// calls the sweep made.
inline void CheckReport(const std::string& report) {
  std::string summary = report.substr(0, report.find('\n'));
  ASSERT_EQ(summary.rfind("hostile sweep: ", 0), 0U) << report;
  std::cout << summary << "\n";
  long calls = std::strtol(summary.c_str() + 15, nullptr, 10);
  EXPECT_GT(calls, 0) << summary;
  EXPECT_EQ(report.find('\n') + 1, report.size()) << report;
}

}  // namespace sweep

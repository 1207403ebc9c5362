// The standard dialog service: progress monitors.  A monitor counts steps
// towards a total; showing the progress is left to a ProgressView that the
// program chooses (qmhost draws on standard error), so that the counting
// works, and can be checked, without any display.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "host/object.h"
#include "qm_impl_command.h"
#include "qm_impl_stddialog.h"

namespace qmhost {

struct Progress {
  uint64_t id = 0;  // tells the monitors of one service apart
  std::string title;
  uint32_t total = 0;
  uint32_t done = 0;
  bool released = false;

  // Whole percent done, 0 to 100; 0 while there is no total.
  int Percent() const;
};

class ProgressView {
 public:
  virtual ~ProgressView() = default;
  // A monitor's count changed (Initialize or Increment).
  virtual void Update(const Progress& progress) = 0;
  // The monitor was released.
  virtual void Release(const Progress& progress) = 0;
};

// For a terminal: one line per monitor, "Title [#####.....]  50%",
// redrawn in place and ended with a newline when the monitor is released,
// or when anything else is to be written (EndLine).
class TerminalProgressView : public ProgressView {
 public:
  explicit TerminalProgressView(std::ostream& out, int barWidth = 30);
  void Update(const Progress& progress) override;
  void Release(const Progress& progress) override;
  // Ends the unfinished line of a monitor, if there is one, so that what
  // is written next starts on a line of its own; the monitor's next update
  // draws its bar again, on a new line.
  void EndLine();

 private:
  std::string Line(const Progress& progress) const;
  void Draw(const Progress& progress);
  void EndLineLocked();

  std::ostream& out_;
  const int barWidth_;
  std::mutex lock_;
  uint64_t open_ = 0;  // the monitor whose line is unfinished, 0 for none
  std::string drawn_;  // the text of that line
};

// A stream buffer that passes what is written to it on to `target`, first
// ending the view's unfinished progress line: set on the program's other
// output streams, it keeps their text off the end of a progress bar.
class ProgressLineBreaker : public std::streambuf {
 public:
  ProgressLineBreaker(std::streambuf* target, std::weak_ptr<TerminalProgressView> view)
      : target_(target), view_(std::move(view)) {}
  void SetView(std::weak_ptr<TerminalProgressView> view);

 protected:
  int overflow(int c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  void EndLine();

  std::streambuf* const target_;
  std::mutex lock_;
  std::weak_ptr<TerminalProgressView> view_;
};

// For logs and pipes: a line each time a monitor passes another tenth of
// its total ("Title: 30% (3/10)"), and one when it is released
// ("Title: done (10/10)").
class LineProgressView : public ProgressView {
 public:
  explicit LineProgressView(std::ostream& out) : out_(out) {}
  void Update(const Progress& progress) override;
  void Release(const Progress& progress) override;

 private:
  std::ostream& out_;
  std::map<uint64_t, int> tenths_;  // the last tenth written, per monitor
};

// The view qmhost uses: a terminal view when standard error is a terminal,
// plain lines otherwise.  A terminal view's line is ended before anything
// else is written to std::cout or std::cerr.
std::shared_ptr<ProgressView> StandardErrorProgressView();

class Monitor : public HostObject, public CQmImpl_Monitor {
 public:
  // Sets the total and starts the count again from zero.
  QmResult mon_Initialize(uint32_t count) override;
  // Adds steps (the count stops at the largest 32-bit number).  A released
  // monitor still counts, but is no longer shown.
  QmResult mon_Increment(uint32_t count) override;

  Progress State();
  void* Face() { return face_.get(); }

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  friend class StdDialogService;
  struct Shared;  // the service's view, shared with its monitors

  Monitor(uint64_t id, std::string title, std::shared_ptr<Shared> shared);
  void Show(const Progress& progress, bool release);
  void MarkReleased();

  HostFace<IQmMonitor> face_{this};
  std::shared_ptr<Shared> shared_;
  std::mutex lock_;
  Progress progress_;
};

class StdDialogService : public HostObject, public CQmImpl_StdDialogService {
 public:
  StdDialogService();

  QmResult dlg_ScriptQuery(void** query) override;
  // A new monitor for the caller; the service keeps it open, as the
  // current monitor, until MonitorRelease.
  QmResult dlg_MonitorAllocate(const char* title, void** monitor) override;
  // Closes the monitor allocated last and not yet released (QMe_NOTFOUND
  // when there is none).
  QmResult dlg_MonitorRelease() override;

  // Where progress is shown; null shows nothing.
  void SetView(std::shared_ptr<ProgressView> view);
  // Monitors allocated and not yet released, oldest first.
  std::vector<Ref<Monitor>> OpenMonitors();
  // How many monitors the service keeps open: they are the host's until
  // MonitorRelease, not the plug-in's to give back.
  size_t KeptObjects();
  // Describes every open monitor that someone other than the service still
  // references; empty when none is.
  std::string Leaks();

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  HostFace<IQmStdDialogService> face_{this};
  std::shared_ptr<Monitor::Shared> shared_;
  std::mutex lock_;
  uint64_t nextId_ = 1;
  std::vector<Ref<Monitor>> open_;
};

}  // namespace qmhost

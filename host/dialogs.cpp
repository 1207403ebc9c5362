#include "host/dialogs.h"

#include <unistd.h>

#include <iostream>
#include <limits>

namespace qmhost {

int Progress::Percent() const {
  if (total == 0) return 0;
  if (done >= total) return 100;
  return static_cast<int>(static_cast<uint64_t>(done) * 100 / total);
}

// --- Views ------------------------------------------------------------------------------

TerminalProgressView::TerminalProgressView(std::ostream& out, int barWidth)
    : out_(out), barWidth_(barWidth > 0 ? barWidth : 1) {}

std::string TerminalProgressView::Line(const Progress& p) const {
  if (p.total == 0) return p.title + " " + std::to_string(p.done);
  int filled = static_cast<int>(static_cast<int64_t>(p.Percent()) * barWidth_ / 100);
  std::string percent = std::to_string(p.Percent());
  return p.title + " [" + std::string(static_cast<size_t>(filled), '#') +
         std::string(static_cast<size_t>(barWidth_ - filled), '.') + "] " +
         std::string(3 - percent.size(), ' ') + percent + "%";
}

void TerminalProgressView::Draw(const Progress& p) {
  std::lock_guard<std::mutex> hold(lock_);
  std::string line = Line(p);
  if (open_ == p.id && line == drawn_) return;
  if (open_ != 0 && open_ != p.id) out_ << "\n";  // another monitor's line stays as it was
  std::string pad = open_ == p.id && drawn_.size() > line.size()
                        ? std::string(drawn_.size() - line.size(), ' ')
                        : std::string();
  out_ << "\r" << line << pad << std::flush;
  open_ = p.id;
  drawn_ = line;
}

void TerminalProgressView::Update(const Progress& p) { Draw(p); }

void TerminalProgressView::Release(const Progress& p) {
  Draw(p);
  EndLine();
}

void TerminalProgressView::EndLine() {
  std::lock_guard<std::mutex> hold(lock_);
  EndLineLocked();
}

void TerminalProgressView::EndLineLocked() {
  if (open_ == 0) return;
  out_ << "\n" << std::flush;
  open_ = 0;
  drawn_.clear();
}

void ProgressLineBreaker::SetView(std::weak_ptr<TerminalProgressView> view) {
  std::lock_guard<std::mutex> hold(lock_);
  view_ = std::move(view);
}

void ProgressLineBreaker::EndLine() {
  std::shared_ptr<TerminalProgressView> view;
  {
    std::lock_guard<std::mutex> hold(lock_);
    view = view_.lock();
  }
  if (view) view->EndLine();
}

int ProgressLineBreaker::overflow(int c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  EndLine();
  return target_->sputc(traits_type::to_char_type(c));
}

std::streamsize ProgressLineBreaker::xsputn(const char* text, std::streamsize count) {
  if (count > 0) EndLine();
  return target_->sputn(text, count);
}

int ProgressLineBreaker::sync() { return target_->pubsync(); }

void LineProgressView::Update(const Progress& p) {
  int tenth = p.Percent() / 10;
  int& last = tenths_[p.id];
  if (tenth > last) {
    out_ << p.title << ": " << tenth * 10 << "% (" << p.done << "/" << p.total << ")\n"
         << std::flush;
  }
  last = tenth;  // a new total starts the tenths again
}

void LineProgressView::Release(const Progress& p) {
  tenths_.erase(p.id);
  out_ << p.title << ": done (" << p.done << "/" << p.total << ")\n" << std::flush;
}

std::shared_ptr<ProgressView> StandardErrorProgressView() {
  if (!isatty(STDERR_FILENO)) return std::make_shared<LineProgressView>(std::cerr);
  // The view draws on standard error itself; what else goes to either
  // stream passes a breaker first.  Set once and kept to the end of the
  // process, since the streams outlive every other object.
  static std::ostream* terminal = nullptr;
  static ProgressLineBreaker* breakers[2] = {nullptr, nullptr};
  if (terminal == nullptr) terminal = new std::ostream(std::cerr.rdbuf());
  auto view = std::make_shared<TerminalProgressView>(*terminal);
  std::ostream* streams[2] = {&std::cout, &std::cerr};
  for (int i = 0; i < 2; ++i) {
    if (breakers[i] == nullptr) {
      breakers[i] = new ProgressLineBreaker(streams[i]->rdbuf(), view);
      streams[i]->rdbuf(breakers[i]);
    } else {
      breakers[i]->SetView(view);
    }
  }
  return view;
}

// --- Monitors ---------------------------------------------------------------------------

struct Monitor::Shared {
  std::mutex lock;  // also keeps two monitors from drawing at once
  std::shared_ptr<ProgressView> view;
};

Monitor::Monitor(uint64_t id, std::string title, std::shared_ptr<Shared> shared)
    : shared_(std::move(shared)) {
  progress_.id = id;
  progress_.title = std::move(title);
}

void Monitor::Show(const Progress& progress, bool release) {
  std::lock_guard<std::mutex> hold(shared_->lock);
  if (!shared_->view) return;
  if (release) {
    shared_->view->Release(progress);
  } else {
    shared_->view->Update(progress);
  }
}

QmResult Monitor::mon_Initialize(uint32_t count) {
  Progress now;
  {
    std::lock_guard<std::mutex> hold(lock_);
    progress_.total = count;
    progress_.done = 0;
    now = progress_;
  }
  if (!now.released) Show(now, false);
  return QMe_OK;
}

QmResult Monitor::mon_Increment(uint32_t count) {
  Progress now;
  {
    std::lock_guard<std::mutex> hold(lock_);
    uint32_t room = std::numeric_limits<uint32_t>::max() - progress_.done;
    progress_.done += count < room ? count : room;
    now = progress_;
  }
  if (!now.released) Show(now, false);
  return QMe_OK;
}

void Monitor::MarkReleased() {
  Progress now;
  {
    std::lock_guard<std::mutex> hold(lock_);
    progress_.released = true;
    now = progress_;
  }
  Show(now, true);
}

Progress Monitor::State() {
  std::lock_guard<std::mutex> hold(lock_);
  return progress_;
}

void* Monitor::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmMonitor ? face_.get() : nullptr;
}

// --- Service ----------------------------------------------------------------------------

StdDialogService::StdDialogService() : shared_(std::make_shared<Monitor::Shared>()) {}

QmResult StdDialogService::dlg_ScriptQuery(void** query) {
  if (query != nullptr) *query = nullptr;
  return QMe_NOTIMPL;
}

QmResult StdDialogService::dlg_MonitorAllocate(const char* title, void** monitor) {
  if (monitor == nullptr) return QMe_INVALIDARG;
  *monitor = nullptr;
  Ref<Monitor> made;
  {
    std::lock_guard<std::mutex> hold(lock_);
    made = Ref<Monitor>(new Monitor(nextId_++, title != nullptr ? title : "", shared_));
    open_.push_back(made);
  }
  return made->QueryInterface(&IID_IQmMonitor, monitor);
}

QmResult StdDialogService::dlg_MonitorRelease() {
  Ref<Monitor> last;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (open_.empty()) return QMe_NOTFOUND;
    last = open_.back();
    open_.pop_back();
  }
  last->MarkReleased();
  return QMe_OK;  // `last` lets go of the service's reference here
}

void StdDialogService::SetView(std::shared_ptr<ProgressView> view) {
  std::lock_guard<std::mutex> hold(shared_->lock);
  shared_->view = std::move(view);
}

std::vector<Ref<Monitor>> StdDialogService::OpenMonitors() {
  std::lock_guard<std::mutex> hold(lock_);
  return open_;
}

size_t StdDialogService::KeptObjects() {
  std::lock_guard<std::mutex> hold(lock_);
  return open_.size();
}

std::string StdDialogService::Leaks() {
  std::lock_guard<std::mutex> hold(lock_);
  std::string report;
  for (const auto& monitor : open_) {
    // The service's reference is the only one expected.
    uint32_t refs = monitor->RefCount();
    if (refs != 1) {
      report += "open monitor \"" + monitor->State().title + "\" still has " +
                std::to_string(refs - 1) + " reference(s) from the plug-in\n";
    }
  }
  return report;
}

void* StdDialogService::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmStdDialogService ? face_.get() : nullptr;
}

}  // namespace qmhost

// Console lines typed at a terminal: line editing, Tab completion and a
// history kept across sessions, through the readline library, which is
// loaded when a console at a terminal needs it and stays loaded until the
// process ends.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "host/console.h"

namespace qmhost {

class TerminalLineSource : public LineSource {
 public:
  // Null, with the reason in `error`, when the library cannot be loaded.
  // `historyFile` (empty: none) is read now and added to as inputs end.
  static std::unique_ptr<TerminalLineSource> Load(const std::string& historyFile,
                                                  std::string* error);
  ~TerminalLineSource() override;

  bool ReadLine(const std::string& prompt, std::string* line) override;
  bool TakeInterrupt() override;
  bool Interactive() const override { return true; }
  void SetCompleter(Completer completer) override;
  void Remember(const std::string& input) override;

  struct Library;  // the library's functions and variables

 private:
  TerminalLineSource(std::unique_ptr<Library> library, std::string historyFile);

  std::unique_ptr<Library> rl_;
  std::string historyFile_;
  std::deque<std::string> queued_;  // the further lines of a recalled input
  bool interrupted_ = false;
};

// The history file of a user's console sessions: $QMHOST_HISTORY, else
// .qmhost_history in $HOME; empty when neither is set.
std::string DefaultHistoryFile();

}  // namespace qmhost

#include "host/terminal.h"

#include <dlfcn.h>
#include <readline/history.h>
#include <readline/readline.h>
#include <signal.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace qmhost {

// What the console uses of the library, found by name.
struct TerminalLineSource::Library {
  void* handle = nullptr;
  decltype(&rl_callback_handler_install) install = nullptr;
  decltype(&rl_callback_read_char) readChar = nullptr;
  decltype(&rl_callback_handler_remove) remove = nullptr;
  decltype(&rl_callback_sigcleanup) sigCleanup = nullptr;
  decltype(&rl_free_line_state) freeLineState = nullptr;
  decltype(&rl_cleanup_after_signal) cleanupAfterSignal = nullptr;
  decltype(&rl_replace_line) replaceLine = nullptr;
  decltype(&rl_completion_matches) completionMatches = nullptr;
  decltype(&add_history) addHistory = nullptr;
  decltype(&read_history) readHistory = nullptr;
  decltype(&write_history) writeHistory = nullptr;
  decltype(&stifle_history) stifleHistory = nullptr;
  decltype(&history_comment_char) commentChar = nullptr;
  decltype(&rl_attempted_completion_function) attemptedCompletion = nullptr;
  decltype(&rl_attempted_completion_over) completionOver = nullptr;
  decltype(&rl_completion_append_character) appendCharacter = nullptr;
  decltype(&rl_completer_word_break_characters) wordBreaks = nullptr;
  decltype(&rl_catch_signals) catchSignals = nullptr;
  decltype(&rl_readline_name) readlineName = nullptr;
  decltype(&history_write_timestamps) writeTimestamps = nullptr;
  decltype(&rl_bind_key) bindKey = nullptr;
  decltype(&rl_complete) complete = nullptr;
  int* multilineEntries = nullptr;  // history_multiline_entries, where the library has it

  template <typename T>
  bool Find(T* into, const char* name, std::string* error) {
    *into = reinterpret_cast<T>(dlsym(handle, name));
    if (*into == nullptr) *error = std::string(QMHOST_READLINE " has no ") + name;
    return *into != nullptr;
  }
};

namespace {

constexpr int kHistoryLines = 1000;

// The one source reading at a time, for the library's callbacks.
TerminalLineSource::Library* gLibrary = nullptr;
LineSource::Completer gCompleter;
std::vector<std::string> gMatches;
bool gLineDone = false;
bool gLineEnd = false;  // the end of input (Ctrl-D on an empty line)
std::string gLine;
volatile sig_atomic_t gInterrupt = 0;

void OnLine(char* text) {
  gLineDone = true;
  gLineEnd = text == nullptr;
  gLine = text != nullptr ? text : "";
  std::free(text);
  // No prompt is shown again until the console asks for the next line.
  gLibrary->remove();
}

void OnInterrupt(int) { gInterrupt = 1; }

char* NextMatch(const char* text, int state) {
  if (state == 0) gMatches = gCompleter ? gCompleter(text) : std::vector<std::string>();
  if (static_cast<size_t>(state) >= gMatches.size()) return nullptr;
  return strdup(gMatches[state].c_str());
}

char** CompleteWord(const char* text, int, int) {
  *gLibrary->completionOver = 1;    // never fall back to file names
  *gLibrary->appendCharacter = '\0';  // a completed name may go on with a dot
  return gLibrary->completionMatches(text, NextMatch);
}

// Python names are completed with their dots: a dot does not break words.
char kWordBreaks[] = " \t\n`~!@#$%^&*()-=+[{]}\\|;:'\",<>/?";
char kReadlineName[] = "qmhost";

}  // namespace

std::unique_ptr<TerminalLineSource> TerminalLineSource::Load(const std::string& historyFile,
                                                             std::string* error) {
  auto rl = std::make_unique<Library>();
  rl->handle = dlopen(QMHOST_READLINE, RTLD_NOW | RTLD_LOCAL);
  if (rl->handle == nullptr) {
    *error = dlerror();
    return nullptr;
  }
  bool found = rl->Find(&rl->install, "rl_callback_handler_install", error) &&
               rl->Find(&rl->readChar, "rl_callback_read_char", error) &&
               rl->Find(&rl->remove, "rl_callback_handler_remove", error) &&
               rl->Find(&rl->sigCleanup, "rl_callback_sigcleanup", error) &&
               rl->Find(&rl->freeLineState, "rl_free_line_state", error) &&
               rl->Find(&rl->cleanupAfterSignal, "rl_cleanup_after_signal", error) &&
               rl->Find(&rl->replaceLine, "rl_replace_line", error) &&
               rl->Find(&rl->completionMatches, "rl_completion_matches", error) &&
               rl->Find(&rl->addHistory, "add_history", error) &&
               rl->Find(&rl->readHistory, "read_history", error) &&
               rl->Find(&rl->writeHistory, "write_history", error) &&
               rl->Find(&rl->stifleHistory, "stifle_history", error) &&
               rl->Find(&rl->commentChar, "history_comment_char", error) &&
               rl->Find(&rl->attemptedCompletion, "rl_attempted_completion_function", error) &&
               rl->Find(&rl->completionOver, "rl_attempted_completion_over", error) &&
               rl->Find(&rl->appendCharacter, "rl_completion_append_character", error) &&
               rl->Find(&rl->wordBreaks, "rl_completer_word_break_characters", error) &&
               rl->Find(&rl->catchSignals, "rl_catch_signals", error) &&
               rl->Find(&rl->readlineName, "rl_readline_name", error) &&
               rl->Find(&rl->writeTimestamps, "history_write_timestamps", error) &&
               rl->Find(&rl->bindKey, "rl_bind_key", error) &&
               rl->Find(&rl->complete, "rl_complete", error);
  if (!found) {
    dlclose(rl->handle);
    return nullptr;
  }
  rl->multilineEntries = static_cast<int*>(dlsym(rl->handle, "history_multiline_entries"));
  // Inputs of several lines stay one entry in the history file: the time
  // stamps written before each entry (on lines that begin with the comment
  // character) tell where entries begin.
  *rl->commentChar = '#';
  *rl->writeTimestamps = 1;
  rl->stifleHistory(kHistoryLines);
  if (rl->multilineEntries != nullptr) *rl->multilineEntries = 1;
  if (!historyFile.empty()) rl->readHistory(historyFile.c_str());
  return std::unique_ptr<TerminalLineSource>(new TerminalLineSource(std::move(rl), historyFile));
}

TerminalLineSource::TerminalLineSource(std::unique_ptr<Library> library, std::string historyFile)
    : rl_(std::move(library)), historyFile_(std::move(historyFile)) {}

TerminalLineSource::~TerminalLineSource() {
  if (gLibrary == rl_.get()) gLibrary = nullptr;
  gCompleter = nullptr;
}

void TerminalLineSource::SetCompleter(Completer completer) { gCompleter = std::move(completer); }

bool TerminalLineSource::TakeInterrupt() {
  bool was = interrupted_;
  interrupted_ = false;
  return was;
}

void TerminalLineSource::Remember(const std::string& input) {
  if (input.empty()) return;
  rl_->addHistory(input.c_str());
  // The file is written whole, so that it holds what the session holds:
  // the last inputs of every session, each entry once.
  if (!historyFile_.empty()) rl_->writeHistory(historyFile_.c_str());
}

// Reads through the library's callback interface, so that Ctrl-C, which
// only sets a flag while the console waits, ends the wait: the line typed
// so far is dropped and the console hears of the interrupt.  Python's own
// handler of the signal is back in place while an input runs.
bool TerminalLineSource::ReadLine(const std::string& prompt, std::string* line) {
  if (!queued_.empty()) {
    *line = queued_.front();
    queued_.pop_front();
    return true;
  }
  gLibrary = rl_.get();
  gLineDone = gLineEnd = false;
  gInterrupt = 0;
  sigset_t block, original;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigprocmask(SIG_BLOCK, &block, &original);
  sigset_t waiting = original;
  sigdelset(&waiting, SIGINT);
  struct sigaction mine = {}, before = {};
  mine.sa_handler = OnInterrupt;
  sigemptyset(&mine.sa_mask);
  sigaction(SIGINT, &mine, &before);

  // The settings are made anew for every line: a script that imports
  // Python's own readline module changes them for its own use.
  *rl_->readlineName = kReadlineName;
  *rl_->catchSignals = 0;  // Ctrl-C is handled here
  *rl_->wordBreaks = kWordBreaks;
  *rl_->attemptedCompletion = CompleteWord;
  rl_->bindKey('\t', rl_->complete);
  std::fflush(stdout);
  rl_->install(prompt.c_str(), OnLine);
  while (!gLineDone) {
    fd_set in;
    FD_ZERO(&in);
    FD_SET(STDIN_FILENO, &in);
    // SIGINT is let through only while waiting, so none is missed.
    int ready = pselect(STDIN_FILENO + 1, &in, nullptr, nullptr, nullptr, &waiting);
    if (gInterrupt) {
      rl_->replaceLine("", 0);
      rl_->freeLineState();
      rl_->sigCleanup();
      rl_->cleanupAfterSignal();
      rl_->remove();
      std::fputc('\n', stdout);
      interrupted_ = true;
      gLine.clear();
      break;
    }
    if (ready < 0 && errno != EINTR) {
      rl_->remove();
      gLineDone = gLineEnd = true;
      break;
    }
    if (ready > 0) rl_->readChar();
  }
  sigaction(SIGINT, &before, nullptr);
  sigprocmask(SIG_SETMASK, &original, nullptr);

  if (interrupted_) {
    line->clear();
    return true;
  }
  if (gLineEnd) {
    std::fputc('\n', stdout);  // leave the shell's prompt on a line of its own
    return false;
  }
  // A recalled input of several lines comes back whole: its lines are
  // handed out one by one.
  size_t start = 0;
  for (size_t end; (end = gLine.find('\n', start)) != std::string::npos; start = end + 1) {
    queued_.push_back(gLine.substr(start, end - start));
  }
  queued_.push_back(gLine.substr(start));
  *line = queued_.front();
  queued_.pop_front();
  return true;
}

std::string DefaultHistoryFile() {
  const char* file = std::getenv("QMHOST_HISTORY");
  if (file != nullptr) return file;
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return {};
  return std::string(home) + "/.qmhost_history";
}

}  // namespace qmhost

// Injected faults: the reference host can make the N-th call of one of its
// methods fail, to see how the plug-in copes with a host that says no.
// Off unless armed (qmhost arms it from $QMHOST_FAULT); while armed, every
// call the plug-in makes into a host object through its function table is
// counted by method, armed or not.
//
// A method is named by its interface without the "IQm" and its method
// name: "ThreadService.CreateCS", "LogService.CreateEntryMessage".  The
// application object's own QueryInterface, through which the plug-in finds
// every global service, is "Application.QueryInterface".
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "qm_sdk.h"
#include "qm_guarded.h"

namespace qmhost {

struct FaultPoint {
  std::string method;  // "Interface.Method"
  unsigned long call;  // which call fails, counted from 1
  QmFault answer;      // a result code, or success with null out-locations
  bool fired = false;
};

// Reads "METHOD:N[:CODE|:null]", several separated by commas.  CODE is a
// result code's name ("OUTOFMEMORY" or "QMe_OUTOFMEMORY") or a number
// ("0x80000000"); without it the call answers QMe_FAILED.  False with the
// reason in `error` when the text is not such a list.
bool ParseFaultPoints(const std::string& text, std::vector<FaultPoint>* points,
                      std::string* error);

// The host's own calls through a function table (of an object that may be
// the host's or someone else's) are not the plug-in's: while one of these
// lives, the calls its thread makes are neither counted nor failed.
class OwnCalls {
 public:
  OwnCalls();
  ~OwnCalls();
  OwnCalls(const OwnCalls&) = delete;
  OwnCalls& operator=(const OwnCalls&) = delete;
};

class Faults {
 public:
  // Arms `points` (none: only count) and starts counting calls afresh.
  static void Arm(std::vector<FaultPoint> points);
  static void Disarm();
  static bool Armed() { return armed_.load(std::memory_order_relaxed); }

  // Counts a call of `method`, which can give `answers`; true, with the
  // answer to give, when this call is one that fails.  A null answer armed
  // for a method that answers only a result code never fires.
  static bool Fault(const char* method, QmFaultAnswers answers, QmFault* answer) {
    return Armed() && Count(method, answers, answer);
  }

  struct Calls {
    unsigned long count = 0;
    QmFaultAnswers answers = QmFaultAnswers::kCode;
  };
  // Calls of each method counted since Arm.
  static std::map<std::string, Calls> Counted();
  // The armed points, each marked with whether it fired.
  static std::vector<FaultPoint> Points();
  // One line per armed point: "fault METHOD:N answered CODE", "fault
  // METHOD:N not reached (K calls)" or "fault METHOD:N:null does not apply".
  static std::string Report();

 private:
  static bool Count(const char* method, QmFaultAnswers answers, QmFault* answer);
  static std::atomic<bool> armed_;
};

}  // namespace qmhost

// Catch templates for the C boundary: a function the other side calls must
// not let an exception out.  A thrown result code or any other exception
// becomes the function's failure answer (a result code: the thrown code,
// QMe_OUTOFMEMORY or QMe_FAILED; a value: the given failure value).
#pragma once

#include <new>

#include "qm_results.h"

template <class Call>
QmResult QmGuardedCode(Call&& call) {
  try {
    return call();
  } catch (QmResult code) {
    return code;
  } catch (const std::bad_alloc&) {
    return QMe_OUTOFMEMORY;
  } catch (...) {
    return QMe_FAILED;
  }
}

template <class R, class Call>
R QmGuardedValue(R fail, Call&& call) {
  try {
    return call();
  } catch (...) {
    return fail;
  }
}

template <class Call>
void QmGuardedVoid(Call&& call) {
  try {
    call();
  } catch (...) {
  }
}

// Injected faults.  An Access class of the generated thunks may declare
//
//   static bool Fault(const char* method, QmFaultAnswers answers, QmFault* answer);
//
// and every thunk of a method with an answer then asks it first, with the
// method's name ("ThreadService.CreateCS") and the answers it can give:
// when it says true, the thunk answers `*answer` without calling the
// implementation.  A host uses it to
// make its services fail on purpose; Access classes without it compile to
// the plain thunks.
enum class QmFaultAnswers {
  kValue,       // a method answering a value: its failure value (0, null)
  kCode,        // a result code
  kCodeOrNull,  // a result code, or success with null out-objects or texts
};

struct QmFault {
  QmResult code = QMe_FAILED;  // the answer of a method answering a result code
  bool null = false;  // instead: success, with every object and text out-location null
};

template <class Access, class = void>
struct QmAccessFaults {
  static constexpr bool value = false;
};
template <class Access>
struct QmAccessFaults<Access, decltype(void(Access::Fault("", QmFaultAnswers::kCode, static_cast<QmFault*>(nullptr))))> {
  static constexpr bool value = true;
};

// Out-locations of a pointer (objects, texts, GUIDs) are nulled by a null
// answer; numbers, buffers and their sizes are left as they are.
template <class T>
void QmFaultClear(T** out) {
  if (out != nullptr) *out = nullptr;
}
template <class T>
void QmFaultClear(T*) {}
template <class T>
void QmFaultClear(T) {}

// The answer of a method answering a result code, given its out-locations.
template <class... Outs>
QmResult QmFaultCode(const QmFault& fault, Outs... outs) {
  if (!fault.null) return fault.code;
  (QmFaultClear(outs), ...);
  return QMe_OK;
}

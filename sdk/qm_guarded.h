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

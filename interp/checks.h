// The throw checks: a failed step throws its result code by value, and the
// boundary to the host or to Python catches it.
#pragma once

#include <cstdint>

#include "qm_sdk.h"

// Throws `code` when it is a failure.
inline void CheckResult(QmResult code) {
  if (QmFailed(code)) throw code;
}

// Throws `code` when `pointer` is null.
inline void CheckPointer(const void* pointer, QmResult code) {
  if (pointer == nullptr) throw code;
}

// Throws `code` when `flag` is false.
inline void CheckTrue(bool flag, QmResult code) {
  if (!flag) throw code;
}

// Throws `code` when `value` is negative.
inline void CheckNonNegative(int64_t value, QmResult code) {
  if (value < 0) throw code;
}

// Basic types shared by the host and the plug-in: result codes, GUIDs, the
// base object layout and the tag description entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A 32-bit result code; bit 31 set means failure.
using QmResult = uint32_t;

// The longest path a host hands out through an alias, with its terminator.
inline constexpr size_t kQmMaxPath = 4096;

inline constexpr bool QmFailed(QmResult code) {
  return (code & 0x80000000U) != 0;
}

// A 16-byte interface or class identifier.
struct QmGUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

// Compares field by field (Data1, Data2, Data3, then the eight bytes).
int QmGuidCompare(const QmGUID& a, const QmGUID& b);

inline bool operator==(const QmGUID& a, const QmGUID& b) {
  return QmGuidCompare(a, b) == 0;
}
inline bool operator!=(const QmGUID& a, const QmGUID& b) {
  return QmGuidCompare(a, b) != 0;
}
inline bool operator<(const QmGUID& a, const QmGUID& b) {
  return QmGuidCompare(a, b) < 0;
}

// Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (hexadecimal digits in either
// case).  Returns false and leaves `out` untouched for any other text.
bool QmGuidParse(const char* text, QmGUID* out);

// The text form, upper case.
std::string QmGuidFormat(const QmGUID& guid);

// One record of a block table: an identifier and its text.  A table ends
// with a record whose identifier is 0 and whose text is null.
struct QmBlockEntry {
  int32_t id;
  const char* text;
};

// One record of a tag description: three pointer-sized words.  The third
// is the server's primary interface GUID in a module's own list, and null
// in a server's static tag table.
struct QmTagInfo {
  const char* name;
  const char* value;
  const QmGUID* guid;
};

// One record of a hint table: a value and its name.  A table ends with a
// record whose name is null.
struct QmTextValueHint {
  int32_t value;
  const char* name;
};

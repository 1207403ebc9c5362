#include "qm_types.h"

#include <cstdio>

int QmGuidCompare(const QmGUID& a, const QmGUID& b) {
  if (a.Data1 != b.Data1) return a.Data1 < b.Data1 ? -1 : 1;
  if (a.Data2 != b.Data2) return a.Data2 < b.Data2 ? -1 : 1;
  if (a.Data3 != b.Data3) return a.Data3 < b.Data3 ? -1 : 1;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return a.Data4[i] < b.Data4[i] ? -1 : 1;
  }
  return 0;
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hexadecimal digits from text[pos]; false on a non-digit.
bool ReadHex(const char* text, size_t pos, int digits, uint32_t* value) {
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int d = HexDigit(text[pos + i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

}  // namespace

bool QmGuidParse(const char* text, QmGUID* out) {
  if (text == nullptr) return false;
  // Check the length and hyphen positions before reading any digit, so that
  // a short text is never read past its end.
  size_t len = 0;
  while (len < 37 && text[len] != '\0') ++len;
  if (len != 36) return false;
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
  QmGUID g;
  uint32_t v;
  if (!ReadHex(text, 0, 8, &v)) return false;
  g.Data1 = v;
  if (!ReadHex(text, 9, 4, &v)) return false;
  g.Data2 = static_cast<uint16_t>(v);
  if (!ReadHex(text, 14, 4, &v)) return false;
  g.Data3 = static_cast<uint16_t>(v);
  static const size_t kBytePos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, kBytePos[i], 2, &v)) return false;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  *out = g;
  return true;
}

std::string QmGuidFormat(const QmGUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

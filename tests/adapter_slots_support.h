// What the generated test of every adapter slot stands on: a slot call
// with the text the Python recorder must have received and the text of
// what the host got back.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "qm_sdk.h"

struct SlotCall {
  const char* method;
  // Calls the slot on `object`; `host` is a host object to pass, `memory`
  // a block for array arguments.
  std::string (*call)(void* object, void* host, void* memory);
  const char* record;  // what Python received
  const char* got;     // what the host got, ";"-separated
};

inline const double kVector[3] = {1, 2, 3};
inline const double kBox[6] = {1, 2, 3, 4, 5, 6};
inline const QmTextValueHint kHints[] = {{1, "one"}, {2, "two"}, {0, nullptr}};

inline std::string Join(std::initializer_list<std::string> parts) {
  std::string text;
  for (const auto& part : parts) text += (text.empty() && &part == parts.begin() ? "" : ";") + part;
  return text;
}

inline std::string ShowCode(QmResult code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}
inline std::string ShowInt(long value) { return std::to_string(value); }
inline std::string ShowFloat(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}
inline std::string ShowText(const char* text) { return text != nullptr ? text : "null"; }
inline std::string ShowGuid(const QmGUID* guid) {
  return guid != nullptr ? QmGuidFormat(*guid) : "null";
}
inline std::string ShowObject(void* object) {
  if (object == nullptr) return "null";
  QmRelease(object);
  return "obj";
}
inline std::string ShowPointer(void* pointer) {
  return pointer != nullptr ? std::to_string(reinterpret_cast<uintptr_t>(pointer)) : "null";
}
inline std::string ShowMemory(void* memory) { return memory != nullptr ? "mem" : "null"; }
inline std::string ShowDoubles(const double* values, int n) {
  std::string text = "[";
  for (int i = 0; i < n; ++i) text += (i ? "," : "") + ShowFloat(values[i]);
  return text + "]";
}

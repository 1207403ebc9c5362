#include "tests/recorder_support.h"

#include <cstring>

std::vector<std::string>& Records() {
  static std::vector<std::string> records;
  return records;
}

void Record(const char* method, std::initializer_list<std::string> args) {
  std::string text = std::string(method) + "(";
  bool first = true;
  for (const auto& a : args) {
    if (!first) text += ",";
    text += a;
    first = false;
  }
  Records().push_back(text + ")");
}

std::string RecInt(int32_t v) { return std::to_string(v); }
std::string RecUnsigned(uint32_t v) { return std::to_string(v); }

std::string RecFloat(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::string RecText(const char* v) { return v != nullptr ? v : "null"; }
std::string RecGuid(const QmGUID* v) { return v != nullptr ? QmGuidFormat(*v) : "null"; }
// The object's function table is used, as a host uses the object it is
// given.
std::string RecObject(void* v) {
  if (v == nullptr) return "null";
  QmAddRef(v);
  QmRelease(v);
  return "obj";
}

std::string RecPointer(const void* v) {
  return std::to_string(reinterpret_cast<uintptr_t>(v));
}

// A storage object given as an array holds at least one element: its
// first byte is read, as a host reads the array it is given.
std::string RecArray(const void* v) {
  if (v == nullptr) return "null";
  volatile const unsigned char first = *static_cast<const unsigned char*>(v);
  static_cast<void>(first);
  return "array";
}

std::string RecDoubles(const double* v, int n) {
  std::string text = "[";
  for (int i = 0; i < n; ++i) text += (i ? "," : "") + RecFloat(v[i]);
  return text + "]";
}

std::string RecHints(const QmTextValueHint* v) {
  std::string text;
  for (; v != nullptr && v->name != nullptr; ++v) {
    if (!text.empty()) text += ";";
    text += std::to_string(v->value) + ":" + v->name;
  }
  return text;
}

std::string RecBlocks(const QmBlockEntry* v) {
  std::string text;
  for (; v != nullptr && v->text != nullptr; ++v) {
    if (!text.empty()) text += ";";
    text += std::to_string(v->id) + ":" + v->text;
  }
  return text;
}

void FillDoubles(double* out, int n, int first) {
  for (int i = 0; i < n; ++i) out[i] = first + i;
}

QmResult FillText(char* buffer, uint32_t length) {
  std::string text(700, 'b');
  if (length <= text.size()) return QMe_SHORTBUFFER;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return QMe_OK;
}

const QmTextValueHint kRecordedHints[] = {{1, "a"}, {2, "b"}, {0, nullptr}};

const IQmUnknown_Vtbl RecUnknown::kTable = {&qmhost::HostAccess<RecUnknown>::QueryInterface,
                                            &qmhost::HostAccess<RecUnknown>::AddRef,
                                            &qmhost::HostAccess<RecUnknown>::Release};

void* RecordedObject() {
  static qmhost::Ref<RecUnknown> kept(new RecUnknown);
  void* face = nullptr;
  kept->QueryInterface(nullptr, &face);
  kept->Release();  // no reference for the caller: the recorder keeps it
  return face;
}

bool gPlainObjects = false;

void* NewPlainObject() {
  auto* object = new RecUnknown;
  void* face = nullptr;
  object->QueryInterface(nullptr, &face);
  object->Release();
  return face;
}

// Support of the generated recording implementations: every call is
// written down as "Name(arg,arg)" and answered with fixed values, so that a
// test can check that each wrapper method reaches the right host method
// with the right converted arguments, and converts what comes back.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "host/object.h"
#include "qm_sdk.h"

// The calls recorded since the last Clear.
std::vector<std::string>& Records();

void Record(const char* method, std::initializer_list<std::string> args);

std::string RecInt(int32_t v);
std::string RecUnsigned(uint32_t v);
std::string RecFloat(double v);
std::string RecText(const char* v);
std::string RecGuid(const QmGUID* v);
std::string RecObject(void* v);
std::string RecPointer(const void* v);
std::string RecArray(const void* v);
std::string RecDoubles(const double* v, int n);
std::string RecHints(const QmTextValueHint* v);
std::string RecBlocks(const QmBlockEntry* v);

// Writes first, first+1, ... into n doubles.
void FillDoubles(double* out, int n, int first);
// A 700-character text, so that a 512-byte buffer is too short.
QmResult FillText(char* buffer, uint32_t length);

extern const QmTextValueHint kRecordedHints[];

// A recorder with nothing to record: any object.
class RecUnknown : public qmhost::HostObject {
 protected:
  void* Find(const QmGUID& iid) override {
    return iid == IID_QmBaseUnknown ? static_cast<void*>(&face_) : nullptr;
  }

 private:
  qmhost::HostFaceBase face_{&kTable, this};
  static const IQmUnknown_Vtbl kTable;
};

// While set, recorders hand out objects of no particular interface in
// place of the typed objects their methods promise.
extern bool gPlainObjects;
void* NewPlainObject();

// A new recorder of class T, seen through its first interface, with one
// reference for the caller.
template <class T>
void* NewRecorded() {
  if (gPlainObjects) return NewPlainObject();
  auto* object = new T;
  void* face = nullptr;
  object->QueryInterface(nullptr, &face);
  object->Release();
  return face;
}

// An object handed out without a reference for the caller: the recorder
// keeps it.
void* RecordedObject();

struct RecordedType {
  const char* kind;  // "object" or "service"
  const char* name;
  void* (*make)();
};

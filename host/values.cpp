#include "host/values.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qmhost {

namespace {

constexpr ValueType kTypes[] = {
    {"integer", ValueKind::kInteger, "Integer"}, {"boolean", ValueKind::kInteger, "Boolean"},
    {"float", ValueKind::kFloat, "Number"},      {"distance", ValueKind::kFloat, "Distance"},
    {"angle", ValueKind::kFloat, "Angle"},       {"string", ValueKind::kString, "Text"},
};

constexpr double kPi = 3.14159265358979323846;

// A number filling the whole text, with an optional suffix from `units`
// scaling it.  Blanks between the number and the unit are allowed.
struct Unit {
  const char* suffix;
  double scale;
};

bool ParseNumber(const std::string& text, const Unit* units, size_t unitCount, double* out) {
  const char* start = text.c_str();
  if (*start == '\0' || std::isspace(static_cast<unsigned char>(*start))) return false;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(start, &end);
  if (end == start || errno == ERANGE || !std::isfinite(v)) return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') {
    const Unit* unit = nullptr;
    for (size_t i = 0; i < unitCount; ++i) {
      if (strcasecmp(end, units[i].suffix) == 0) unit = &units[i];
    }
    if (unit == nullptr) return false;
    v *= unit->scale;
  }
  *out = v;
  return true;
}

bool ParseInteger(const std::string& text, int32_t* out) {
  const char* start = text.c_str();
  if (*start == '\0' || std::isspace(static_cast<unsigned char>(*start))) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(start, &end, 10);
  if (*end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

}  // namespace

const ValueType* FindValueType(const std::string& name) {
  for (const auto& type : kTypes) {
    if (name == type.name) return &type;
  }
  return nullptr;
}

Value Value::Int(int32_t v) {
  Value value;
  value.kind = ValueKind::kInteger;
  value.i = v;
  return value;
}

Value Value::Float(double v) {
  Value value;
  value.kind = ValueKind::kFloat;
  value.f = v;
  return value;
}

Value Value::String(std::string v) {
  Value value;
  value.kind = ValueKind::kString;
  value.s = std::move(v);
  return value;
}

bool Value::operator==(const Value& o) const {
  if (kind != o.kind) return false;
  switch (kind) {
    case ValueKind::kInteger:
      return i == o.i;
    case ValueKind::kFloat:
      return f == o.f;
    case ValueKind::kString:
      break;
  }
  return s == o.s;
}

bool ParseValue(const ValueType& type, const std::string& text, const QmTextValueHint* hints,
                Value* out) {
  const std::string name = type.name;
  if (type.kind == ValueKind::kString) {
    *out = Value::String(text);
    return true;
  }
  if (name == "boolean") {
    static const char* const kTrue[] = {"true", "yes", "on", "1"};
    static const char* const kFalse[] = {"false", "no", "off", "0"};
    for (const char* word : kTrue) {
      if (strcasecmp(text.c_str(), word) == 0) {
        *out = Value::Int(1);
        return true;
      }
    }
    for (const char* word : kFalse) {
      if (strcasecmp(text.c_str(), word) == 0) {
        *out = Value::Int(0);
        return true;
      }
    }
    return false;
  }
  if (type.kind == ValueKind::kInteger) {
    for (const QmTextValueHint* h = hints; h != nullptr && h->name != nullptr; ++h) {
      if (strcasecmp(text.c_str(), h->name) == 0) {
        *out = Value::Int(h->value);
        return true;
      }
    }
    int32_t v = 0;
    if (!ParseInteger(text, &v)) return false;
    *out = Value::Int(v);
    return true;
  }
  static const Unit kDistance[] = {{"mm", 0.001}, {"cm", 0.01}, {"m", 1.0}, {"km", 1000.0}};
  static const Unit kAngle[] = {{"deg", kPi / 180.0}, {"rad", 1.0}};
  double v = 0.0;
  bool ok = name == "distance" ? ParseNumber(text, kDistance, 4, &v)
            : name == "angle"  ? ParseNumber(text, kAngle, 2, &v)
                               : ParseNumber(text, nullptr, 0, &v);
  if (!ok) return false;
  *out = Value::Float(v);
  return true;
}

std::string FormatValue(const Value& value) {
  switch (value.kind) {
    case ValueKind::kInteger:
      return std::to_string(value.i);
    case ValueKind::kFloat: {
      char buf[40];
      for (int digits = 6; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, value.f);
        if (std::strtod(buf, nullptr) == value.f) break;
      }
      return buf;
    }
    case ValueKind::kString:
      break;
  }
  return value.s;
}

QmResult CopyText(const std::string& text, char* buffer, uint32_t length) {
  if (buffer == nullptr) return QMe_INVALIDARG;
  if (text.size() + 1 > length) {
    if (length > 0) buffer[0] = '\0';
    return QMe_SHORTBUFFER;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return QMe_OK;
}

namespace {

IQmValueArray* AsValueArray(void* array) {
  void* found = nullptr;
  if (array == nullptr || QmFailed(QmQueryInterface(array, IID_IQmValueArray, &found))) {
    return nullptr;
  }
  return static_cast<IQmValueArray*>(found);
}

}  // namespace

QmResult AddValues(void* array, ValueKind kind, const std::vector<Value>& values,
                   QmResult mismatch) {
  OwnCalls own;
  IQmValueArray* va = AsValueArray(array);
  if (va == nullptr) return QMe_INVALIDARG;
  uint32_t type = 0;
  QmResult rc = va->vt->Type(va, &type);
  if (!QmFailed(rc) && type != static_cast<uint32_t>(kind)) rc = mismatch;
  for (size_t i = 0; i < values.size() && !QmFailed(rc); ++i) {
    const Value& v = values[i];
    switch (kind) {
      case ValueKind::kInteger:
        rc = va->vt->AddInt(va, v.i);
        break;
      case ValueKind::kFloat:
        rc = va->vt->AddFloat(va, v.f);
        break;
      case ValueKind::kString:
        rc = va->vt->AddString(va, v.s.c_str());
        break;
    }
  }
  QmRelease(va);
  return QmFailed(rc) ? rc : QMe_OK;
}

QmResult ReadValue(void* array, uint32_t index, Value* out) {
  OwnCalls own;
  IQmValueArray* va = AsValueArray(array);
  if (va == nullptr || out == nullptr) {
    if (va != nullptr) QmRelease(va);
    return QMe_INVALIDARG;
  }
  uint32_t type = 0;
  QmResult rc = va->vt->Type(va, &type);
  if (!QmFailed(rc)) {
    switch (static_cast<ValueKind>(type)) {
      case ValueKind::kInteger:
        *out = Value::Int(0);
        rc = va->vt->GetInt(va, index, &out->i);
        break;
      case ValueKind::kFloat:
        *out = Value::Float(0.0);
        rc = va->vt->GetFloat(va, index, &out->f);
        break;
      case ValueKind::kString: {
        std::vector<char> buf(256);
        while ((rc = va->vt->GetString(va, index, buf.data(), static_cast<uint32_t>(buf.size()))) ==
                   QMe_SHORTBUFFER &&
               buf.size() < (1U << 24)) {
          buf.resize(buf.size() * 4);
        }
        if (!QmFailed(rc)) *out = Value::String(std::string(buf.data()));
        break;
      }
      default:
        rc = QMe_INVALIDARG;
    }
  }
  QmRelease(va);
  return rc;
}

uint32_t CountValues(void* array) {
  OwnCalls own;
  IQmValueArray* va = AsValueArray(array);
  if (va == nullptr) return 0;
  uint32_t n = va->vt->Count(va);
  QmRelease(va);
  return n;
}

// --- Value arrays --------------------------------------------------------------------

Ref<ValueArray> ValueArray::Make(const std::string& typeName) {
  const ValueType* type = FindValueType(typeName);
  return type != nullptr ? Ref<ValueArray>(new ValueArray(*type)) : Ref<ValueArray>();
}

QmResult ValueArray::va_Type(uint32_t* type) {
  if (type == nullptr) return QMe_INVALIDARG;
  *type = static_cast<uint32_t>(type_.kind);
  return QMe_OK;
}

QmResult ValueArray::va_TypeName(const char** name) {
  if (name == nullptr) return QMe_INVALIDARG;
  *name = type_.name;
  return QMe_OK;
}

uint32_t ValueArray::va_Count() {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<uint32_t>(values_.size());
}

QmResult ValueArray::va_AddEmptyValue(void** value) {
  if (value != nullptr) *value = nullptr;
  return QMe_NOTIMPL;
}

QmResult ValueArray::va_AddValue(void*) { return QMe_NOTIMPL; }

QmResult ValueArray::Add(Value value) {
  if (value.kind != type_.kind) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  values_.push_back(std::move(value));
  return QMe_OK;
}

QmResult ValueArray::va_AddInt(int32_t value) { return Add(Value::Int(value)); }
QmResult ValueArray::va_AddFloat(double value) { return Add(Value::Float(value)); }

QmResult ValueArray::va_AddString(const char* value) {
  if (value == nullptr) return QMe_INVALIDARG;
  return Add(Value::String(value));
}

QmResult ValueArray::va_GetValue(uint32_t, void** value) {
  if (value != nullptr) *value = nullptr;
  return QMe_NOTIMPL;
}

QmResult ValueArray::At(uint32_t index, ValueKind kind, Value* out) {
  std::lock_guard<std::mutex> hold(lock_);
  if (index >= values_.size()) return QMe_OUTOFBOUNDS;
  if (kind != type_.kind) return QMe_INVALIDARG;
  *out = values_[index];
  return QMe_OK;
}

QmResult ValueArray::va_GetInt(uint32_t index, int32_t* value) {
  return ReadField(value, ValueKind::kInteger, &Value::i,
                   [&](ValueKind kind, Value* v) { return At(index, kind, v); });
}

QmResult ValueArray::va_GetFloat(uint32_t index, double* value) {
  return ReadField(value, ValueKind::kFloat, &Value::f,
                   [&](ValueKind kind, Value* v) { return At(index, kind, v); });
}

QmResult ValueArray::va_GetString(uint32_t index, char* text, uint32_t length) {
  if (text == nullptr) return QMe_INVALIDARG;
  Value v;
  QmResult rc = At(index, ValueKind::kString, &v);
  return rc == QMe_OK ? CopyText(v.s, text, length) : rc;
}

QmResult ValueArray::va_FirstUnique(uint32_t* index) {
  if (index != nullptr) *index = 0;
  return QMe_NOTIMPL;
}

QmResult ValueArray::va_Reset() {
  std::lock_guard<std::mutex> hold(lock_);
  values_.clear();
  return QMe_OK;
}

std::vector<Value> ValueArray::Values() {
  std::lock_guard<std::mutex> hold(lock_);
  return values_;
}

void* ValueArray::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmValueArray ? face_.get() : nullptr;
}

// --- Value service --------------------------------------------------------------------

QmResult ValueService::vals_ScriptQuery(void** query) {
  if (query != nullptr) *query = nullptr;
  return QMe_NOTIMPL;
}

QmResult ValueService::vals_TextHintEncode(int32_t value, const QmTextValueHint* hints, char* text,
                                           uint32_t length) {
  if (text == nullptr) return QMe_INVALIDARG;
  for (const QmTextValueHint* h = hints; h != nullptr && h->name != nullptr; ++h) {
    if (h->value == value) return CopyText(h->name, text, length);
  }
  QmResult rc = CopyText(std::to_string(value), text, length);
  return QmFailed(rc) ? rc : QMe_OK_NO_CHOICES;
}

void* ValueService::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmValueService ? face_.get() : nullptr;
}

}  // namespace qmhost

// Values as the host's commands and queries hand them out: typed values,
// their text forms, value arrays and the value service.
//
// Every value type has a name and one of three kinds.  The kinds are what a
// value array stores; the names say what the numbers mean:
//
//   name       kind      meaning
//   integer    integer   a whole number
//   boolean    integer   0 or 1
//   float      float     a plain number
//   distance   float     metres
//   angle      float     radians
//   string     string    text
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/object.h"
#include "qm_impl_value.h"

namespace qmhost {

// The kinds, numbered as IQmValueArray::Type and IQmAttributes::Type
// answer them.
enum class ValueKind : uint32_t { kInteger = 1, kFloat = 2, kString = 3 };

struct ValueType {
  const char* name;
  ValueKind kind;
  const char* userName;
};

// The type of that name, or null when the host has none.
const ValueType* FindValueType(const std::string& name);

struct Value {
  ValueKind kind = ValueKind::kString;
  int32_t i = 0;
  double f = 0.0;
  std::string s;

  static Value Int(int32_t v);
  static Value Float(double v);
  static Value String(std::string v);
  bool operator==(const Value& o) const;
  bool operator!=(const Value& o) const { return !(*this == o); }
};

// Reads one value of `kind` with `get(kind, &value)` and stores its `field`
// in *out: the shape of every typed getter.
template <class T, class Get>
QmResult ReadField(T* out, ValueKind kind, T Value::*field, Get&& get) {
  if (out == nullptr) return QMe_INVALIDARG;
  Value v;
  QmResult rc = get(kind, &v);
  if (rc == QMe_OK) *out = v.*field;
  return rc;
}

// Reads a value of `type` from its text.  Integers may also be given by
// the name of one of `hints`; booleans as true/false, yes/no, on/off or
// 1/0 (any case); distances may end with a unit (mm, cm, m, km) and
// angles with "deg" or "rad".  False when the text is no such value.
bool ParseValue(const ValueType& type, const std::string& text, const QmTextValueHint* hints,
                Value* out);

// The text form of a value, which ParseValue reads back: integers in
// decimal, floats in the fewest digits that give the same number.
std::string FormatValue(const Value& value);

// Copies `text` and its terminator into a caller's buffer of `length`
// bytes.  QMe_SHORTBUFFER when it does not fit (the buffer then holds an
// empty text, when it has room for one); QMe_INVALIDARG for no buffer.
QmResult CopyText(const std::string& text, char* buffer, uint32_t length);

// Adds `values` (all of `kind`) to any object with IQmValueArray, through
// its function table.  QMe_INVALIDARG when `array` has no such interface,
// `mismatch` when the array holds another kind of value.
QmResult AddValues(void* array, ValueKind kind, const std::vector<Value>& values,
                   QmResult mismatch);

// Reads the value at `index` of any object with IQmValueArray, through
// its function table.  QMe_INVALIDARG when `array` has no such interface.
QmResult ReadValue(void* array, uint32_t index, Value* out);
// The number of values of such an array (0 for anything else).
uint32_t CountValues(void* array);

// An ordered list of values of one type.  Values of another kind are
// refused; the host offers no value objects (AddEmptyValue, AddValue,
// GetValue and FirstUnique are not implemented).
class ValueArray : public HostObject, public CQmImpl_ValueArray {
 public:
  // An empty array of the named type; null for a name the host does not
  // know.
  static Ref<ValueArray> Make(const std::string& typeName);

  QmResult va_Type(uint32_t* type) override;
  QmResult va_TypeName(const char** name) override;
  uint32_t va_Count() override;
  QmResult va_AddEmptyValue(void** value) override;
  QmResult va_AddValue(void* value) override;
  QmResult va_AddInt(int32_t value) override;
  QmResult va_AddFloat(double value) override;
  QmResult va_AddString(const char* value) override;
  QmResult va_GetValue(uint32_t index, void** value) override;
  QmResult va_GetInt(uint32_t index, int32_t* value) override;
  QmResult va_GetFloat(uint32_t index, double* value) override;
  QmResult va_GetString(uint32_t index, char* text, uint32_t length) override;
  QmResult va_FirstUnique(uint32_t* index) override;
  QmResult va_Reset() override;

  const ValueType& Type() const { return type_; }
  std::vector<Value> Values();

  // The array as the plug-in sees it (no reference added).
  void* Face() { return face_.get(); }

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  explicit ValueArray(const ValueType& type) : type_(type) {}
  QmResult Add(Value value);
  // The value at `index` when it exists and is of `kind`.
  QmResult At(uint32_t index, ValueKind kind, Value* out);

  HostFace<IQmValueArray> face_{this};
  const ValueType& type_;
  std::mutex lock_;
  std::vector<Value> values_;
};

class ValueService : public HostObject, public CQmImpl_ValueService {
 public:
  QmResult vals_ScriptQuery(void** query) override;
  // Writes the name of the hint whose value is `value`.  When no hint has
  // it (or there are no hints), writes the number itself and answers
  // QMe_OK_NO_CHOICES.
  QmResult vals_TextHintEncode(int32_t value, const QmTextValueHint* hints, char* text,
                               uint32_t length) override;

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  HostFace<IQmValueService> face_{this};
};

}  // namespace qmhost

#include "scripting/dict_pairs.h"

#include <cstring>

#include "interp/result.h"

void CDictPairs::Load(PyObject* dictionary) {
  names_.clear();
  values_.clear();
  if (dictionary == nullptr || !PyDict_Check(dictionary)) return;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dictionary, &pos, &key, &value)) {
    names_.push_back(StrOf(key));
    values_.push_back(StrOf(value));
  }
}

uint32_t CArgAttrib::attr_Count() { return static_cast<uint32_t>(names_.size()); }

QmResult CArgAttrib::attr_Name(uint32_t index, const char** name) {
  if (index >= names_.size()) return QMe_OUTOFBOUNDS;
  if (name == nullptr) return QMe_INVALIDARG;
  *name = names_[index].c_str();
  return QMe_OK;
}

QmResult CArgAttrib::attr_GetString(uint32_t index, char* text, uint32_t length) {
  if (index >= values_.size()) return QMe_OUTOFBOUNDS;
  if (text == nullptr || length == 0) return QMe_INVALIDARG;
  const std::string& value = values_[index];
  if (length <= value.size()) {
    std::memcpy(text, value.data(), length - 1);
    text[length - 1] = '\0';
    return QMe_SHORTBUFFER;
  }
  std::memcpy(text, value.c_str(), value.size() + 1);
  return QMe_OK;
}

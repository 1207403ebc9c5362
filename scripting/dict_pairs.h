// Name and value texts in two parallel lists, answered through the host's
// attributes interface.
#pragma once

#include "interp/python.h"
#include "qm_impl_value.h"

#include <string>
#include <vector>


class CDictPairs : public CQmImpl_Attributes {
 public:
  // Replaces the pairs with str(key), str(value) of each dictionary entry,
  // in the dictionary's order.  None gives no pairs.  Throws QMe_FAILED
  // when a text cannot be made.
  void Load(PyObject* dictionary);

  size_t Size() const { return names_.size(); }
  const std::string& NameAt(size_t i) const { return names_[i]; }
  const std::string& ValueAt(size_t i) const { return values_[i]; }

 protected:
  std::vector<std::string> names_;
  std::vector<std::string> values_;
};

// The attributes of a qm.command call: the keyword arguments as texts.
class CArgAttrib : public CDictPairs {
 public:
  uint32_t attr_Count() override;
  QmResult attr_Name(uint32_t index, const char** name) override;
  QmResult attr_GetString(uint32_t index, char* text, uint32_t length) override;
};

// Script queries: named attributes that scripts read into value arrays,
// after selecting what the attributes describe.  Attribute names have a
// class before their first dot ("item" in "item.name"); Select picks the
// element of a class the next queries read.
#pragma once

#include <string>
#include <vector>

#include "host/object.h"
#include "host/values.h"
#include "qm_impl_command.h"

namespace qmhost {

class ScriptQueryBase : public HostObject, public CQmImpl_ScriptQuery {
 public:
  // `attribute` is a class ("item") or any attribute of it ("item.name").
  QmResult sq_Select(const char* attribute, const char* which) override;
  // Adds the attribute's values to the array (QMe_QUERY_MISMATCHED_TYPE
  // when it holds another kind of value).
  QmResult sq_Query(const char* attribute, void* values) override;
  QmResult sq_Type(const char* attribute, uint32_t* type) override;
  QmResult sq_TypeName(const char* attribute, const char** name) override;

  void* Face() { return face_.get(); }

 protected:
  struct Attribute {
    const char* name;
    const char* type;  // a value type name
  };

  // The attribute of that name, or null.
  virtual const Attribute* Lookup(const std::string& name) const = 0;
  // Selects an element of a class: QMe_NOTFOUND when there is no such
  // element, QMe_QUERY_UNKNOWN_ATTRIBUTE for a class that has no elements
  // to select.
  virtual QmResult Select(const std::string& cls, const std::string& which) = 0;
  // The values of a known attribute.
  virtual QmResult Read(const Attribute& attribute, std::vector<Value>* out) = 0;

  // Looks `name` up in a table ended by a null name.
  static const Attribute* LookupIn(const Attribute* table, const std::string& name);

  void* Find(const QmGUID& iid) override;

 private:
  HostFace<IQmScriptQuery> face_{this};
};

}  // namespace qmhost

#include "host/query.h"

namespace qmhost {

const ScriptQueryBase::Attribute* ScriptQueryBase::LookupIn(const Attribute* table,
                                                            const std::string& name) {
  for (const Attribute* a = table; a->name != nullptr; ++a) {
    if (name == a->name) return a;
  }
  return nullptr;
}

QmResult ScriptQueryBase::sq_Select(const char* attribute, const char* which) {
  if (attribute == nullptr || which == nullptr) return QMe_INVALIDARG;
  std::string cls = attribute;
  cls = cls.substr(0, cls.find('.'));
  return Select(cls, which);
}

QmResult ScriptQueryBase::sq_Query(const char* attribute, void* values) {
  if (attribute == nullptr) return QMe_INVALIDARG;
  const Attribute* found = Lookup(attribute);
  if (found == nullptr) return QMe_QUERY_UNKNOWN_ATTRIBUTE;
  std::vector<Value> read;
  QmResult rc = Read(*found, &read);
  if (QmFailed(rc)) return rc;
  return AddValues(values, FindValueType(found->type)->kind, read, QMe_QUERY_MISMATCHED_TYPE);
}

QmResult ScriptQueryBase::sq_Type(const char* attribute, uint32_t* type) {
  if (attribute == nullptr || type == nullptr) return QMe_INVALIDARG;
  const Attribute* found = Lookup(attribute);
  if (found == nullptr) return QMe_QUERY_UNKNOWN_ATTRIBUTE;
  *type = static_cast<uint32_t>(FindValueType(found->type)->kind);
  return QMe_OK;
}

QmResult ScriptQueryBase::sq_TypeName(const char* attribute, const char** name) {
  if (attribute == nullptr || name == nullptr) return QMe_INVALIDARG;
  const Attribute* found = Lookup(attribute);
  if (found == nullptr) return QMe_QUERY_UNKNOWN_ATTRIBUTE;
  *name = found->type;
  return QMe_OK;
}

void* ScriptQueryBase::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmScriptQuery ? face_.get() : nullptr;
}

}  // namespace qmhost

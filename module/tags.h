// A server's static tag table, answered through IQmTagDescription.
#pragma once


#include "qm_impl_module.h"


// Serves a table of tag records ended by a record whose name is null.
class CQmStaticTags : public CQmImpl_TagDescription {
 public:
  explicit CQmStaticTags(const QmTagInfo* table) : table_(table) {}

  uint32_t tag_Count() override;
  QmResult tag_Describe(uint32_t index, QmTagInfo* entry) override;

 private:
  const QmTagInfo* table_;
};

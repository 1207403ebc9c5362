#include "module/tags.h"

uint32_t CQmStaticTags::tag_Count() {
  uint32_t n = 0;
  while (table_[n].name != nullptr) ++n;
  return n;
}

QmResult CQmStaticTags::tag_Describe(uint32_t index, QmTagInfo* entry) {
  if (entry == nullptr) return QMe_INVALIDARG;
  if (index >= tag_Count()) return QMe_OUTOFBOUNDS;
  *entry = table_[index];
  return QMe_OK;
}

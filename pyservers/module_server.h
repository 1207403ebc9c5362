// Server "python" of the module interface: the host's way to the blessed
// Python servers.  Its tag description lists them, Generate makes new
// instances by name and GetTags presents the tags given at blessing.
#pragma once

#include "module/polymorph.h"
#include "qm_impl_module.h"
#include "scripting/dict_pairs.h"

namespace Python_Module {

// A Python dictionary presented as a tag description (its pairs as texts).
class CDictionary : public CDictPairs, public CQmImpl_TagDescription {
 public:
  uint32_t tag_Count() override;
  QmResult tag_Describe(uint32_t index, QmTagInfo* entry) override;
};

class CModule : public CQmImpl_Module, public CQmImpl_TagDescription {
 public:
  CModule();

  QmResult mod_Generate(const char* name, const QmGUID* iid, void** object) override;
  QmResult mod_GetTags(const char* name, const QmGUID* iid, void** object) override;
  uint32_t tag_Count() override;
  QmResult tag_Describe(uint32_t index, QmTagInfo* entry) override;

 private:
  CQmPolymorph<CDictionary>* tags_;  // the "dict-as-tags" factory
};

// Registers the "dict-as-tags" factory and then the module server.
void RegisterModuleServer();

}  // namespace Python_Module

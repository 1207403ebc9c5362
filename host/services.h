// The reference host's global services.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/object.h"
#include "qm_impl_channel.h"
#include "qm_impl_module.h"

namespace qmhost {

// GUIDs and their texts.  Every distinct GUID has one stable record, so
// the pointers this service hands out can be compared and kept.
class GuidService : public HostObject, public CQmImpl_GUIDService {
 public:
  const char* guid_GetName(const QmGUID* guid) override;
  const char* guid_ClassName(const QmGUID* guid) override;
  const QmGUID* guid_Fixed(const QmGUID* guid) override;
  // GUID text, or a service's name in lower case ("sceneservice").
  const QmGUID* guid_Translate(const char* text) override;
  const QmGUID* guid_Class(const QmGUID* guid) override;
  int32_t guid_Compare(const QmGUID* guid1, const QmGUID* guid2) override;

  // Distinct GUIDs recorded so far.
  size_t KnownCount();

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  struct Entry {
    QmGUID guid;
    std::string text;
  };
  Entry* Record(const QmGUID& guid);

  HostFace<IQmGUIDService> face_{this};
  std::mutex lock_;
  std::map<QmGUID, std::unique_ptr<Entry>> known_;
};

// The host's own bookkeeping of modules and servers.
class HostService : public HostObject, public CQmImpl_HostService {
 public:
  QmResult host_UpdateModule(const char* name) override;
  QmResult host_SpawnForTagsOnly() override;

  // Module names whose server lists the plug-in asked to be re-read.
  std::vector<std::string> Updates();

  // While one of these lives, servers are being spawned only so that their
  // tags can be read.
  class TagsOnlyScope {
   public:
    explicit TagsOnlyScope(HostService& host) : host_(host) { ++host_.tagsOnly_; }
    ~TagsOnlyScope() { --host_.tagsOnly_; }

   private:
    HostService& host_;
  };

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  HostFace<IQmHostService> face_{this};
  std::mutex lock_;
  std::vector<std::string> updates_;
  std::atomic<int> tagsOnly_{0};
};

}  // namespace qmhost

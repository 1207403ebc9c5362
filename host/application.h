// The host's application object: what the plug-in receives through
// SetContext, and through which it finds every global service by GUID.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/object.h"
#include "host/services.h"

namespace qmhost {

class Application : public HostObject {
 public:
  Application();
  ~Application() override;

  // Services answer QueryInterface of the application for their GUID.
  // The application holds one reference to each.
  void AddService(const QmGUID& guid, HostObject* service);

  QmResult QueryInterface(const QmGUID* iid, void** out) override;

  // How often the application was asked for `guid`.
  unsigned QueryCount(const QmGUID& guid);

  // Describes every service still referenced by someone other than the
  // application; empty when none is.
  std::string ServiceLeaks();

  GuidService& Guids() { return *guids_; }
  ThreadService& Threads() { return *threads_; }
  HostService& Host() { return *host_; }

  // The application as the plug-in sees it.
  void* Unknown() { return &face_; }

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  HostFaceBase face_;
  GuidService* guids_;
  ThreadService* threads_;
  HostService* host_;
  std::mutex lock_;
  std::map<QmGUID, HostObject*> services_;
  std::map<QmGUID, unsigned> queries_;
};

}  // namespace qmhost

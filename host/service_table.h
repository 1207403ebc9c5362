// What the reference host's global services implement, for the API
// reference: every service the application answers, with each method of its
// table and whether the host's class overrides it.  A method the class does
// not override answers as not implemented (QMe_NOTIMPL, or 0, null or
// nothing for a method that returns a value or nothing).
#pragma once

#include <string>
#include <vector>

#include "host/application.h"

namespace qmhost {

// A service interface I and the host's class T that implements it.
template <class I, class T>
struct ServiceClass {
  using Interface = I;
  using Class = T;
};

// Calls f(ServiceClass<I, T>{}) for every service the application
// registers, in the order it registers them.
template <class F>
void ForEachHostService(F&& f) {
  f(ServiceClass<IQmGUIDService, GuidService>{});
  f(ServiceClass<IQmThreadService, ThreadService>{});
  f(ServiceClass<IQmHostService, HostService>{});
  f(ServiceClass<IQmLogService, LogService>{});
  f(ServiceClass<IQmMessageService, MessageService>{});
  f(ServiceClass<IQmFileService, FileService>{});
  f(ServiceClass<IQmPlatformService, PlatformService>{});
  f(ServiceClass<IQmValueService, ValueService>{});
  f(ServiceClass<IQmCommandService, CommandService>{});
  f(ServiceClass<IQmStdDialogService, StdDialogService>{});
  f(ServiceClass<IQmSceneService, SceneService>{});
}

struct ServiceMethods {
  std::string service;  // the catalogue's name ("Scene" for IQmSceneService)
  std::vector<std::pair<std::string, bool>> methods;  // name, implemented
};

// The services of ForEachHostService with their methods in table order.
std::vector<ServiceMethods> HostServiceMethods();

// The tables the API reference reads, one tab-separated line each:
//   service NAME METHOD yes|no   whether the host implements the method
//   result CODE TEXT             the host's text of a result code
//                                ("qmresult" table; CODE as 0x%08X)
std::string HostTablesText();

}  // namespace qmhost

// The table of what the reference host's services implement, against the
// host itself: the services the application answers and the classes behind
// them, and the answer of every method the table calls unimplemented.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <type_traits>

#include "host/service_table.h"

namespace {

using qmhost::Application;
using qmhost::ForEachHostService;
using qmhost::HostObject;

// Calls a slot with every argument zero or null and checks that it gives
// the answer of a method that is not overridden.
template <class R, class... A, class Answer>
void ExpectUnimplemented(R (*slot)(void*, A...), void* face, Answer answer, const std::string& what) {
  if constexpr (std::is_same_v<Answer, QmNoAnswer>) {
    slot(face, A{}...);
  } else {
    EXPECT_EQ(slot(face, A{}...), answer) << what;
  }
}

TEST(HostServiceTable, ListsExactlyTheServicesTheApplicationAnswers) {
  Application app;
  std::set<std::string> listed;
  ForEachHostService([&](auto service) {
    using I = typename decltype(service)::Interface;
    using T = typename decltype(service)::Class;
    listed.insert(QmInterfaceInfo<I>::name);
    void* face = nullptr;
    ASSERT_EQ(QmQueryInterface(app.Unknown(), QmInterfaceInfo<I>::guid, &face), QMe_OK)
        << QmInterfaceInfo<I>::name;
    // The face's function table is that of the listed class.
    EXPECT_TRUE((qmhost::HostCast<T, I>(face))) << QmInterfaceInfo<I>::name;
    QmRelease(face);
  });
  for (const auto& entry : kQmInterfaces) {
    if (!entry.service) continue;
    void* face = nullptr;
    QmResult code = QmQueryInterface(app.Unknown(), *entry.guid, &face);
    EXPECT_EQ(!QmFailed(code), listed.count(entry.name) == 1) << entry.name;
    if (face != nullptr) QmRelease(face);
  }
}

TEST(HostServiceTable, UnimplementedMethodsAnswerAsNotImplemented) {
  Application app;
  size_t unimplemented = 0;
  ForEachHostService([&](auto service) {
    using I = typename decltype(service)::Interface;
    using T = typename decltype(service)::Class;
    void* face = nullptr;
    ASSERT_EQ(QmQueryInterface(app.Unknown(), QmInterfaceInfo<I>::guid, &face), QMe_OK);
    unsigned methods = 0;
    QmServiceOverrides<I, T>::Visit([&](const char* name, bool overridden, auto slot, auto answer) {
      ++methods;
      if (overridden) return;
      ++unimplemented;
      ExpectUnimplemented(static_cast<I*>(face)->vt->*slot, face, answer,
                          std::string(QmInterfaceInfo<I>::name) + "." + name);
    });
    EXPECT_EQ(methods, QmInterfaceInfo<I>::methods) << QmInterfaceInfo<I>::name;
    QmRelease(face);
  });
  EXPECT_GT(unimplemented, 0u);
}

// A class that overrides two methods of the host service, one of them in a
// base of its own.
struct OverridesOne : CQmImpl_HostService {
  QmResult host_UpdateModule(const char*) override { return QMe_OK; }
};
struct OverridesTwo : OverridesOne {
  QmResult host_SpawnForTagsOnly() override { return QMe_FALSE; }
};

TEST(HostServiceTable, OverridesAreFoundWhereverTheClassDeclaresThem) {
  std::set<std::string> overridden;
  unsigned methods = 0;
  QmServiceOverrides<IQmHostService, OverridesTwo>::Visit(
      [&](const char* name, bool is, auto, auto) {
        ++methods;
        if (is) overridden.insert(name);
      });
  EXPECT_EQ(methods, QmInterfaceInfo<IQmHostService>::methods);
  EXPECT_EQ(overridden, (std::set<std::string>{"UpdateModule", "SpawnForTagsOnly"}));
}

TEST(HostServiceTable, TextListsEveryMethodAndResultCode) {
  std::string text = qmhost::HostTablesText();
  for (const auto& service : qmhost::HostServiceMethods()) {
    for (const auto& [method, implemented] : service.methods) {
      std::string line = "service\t" + service.service + "\t" + method + "\t" +
                         (implemented ? "yes" : "no") + "\n";
      EXPECT_NE(text.find(line), std::string::npos) << line;
    }
  }
  // The host's own text of a code, as its message service gives it.
  EXPECT_NE(text.find("result\t0x80000017\t" + *qmhost::HostMessageText("qmresult", 0x80000017U) +
                      "\n"),
            std::string::npos);
  EXPECT_EQ(text.find("\t\n"), std::string::npos);  // every code has a text
}

}  // namespace

// Every slot of every adapter, driven from the host: a recorder server
// per interface shows what Python received, and each slot's answer is
// compared with what its result rule makes of the recorder's value.
#include <gtest/gtest.h>

#include "pyservers_fixture.h"
#include "qm_adapter_slots.h"

namespace {

class AdapterSlots : public qmtest::PythonServerHost {
 public:
  // `calls` ends with an entry without a method.
  void Check(const char* name, const QmGUID& iid, const SlotCall* calls) {
    ASSERT_EQ(Py("import adapter_slots"), "");
    QmResult rc = QMe_OK;
    void* object = servers_->Spawn(std::string("slots.") + name, iid, &rc);
    ASSERT_NE(object, nullptr) << name << ": " << rc;
    double memory[32] = {};
    // Every slot twice: the second round must leave no more references
    // behind than the first did (counted on a debug build of Python).
    std::string before;
    for (int round = 0; round < 2; ++round) {
      for (const SlotCall* call = calls; call->method != nullptr; ++call) {
        ASSERT_EQ(Py("del adapter_slots.calls[:]"), "");
        std::string got = call->call(object, app_->Unknown(), memory);
        EXPECT_EQ(Py("'|'.join(adapter_slots.calls)"), call->record) << name << "." << call->method;
        EXPECT_EQ(got, call->got) << name << "." << call->method;
      }
      ASSERT_EQ(Py("del adapter_slots.calls[:]"), "");
      std::string total = Py("getattr(__import__('sys'), 'gettotalrefcount', int)()");
      if (round == 0) before = total;
      if (round == 1) {
        EXPECT_EQ(total, before) << name << ": references left behind";
      }
    }
    QmRelease(object);
  }
};

#define QM_SLOT_TEST(name, cname) \
  TEST_F(AdapterSlots, name) { Check(#name, IID_##cname, kSlots_##name); }
QM_FOR_EACH_SERVER_INTERFACE(QM_SLOT_TEST)

}  // namespace

// The plug-in as the host sees it: loaded with dlopen, reached only
// through its export and the function tables of its objects.
#include <gtest/gtest.h>

#include <string>

#include "host/application.h"
#include "host/plugin.h"

namespace {

constexpr QmGUID kForeign = {0x12345678U, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    plugin_ = qmhost::Plugin::Load(QM_PLUGIN_PATH, *app_, &error);
    ASSERT_TRUE(plugin_) << error;
    module_ = plugin_->Module();
  }

  void TearDown() override {
    if (plugin_) {
      EXPECT_EQ(plugin_->Unload(), "");
    }
  }

  template <class I>
  I* Query(void* object, const QmGUID& iid) {
    void* out = nullptr;
    EXPECT_EQ(QmQueryInterface(object, iid, &out), QMe_OK);
    return static_cast<I*>(out);
  }

  qmhost::Ref<qmhost::Application> app_{new qmhost::Application};
  std::unique_ptr<qmhost::Plugin> plugin_;
  IQmModule* module_ = nullptr;
};

TEST_F(PluginTest, ModuleAnswersItsThreeInterfacesAndNoOther) {
  auto* tags = Query<IQmTagDescription>(module_, IID_IQmTagDescription);
  auto* need = Query<IQmNeedContext>(module_, IID_IQmNeedContext);
  auto* mod = Query<IQmModule>(module_, IID_IQmModule);
  ASSERT_TRUE(tags && need && mod);
  EXPECT_NE(static_cast<void*>(mod), static_cast<void*>(module_));  // a new record each time

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(QmQueryInterface(module_, IID_IQmHostService, &out), QMe_NOINTERFACE);
  EXPECT_EQ(QmQueryInterface(module_, kForeign, &out), QMe_NOINTERFACE);

  // The base unknown GUID answers with the first interface, the module.
  auto* first = Query<IQmModule>(need, IID_QmBaseUnknown);
  void* made = nullptr;
  EXPECT_EQ(first->vt->Generate(first, "no such server", &IID_IQmModule, &made), QMe_NOTFOUND);
  EXPECT_EQ(first->vt->GetTags(first, "python", &IID_IQmModule, &made), QMe_NOTIMPL);
  EXPECT_EQ(made, nullptr);

  for (void* p : {static_cast<void*>(tags), static_cast<void*>(need), static_cast<void*>(mod),
                  static_cast<void*>(first)}) {
    EXPECT_EQ(QmRelease(p), 0U);
  }
}

TEST_F(PluginTest, ServerListIsAnsweredWithinItsBounds) {
  auto* tags = Query<IQmTagDescription>(module_, IID_IQmTagDescription);
  uint32_t count = tags->vt->Count(tags);
  QmTagInfo entry{};
  for (uint32_t i = 0; i < count; ++i) {
    ASSERT_EQ(tags->vt->Describe(tags, i, &entry), QMe_OK);
    EXPECT_STREQ(entry.name, "server");
    ASSERT_NE(entry.guid, nullptr);
    // Every listed server can be made by its name and primary interface.
    void* server = nullptr;
    ASSERT_EQ(module_->vt->Generate(module_, entry.value, entry.guid, &server), QMe_OK);
    QmRelease(server);
  }
  EXPECT_EQ(tags->vt->Describe(tags, count, &entry), QMe_OUTOFBOUNDS);
  EXPECT_EQ(tags->vt->Describe(tags, count + 1000, &entry), QMe_OUTOFBOUNDS);
  QmRelease(tags);
}

TEST_F(PluginTest, UnknownServersAndPrivateFactoriesAreNotFound) {
  void* out = nullptr;
  EXPECT_EQ(module_->vt->Generate(module_, "dict-as-tags", &IID_IQmTagDescription, &out),
            QMe_NOTFOUND);
  EXPECT_EQ(module_->vt->Generate(module_, "Python", &IID_IQmModule, &out), QMe_NOTFOUND);
  EXPECT_EQ(module_->vt->Generate(module_, "", &IID_IQmModule, &out), QMe_NOTFOUND);
  EXPECT_EQ(module_->vt->Generate(module_, nullptr, &IID_IQmModule, &out), QMe_NOTFOUND);
  EXPECT_EQ(module_->vt->Generate(module_, "python", nullptr, &out), QMe_NOTFOUND);
  EXPECT_EQ(out, nullptr);
}

TEST_F(PluginTest, SecondCreateHandsOutANewReferenceWithoutRegisteringAgain) {
  auto* tags = Query<IQmTagDescription>(module_, IID_IQmTagDescription);
  uint32_t before = tags->vt->Count(tags);
  auto create = reinterpret_cast<QmModuleEntry>(plugin_->Symbol(QM_MODULE_ENTRY));
  ASSERT_NE(create, nullptr);
  void* second = create();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, static_cast<void*>(module_));
  EXPECT_EQ(tags->vt->Count(tags), before);

  // Letting go of the second reference does not release the module: the
  // application object stays with the plug-in.
  EXPECT_EQ(QmRelease(second), 0U);
  EXPECT_EQ(app_->RefCount(), 2U);
  QmRelease(tags);
}

TEST_F(PluginTest, ModuleIsReleasedOnlyWithItsLastRecord) {
  IQmModule* module = plugin_->TakeModule();
  auto* tags1 = Query<IQmTagDescription>(module, IID_IQmTagDescription);
  auto* tags2 = Query<IQmTagDescription>(module, IID_IQmTagDescription);
  ASSERT_NE(tags1, tags2);  // two queries, two records
  EXPECT_EQ(QmAddRef(tags1), 2U);
  EXPECT_EQ(app_->RefCount(), 2U);

  EXPECT_EQ(QmRelease(module), 0U);
  EXPECT_EQ(QmRelease(tags1), 1U);
  EXPECT_EQ(QmRelease(tags1), 0U);
  EXPECT_EQ(app_->RefCount(), 2U);  // tags2 still holds the module
  EXPECT_EQ(QmRelease(tags2), 0U);
  EXPECT_EQ(app_->RefCount(), 1U);  // the module gave the application back
}

TEST_F(PluginTest, UnloadGivesBackEverythingTheHostHandedOver) {
  EXPECT_EQ(app_->RefCount(), 2U);
  EXPECT_EQ(plugin_->Unload(), "");
  EXPECT_EQ(app_->RefCount(), 1U);
}

TEST(PluginLoad, ReportsALibraryThatCannotBeLoaded) {
  qmhost::Ref<qmhost::Application> app(new qmhost::Application);
  std::string error;
  auto plugin = qmhost::Plugin::Load("/nonexistent/libqmpython.so", *app, &error);
  EXPECT_FALSE(plugin);
  EXPECT_NE(error.find("cannot load the plug-in"), std::string::npos) << error;
  EXPECT_EQ(app->RefCount(), 1U);
}

}  // namespace

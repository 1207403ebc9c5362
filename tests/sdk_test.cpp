// GUIDs, result codes and the generated interface tables.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "qm_ifc_channel.h"
#include "qm_ifc_module.h"
#include "qm_ifc_thread.h"
#include "qm_sdk.h"

TEST(Guid, ParsesEitherCaseAndFormatsUpperCase) {
  QmGUID g{};
  ASSERT_TRUE(QmGuidParse("7d30408c-74ab-4d87-b71c-c6280883863c", &g));
  EXPECT_EQ(g, IID_IQmNeedContext);
  EXPECT_EQ(QmGuidFormat(g), "7D30408C-74AB-4D87-B71C-C6280883863C");
  EXPECT_EQ(g.Data1, 0x7D30408CU);
  EXPECT_EQ(g.Data2, 0x74AB);
  EXPECT_EQ(g.Data3, 0x4D87);
  EXPECT_EQ(g.Data4[0], 0xB7);
  EXPECT_EQ(g.Data4[7], 0x3C);
  EXPECT_EQ(QmGuidFormat(IID_QmBaseUnknown), "00000000-0000-0000-0000-0000000000C4");
}

TEST(Guid, RefusesMalformedTextWithoutTouchingTheResult) {
  const QmGUID before = IID_IQmModule;
  for (const char* bad : {"", "4DB9C543", "4DB9C543-B192-4EDD-A65D-DD012FC2741",
                          "4DB9C543-B192-4EDD-A65D-DD012FC274166", "4DB9C543B192-4EDD-A65D-DD012FC27416-",
                          "{4DB9C543-B192-4EDD-A65D-DD012FC27416}", "4DB9C543-B192-4EDD-A65D-DD012FC2741G",
                          "4DB9C543-B192-4EDD-A65D_DD012FC27416", " 4DB9C543-B192-4EDD-A65D-DD012FC2741"}) {
    QmGUID g = before;
    EXPECT_FALSE(QmGuidParse(bad, &g)) << bad;
    EXPECT_EQ(g, before) << bad;
  }
  QmGUID g = before;
  EXPECT_FALSE(QmGuidParse(nullptr, &g));
}

TEST(Guid, ComparesFieldByFieldInOrder) {
  QmGUID a{}, b{};
  ASSERT_TRUE(QmGuidParse("00000002-0000-0000-0000-000000000000", &a));
  ASSERT_TRUE(QmGuidParse("00000001-FFFF-FFFF-FFFF-FFFFFFFFFFFF", &b));
  EXPECT_GT(QmGuidCompare(a, b), 0);  // Data1 decides before the rest
  ASSERT_TRUE(QmGuidParse("00000001-0001-0000-0000-000000000000", &a));
  ASSERT_TRUE(QmGuidParse("00000001-0000-FFFF-0000-000000000000", &b));
  EXPECT_GT(QmGuidCompare(a, b), 0);  // then Data2
  ASSERT_TRUE(QmGuidParse("00000001-0000-0000-0000-000000000001", &a));
  ASSERT_TRUE(QmGuidParse("00000001-0000-0000-0000-000000000002", &b));
  EXPECT_LT(QmGuidCompare(a, b), 0);  // the last byte counts too
  EXPECT_EQ(QmGuidCompare(a, a), 0);
  EXPECT_TRUE(a != b);
}

TEST(ResultCodes, RegistryHoldsEveryNameInOrder) {
  ASSERT_EQ(kQmResultRegistryCount, 121U);
  EXPECT_STREQ(kQmResultRegistry[0].name, "EVAL_DIFFERENT");
  EXPECT_STREQ(kQmResultRegistry[120].name, "QUERY_SERVICE_UNAVAILABLE");
  EXPECT_EQ(kQmResultRegistry[120].code, 0x85700001U);
  std::set<std::string> names;
  for (const auto& r : kQmResultRegistry) names.insert(r.name);
  EXPECT_EQ(names.size(), 121U);  // every name is registered once
  EXPECT_EQ(QMe_OK, 0U);
  EXPECT_EQ(QMe_FAILED, 0x80000000U);
  EXPECT_EQ(QMe_NOTIMPL, 0x80000001U);
  EXPECT_EQ(QMe_NOINTERFACE, 0x80000004U);
  EXPECT_EQ(QMe_OUTOFBOUNDS, 0x80000015U);
  EXPECT_EQ(QMe_NOTFOUND, 0x80000017U);
  EXPECT_EQ(QMe_SHORTBUFFER, 0x8000001EU);
  EXPECT_EQ(QMe_RENDER_ABORTING, QMe_ABORT);
  EXPECT_EQ(QMe_PRESET_ALREADY_APPLIED, 0x07100001U);
  EXPECT_TRUE(QmFailed(QMe_CMD_UNKNOWN_COMMAND));
  EXPECT_FALSE(QmFailed(QMe_WARNING));
}

TEST(Interfaces, TablesBeginWithTheBaseEntriesThenMethodsInOrder) {
  EXPECT_EQ(sizeof(IQmModule_Vtbl), 5 * sizeof(void*));
  EXPECT_EQ(offsetof(IQmModule_Vtbl, Release), 2 * sizeof(void*));
  EXPECT_EQ(offsetof(IQmModule_Vtbl, Generate), 3 * sizeof(void*));
  EXPECT_EQ(offsetof(IQmModule_Vtbl, GetTags), 4 * sizeof(void*));
  EXPECT_EQ(offsetof(IQmThreadService_Vtbl, CreateMutex), 3 * sizeof(void*));
  EXPECT_EQ(offsetof(IQmThreadService_Vtbl, CreateCS), 4 * sizeof(void*));
  EXPECT_EQ(sizeof(QmTagInfo), 3 * sizeof(void*));
  EXPECT_EQ(QmInterfaceInfo<IQmTagDescription>::methods, 2U);
  EXPECT_STREQ(QmInterfaceInfo<IQmTagDescription>::prefix, "tag");
}

TEST(Interfaces, CatalogueGuidsAreTheHostsAndDistinct) {
  struct {
    const QmGUID& guid;
    const char* text;
  } known[] = {
      {IID_IQmModule, "4DB9C543-B192-4EDD-A65D-DD012FC27416"},
      {IID_IQmTagDescription, "5582E0EE-D682-47BC-BF3D-FB14D59948C1"},
      {IID_IQmNeedContext, "7D30408C-74AB-4D87-B71C-C6280883863C"},
      {IID_IQmGUIDService, "B11826F1-A6BC-48B4-909B-5F6D01938327"},
      {IID_IQmThreadService, "0A9D5B42-1DA6-42A4-8FC4-01FCCE939AC4"},
      {IID_IQmHostService, "525802A6-BF5F-46E9-9863-C03B54A3D908"},
  };
  for (const auto& k : known) EXPECT_EQ(QmGuidFormat(k.guid), k.text);
  std::set<QmGUID> guids;
  for (const auto& entry : kQmInterfaces) guids.insert(*entry.guid);
  EXPECT_EQ(guids.size(), kQmInterfaceCount);
}

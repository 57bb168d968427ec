#include <cstdio>

#include <gtest/gtest.h>

#include "outside/catalog/ApplicationId.h"
#include "support/CatalogSeams.h"
#include "outside/catalog/sqlite/CatalogDb.h"
#include "CatalogFixture.h"

namespace {

class Identity : public kxmp::test::CatalogTest {};

TEST_F(Identity, KnownSubclientGivesBothGuidsAndOwnsItsObjects) {
  AddSubclient(7, "sc-guid", "bs-guid");
  ApplicationId id(2, 7);
  Subclient* sc = id.getSubclient(nullptr);
  ASSERT_NE(sc, nullptr);
  EXPECT_EQ(sc, id.getSubclient(nullptr));  // read once, the same object
  std::string guid = "old";
  EXPECT_EQ(sc->getGUIDStr(guid, nullptr), 0);
  EXPECT_EQ(guid, "sc-guid");
  ApplicationId* instance = id.getInstance(nullptr);
  ASSERT_EQ(instance, &id);
  BackupSet* bs = instance->getBackupSet(nullptr);
  ASSERT_NE(bs, nullptr);
  EXPECT_EQ(bs->getGUIDStr(guid, nullptr), 0);
  EXPECT_EQ(guid, "bs-guid");
}

TEST_F(Identity, UnknownSubclientOtherTypeOrMissingCatalogGiveNull) {
  AddSubclient(7, "sc-guid", "bs-guid");
  ApplicationId unknown(2, 8);
  EXPECT_EQ(unknown.getSubclient(nullptr), nullptr);
  EXPECT_EQ(unknown.getInstance(nullptr), nullptr);
  EXPECT_EQ(unknown.getBackupSet(nullptr), nullptr);
  EXPECT_TRUE(unknown.getLastError().IsError());

  ApplicationId otherType(3, 7);
  EXPECT_EQ(otherType.getSubclient(nullptr), nullptr);

  ASSERT_EQ(std::remove(CatalogPath().c_str()), 0);
  ApplicationId noCatalog(2, 7);
  EXPECT_EQ(noCatalog.getSubclient(nullptr), nullptr);
  EXPECT_FALSE(kxmp::test::PathExists(CatalogPath()));
}

TEST_F(Identity, EmptyOrUnsafeGuidsFailAndLeaveTheOutputAlone) {
  AddSubclient(7, "sc-guid");  // no backup set GUID
  ApplicationId id(2, 7);
  BackupSet* bs = id.getBackupSet(nullptr);
  ASSERT_NE(bs, nullptr);
  std::string out = "keep";
  EXPECT_NE(bs->getGUIDStr(out, nullptr), 0);
  EXPECT_EQ(out, "keep");

  // A hand-edited catalog could hold GUIDs that would climb out of the dump folder.
  kxmp::catalog::CatalogDb db;
  ASSERT_FALSE(db.Open(CatalogPath(), kxmp::catalog::CatalogDb::Mode::ReadWrite).IsError());
  ASSERT_FALSE(db.Exec("INSERT INTO subclient VALUES (8, '../../etc', 'a/b'), (9, '', '..')").IsError());
  for (uint64_t sid : {8u, 9u}) {
    ApplicationId bad(2, sid);
    ASSERT_NE(bad.getSubclient(nullptr), nullptr);
    EXPECT_NE(bad.getSubclient(nullptr)->getGUIDStr(out, nullptr), 0);
    EXPECT_NE(bad.getBackupSet(nullptr)->getGUIDStr(out, nullptr), 0);
    EXPECT_EQ(out, "keep");
  }
}

TEST_F(Identity, SeamAnswersAndCountsLookups) {
  kxmp::catalog::ScopedIdentity fake([](uint64_t sid, kxmp::catalog::SubclientRecord& out) {
    if (sid != 5) return 2;
    out.guid = "fake-sc";
    out.backupsetGuid = "fake-bs";
    return 0;
  });
  ApplicationId id(2, 5);
  std::string guid;
  ASSERT_NE(id.getSubclient(nullptr), nullptr);
  EXPECT_EQ(id.getSubclient(nullptr)->getGUIDStr(guid, nullptr), 0);
  EXPECT_EQ(guid, "fake-sc");
  EXPECT_NE(id.getBackupSet(nullptr), nullptr);
  EXPECT_EQ(fake.calls(), 1);  // one lookup per identity object
  EXPECT_EQ(ApplicationId(2, 6).getSubclient(nullptr), nullptr);
  EXPECT_EQ(fake.calls(), 2);
  EXPECT_EQ(fake.lastSubclientId(), 6u);
}

}  // namespace

#include <errno.h>

#include <gtest/gtest.h>

#include "outside/catalog/CatalogAdmin.h"
#include "outside/catalog/CatalogValidation.h"
#include "outside/catalog/sqlite/CatalogDb.h"
#include "outside/error/FXErrorUtil.h"
#include "CatalogFixture.h"

using kxmp::catalog::AttachedMountPath;
using kxmp::catalog::CatalogAdmin;
using kxmp::catalog::kKindAlternate;
using kxmp::catalog::kKindPrimary;
using kxmp::catalog::MountPathRecord;
using kxmp::catalog::SubclientRecord;

namespace {

// Every store keeps the same rules: these run on SQLite and on PostgreSQL.
class Admin : public kxmp::test::CatalogContract {
 protected:
  std::vector<AttachedMountPath> Attached(uint64_t sid) {
    std::vector<AttachedMountPath> out;
    CZoError e = admin_->ListAttachments(sid, out);
    EXPECT_FALSE(e.IsError()) << e.AsString();
    return out;
  }
};

TEST_P(Admin, RejectsBadInputWithClearErrors) {
  auto einval = [](const CZoError& e) { return FXErrorUtil::IsErrNo(e, EINVAL); };
  EXPECT_TRUE(einval(admin_->PutMountPath({1, "", "/p", ""})));
  EXPECT_TRUE(einval(admin_->PutMountPath({1, "h*s*x*1", "/p", ""})));  // malformed mangled name
  EXPECT_TRUE(einval(admin_->PutMountPath({1, "h", "", ""})));
  EXPECT_TRUE(einval(admin_->PutMountPath({1, "h", "/p\n", ""})));
  EXPECT_TRUE(einval(admin_->PutMountPath({1, "h", "/p", "a|b"})));
  EXPECT_TRUE(einval(admin_->PutMountPath({-1, "h", "/p", ""})));
  EXPECT_TRUE(einval(admin_->PutMountPath({1, "h", std::string("/p\0q", 4), ""})));
  EXPECT_TRUE(einval(admin_->PutSubclient({0, "g", ""})));
  EXPECT_TRUE(einval(admin_->PutSubclient({1, "", ""})));
  EXPECT_TRUE(einval(admin_->PutSubclient({1, "a/b", ""})));
  EXPECT_TRUE(einval(admin_->PutSubclient({1, "g", ".."})));
  EXPECT_TRUE(einval(admin_->Attach(1, 1, 1, 0)));  // kind neither 0 nor -1
  CZoError e = admin_->PutMountPath({1, "h", "/p", "a|b"});
  EXPECT_NE(e.Message().find("a|b"), std::string::npos) << e.AsString();

  std::vector<MountPathRecord> paths;
  std::vector<SubclientRecord> subclients;
  ASSERT_FALSE(admin_->ListMountPaths(paths).IsError());
  ASSERT_FALSE(admin_->ListSubclients(subclients).IsError());
  EXPECT_TRUE(paths.empty());
  EXPECT_TRUE(subclients.empty());
}

TEST_P(Admin, AttachChecksRowsPrimariesAndPositions) {
  AddSubclient(1, "g1");
  AddMountPath(10, "ma", "/a");
  AddMountPath(11, "ma", "/b");
  AddMountPath(12, "ma", "/c");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(admin_->Attach(2, 10, kKindPrimary, 0), ENOENT));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(admin_->Attach(1, 99, kKindPrimary, 0), ENOENT));
  Attach(1, 10, kKindPrimary, 0);
  CZoError twoPrimaries = admin_->Attach(1, 11, kKindPrimary, 1);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(twoPrimaries, kxmp::catalog::CatalogErrc::kConflict));
  EXPECT_EQ(twoPrimaries.Message(), "Subclient [1] already has primary mount path [10]");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(admin_->Attach(1, 11, kKindAlternate, 0), kxmp::catalog::CatalogErrc::kConflict));
  Attach(1, 11, kKindAlternate, 1);
  // Re-attaching updates in place: demote the primary, promote the alternate, swap places.
  Attach(1, 10, kKindAlternate, 2);
  Attach(1, 11, kKindPrimary, 1);
  Attach(1, 12, kKindAlternate, 0);
  auto list = Attached(1);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].mountPath.id, 12);
  EXPECT_EQ(list[1].mountPath.id, 11);
  EXPECT_EQ(list[1].kind, kKindPrimary);
  EXPECT_EQ(list[2].mountPath.path, "/a");
  EXPECT_EQ(list[2].kind, kKindAlternate);
}

TEST_P(Admin, ReplacesRemovesAndDetaches) {
  AddSubclient(1, "g1", "b1");
  AddSubclient(2, "g2");
  AddMountPath(10, "ma", "/a");
  AddMountPath(11, "ma", "/b");
  Attach(1, 10, kKindPrimary, 0);
  Attach(1, 11, kKindAlternate, 1);
  Attach(2, 10, kKindPrimary, 0);

  AddMountPath(10, "mb", "/a2", "L");  // replace keeps the attachments
  AddSubclient(1, "g1new");
  ASSERT_EQ(Attached(1).size(), 2u);
  EXPECT_EQ(Attached(1)[0].mountPath.host, "mb");

  ASSERT_FALSE(admin_->RemoveMountPath(10).IsError());  // gone from every subclient
  EXPECT_EQ(Attached(1).size(), 1u);
  EXPECT_TRUE(Attached(2).empty());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(admin_->RemoveMountPath(10), ENOENT));

  EXPECT_TRUE(FXErrorUtil::IsErrNo(admin_->Detach(1, 10), ENOENT));
  ASSERT_FALSE(admin_->Detach(1, 11).IsError());
  EXPECT_TRUE(Attached(1).empty());

  Attach(1, 11, kKindAlternate, 0);
  ASSERT_FALSE(admin_->RemoveSubclient(1).IsError());
  AddSubclient(1, "g1");
  EXPECT_TRUE(Attached(1).empty());  // the attachments went with the subclient

  std::vector<SubclientRecord> subclients;
  ASSERT_FALSE(admin_->ListSubclients(subclients).IsError());
  ASSERT_EQ(subclients.size(), 2u);
  EXPECT_EQ(subclients[1].guid, "g2");
}

TEST_P(Admin, NewIdsAndTheLargestIdsRoundTripAndLargerOnesAreRefusedNotCut) {
  int64_t id = 0;
  ASSERT_FALSE(admin_->PutMountPath({0, "ma", "/a", ""}, &id).IsError());
  EXPECT_GT(id, 0);
  // The suite's ids are 32-bit: the largest is kept as it is, a larger one is refused (the
  // cache would hold it cut to another id).
  AddSubclient(kxmp::catalog::kMaxId, "gbig");
  Attach(kxmp::catalog::kMaxId, id, kKindPrimary, 0);
  auto list = Attached(kxmp::catalog::kMaxId);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].subclientId, static_cast<uint64_t>(kxmp::catalog::kMaxId));
  for (uint64_t big : {uint64_t{1} << 31, uint64_t{1} << 32 | 1, uint64_t{0xFFFFFFFFFFFFFFF0ULL}}) {
    EXPECT_TRUE(FXErrorUtil::IsErrNo(admin_->PutSubclient({big, "g", ""}), EINVAL)) << big;
    EXPECT_TRUE(FXErrorUtil::IsErrNo(admin_->PutMountPath({static_cast<int64_t>(big & INT64_MAX), "ma", "/b", ""}), EINVAL))
        << big;
  }
  ASSERT_FALSE(admin_->PutMountPath({kxmp::catalog::kMaxId, "ma", "/c", ""}).IsError());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(admin_->PutMountPath({0, "ma", "/d", ""}), EINVAL));  // no id left above
  std::vector<SubclientRecord> subclients;
  ASSERT_FALSE(admin_->ListSubclients(subclients).IsError());
  ASSERT_EQ(subclients.size(), 1u);
  std::vector<kxmp::catalog::MountPathRecord> mountPaths;
  ASSERT_FALSE(admin_->ListMountPaths(mountPaths).IsError());
  EXPECT_EQ(mountPaths.size(), 2u);
}

class SqliteAdmin : public kxmp::test::CatalogTest {};

TEST_F(SqliteAdmin, WritesNeedAnExistingCatalogAndCreateSchemaMakesIt) {
  CatalogAdmin other(home_->sub("deep/er/cat.db"));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(other.PutSubclient({1, "g", ""}), ENOENT));
  EXPECT_FALSE(kxmp::test::PathExists(other.path()));
  bool created = false;
  ASSERT_FALSE(other.CreateSchema(&created).IsError());
  EXPECT_TRUE(created);
  ASSERT_FALSE(other.CreateSchema(&created).IsError());  // idempotent
  EXPECT_FALSE(created);
  EXPECT_FALSE(other.PutSubclient({1, "g", ""}).IsError());

  // The file is what readers and hand-made catalogs rely on: these three tables first, as
  // they are; the rules and the version come after them.
  kxmp::catalog::CatalogDb db;
  ASSERT_FALSE(db.Open(other.path(), kxmp::catalog::CatalogDb::Mode::ReadOnly).IsError());
  kxmp::catalog::CatalogStmt stmt;
  ASSERT_FALSE(db.Prepare("SELECT sql FROM sqlite_master ORDER BY rowid", stmt).IsError());
  std::vector<std::string> schema;
  for (bool row = true; !stmt.Step(row).IsError() && row;) schema.push_back(stmt.ColumnText(0));
  ASSERT_GE(schema.size(), 4u);
  schema.resize(4);
  int version = 0;
  ASSERT_FALSE(other.SchemaVersion(version).IsError());
  EXPECT_EQ(version, kxmp::catalog::kCatalogSchemaVersion);
  EXPECT_EQ(schema, (std::vector<std::string>{
                        "CREATE TABLE subclient (id INTEGER PRIMARY KEY, guid TEXT NOT NULL, backupset_guid TEXT NOT "
                        "NULL DEFAULT '')",
                        "CREATE TABLE mount_path (id INTEGER PRIMARY KEY, host TEXT NOT NULL, path TEXT NOT NULL, "
                        "library TEXT NOT NULL DEFAULT '')",
                        "CREATE TABLE subclient_mount_path (subclient_id INTEGER NOT NULL, mount_path_id INTEGER NOT "
                        "NULL, kind INTEGER NOT NULL, position INTEGER NOT NULL, PRIMARY KEY (subclient_id, "
                        "mount_path_id))",
                        std::string()}));  // the primary key's automatic index has no text
}

KXMP_CATALOG_CONTRACT(Admin);

}  // namespace

// The data server serves only the tree of the params' mount path, below a mount path the
// catalog lists for the storage host. Each escape route is tried with both ways of
// resolving paths, each alone and with a live context's state (cached mount-path answer and
// open folders); a refused call must leave the disk as it was.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <tuple>

#include "outside/dataserver/Backend.h"
#include "outside/dataserver/ContextState.h"
#include "outside/dataserver/DataServerTestFixture.h"
#include "outside/dataserver/local/LocalBackend.h"
#include "outside/error/FXErrorUtil.h"
#include "support/FaultyBackend.h"
#include "support/ErrnoAsserts.h"

using kxmp::dataserver::CatalogMountPathAuthority;
using kxmp::dataserver::LocalBackend;
using kxmp::dataserver::ResolveMode;
using kxmp::dataserver::ScopedBackend;
using kxmp::test::PathExists;

namespace {


class Confinement : public kxmp::test::DataServerTest,
                    public ::testing::WithParamInterface<std::tuple<ResolveMode, bool>> {
 protected:
  void SetUp() override {
    DataServerTest::SetUp();
    scope_ = std::make_unique<ScopedBackend>(std::make_shared<LocalBackend>(nullptr, Mode()));
    if (std::get<1>(GetParam())) state_ = kxmp::dataserver::AttachContextState(params_);
    ASSERT_OK(FS()->CreateFolder(root_, 1));
    outside_ = home_->sub("outside");
    kxmp::test::WriteFile(outside_ + "/secret", "keep");
  }
  void TearDown() override {
    state_.reset();
    scope_.reset();
    DataServerTest::TearDown();
  }

  ResolveMode Mode() const { return std::get<0>(GetParam()); }

  // Every path operation on the path is refused with `err`.
  void ExpectAllRefused(const std::string& path, int err) {
    SCOPED_TRACE(path);
    auto fs = FS();
    bool b = false;
    SZoFileStat st {};
    std::vector<std::string> a, c;
    EXPECT_ERRNO(fs->Exists(path, b), err);
    EXPECT_ERRNO(fs->Stat(path, st), err);
    EXPECT_ERRNO(fs->CreateFolder(path + "/new", 1), err);
    EXPECT_ERRNO(fs->RemoveFile(path, 0), err);
    EXPECT_ERRNO(fs->Chmod(path, 0777), err);
    EXPECT_ERRNO(fs->GetDirContents(path, a, c), err);
    EXPECT_ERRNO(fs->Move(path, At("moved"), 0), err);
    EXPECT_ERRNO(File()->Open(path, O_RDWR | O_CREAT | O_TRUNC, 0666, 0), err);
  }
  void ExpectOutsideUntouched() {
    EXPECT_EQ(kxmp::test::ReadFile(outside_ + "/secret"), "keep");
    struct stat st {};
    ASSERT_EQ(::stat((outside_ + "/secret").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 07777, 0777u);
    EXPECT_FALSE(PathExists(outside_ + "/secret/new"));
    EXPECT_FALSE(PathExists(At("moved")));
  }

  std::unique_ptr<ScopedBackend> scope_;
  std::shared_ptr<kxmp::dataserver::ContextState> state_;
  std::string outside_;
};

TEST_P(Confinement, RelativeAndDotDotPathsAreRefused) {
  ExpectAllRefused("relative/path", EACCES);
  ExpectAllRefused("", EACCES);
  ExpectAllRefused(root_ + "/../../../outside/secret", EACCES);
  ExpectAllRefused(root_ + "/x/../../guid-2", EACCES);
  ExpectOutsideUntouched();
}

TEST_P(Confinement, PathsOutsideTheServedTreeAreRefused) {
  ExpectAllRefused(outside_ + "/secret", EACCES);
  ExpectAllRefused(mount_ + "/KX_APP_DUMPS/guid-2", EACCES);  // beside the tree, same mount path
  ExpectAllRefused(root_ + "x/f", EACCES);                     // shares the prefix text only
  ExpectOutsideUntouched();
  std::string withNul = root_ + "/a";
  withNul.push_back('\0');
  ExpectAllRefused(withNul + "/../../x", EINVAL);
}

TEST_P(Confinement, SymbolicLinksCannotLeadOut) {
  ASSERT_EQ(::symlink(outside_.c_str(), At("abs").c_str()), 0);
  ASSERT_EQ(::symlink("../../../outside", At("rel").c_str()), 0);
  ASSERT_EQ(::symlink((outside_ + "/secret").c_str(), At("file").c_str()), 0);
  for (const char* via : {"abs/secret", "rel/secret"}) ExpectAllRefused(At(via), EACCES);
  auto f = File();
  EXPECT_ERRNO(f->Open(At("file"), O_RDWR | O_TRUNC, 0, 0), EACCES);
  EXPECT_ERRNO(f->Open(At("abs/created"), O_WRONLY | O_CREAT, 0666, 0), EACCES);
  EXPECT_FALSE(PathExists(outside_ + "/created"));
  EXPECT_ERRNO(FS()->Chmod(At("file"), 0777), EACCES);
  ExpectOutsideUntouched();
  // The link itself lies in the tree and can be removed.
  EXPECT_FALSE(FS()->RemoveFile(At("file"), 0).IsError());
}

TEST_P(Confinement, LinksInsideTheTreeFollowOnlyWithBeneathResolution) {
  kxmp::test::WriteFile(At("real/data"), "in");
  ASSERT_EQ(::symlink("real", At("alias").c_str()), 0);
  auto f = File();
  CZoError err = f->Open(At("alias/data"), O_RDONLY, 0, 0);
  if (Mode() == ResolveMode::Auto) {
    EXPECT_FALSE(err.IsError()) << err.AsString();
  } else {
    EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EACCES)) << err.AsString();
  }
}

// The served tree replaced while a context's descriptor of it may be open: every later
// write lands where the path leads now, never in the folder moved away or removed, and a
// link put in its place is refused as any other; a mount path gone is ENODEV.
TEST_P(Confinement, WritesFollowTheServedTreeWhenItIsReplaced) {
  auto write = [&](const std::string& name) {
    auto f = File();
    CZoError e = f->Open(At(name), O_WRONLY | O_CREAT | O_TRUNC, 0640, 0);
    return e.IsError() ? e : f->Close();
  };
  const std::string moved = root_ + ".moved";
  ASSERT_OK(write("a"));
  ASSERT_EQ(::rename(root_.c_str(), moved.c_str()), 0);
  ASSERT_EQ(::mkdir(root_.c_str(), 0750), 0);
  ASSERT_OK(write("b"));
  EXPECT_TRUE(PathExists(At("b")));
  EXPECT_FALSE(PathExists(moved + "/b"));
  bool exists = true;
  ASSERT_OK(FS()->Exists(At("a"), exists));
  EXPECT_FALSE(exists);

  ASSERT_EQ(::unlink(At("b").c_str()), 0);
  ASSERT_EQ(::rmdir(root_.c_str()), 0);
  EXPECT_ERRNO(write("c"), ENOENT);
  EXPECT_FALSE(PathExists(moved + "/c"));
  ASSERT_EQ(::mkdir(root_.c_str(), 0750), 0);
  ASSERT_OK(write("d"));
  EXPECT_TRUE(PathExists(At("d")));

  ASSERT_EQ(::rename(root_.c_str(), (root_ + ".gone").c_str()), 0);
  ASSERT_EQ(::symlink(outside_.c_str(), root_.c_str()), 0);
  EXPECT_ERRNO(write("e"), EACCES);
  EXPECT_FALSE(PathExists(outside_ + "/e"));
  ExpectOutsideUntouched();

  ASSERT_EQ(::rename(mount_.c_str(), (mount_ + ".unmounted").c_str()), 0);
  EXPECT_ERRNO(write("f"), ENODEV);
  EXPECT_ERRNO(FS()->Exists(At("d"), exists), ENODEV);
}

TEST_P(Confinement, HostWithoutThatMountPathIsRefused) {
  CFSInitParams other = params_;
  other.host.hostName = "ma2";  // the catalog lists mp1 for ma1 only
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(other));
  bool exists = true;
  EXPECT_ERRNO(fs->Exists(root_, exists), EACCES);
  EXPECT_ERRNO(fs->Connect(), EACCES);

  // A mount path that merely shares the text prefix of a listed one is not below it.
  other = params_;
  other.host.mountPath = mount_ + "x/KX_APP_DUMPS/guid-1";
  ASSERT_EQ(::mkdir((mount_ + "x").c_str(), 0750), 0);
  fs.reset(CFSInterface::GetFSInterfaceInstance(other));
  EXPECT_ERRNO(fs->CreateFolder(other.host.mountPath, 1), EACCES);
  EXPECT_FALSE(PathExists(mount_ + "x/KX_APP_DUMPS"));

  other.host.mountPath = "relative/mp1";
  fs.reset(CFSInterface::GetFSInterfaceInstance(other));
  EXPECT_ERRNO(fs->Exists("/relative/mp1", exists), EACCES);
}

TEST_P(Confinement, MissingMountPathIsNoDeviceAndIsNeverCreated) {
  kxmp::test::AddCatalogMountPath("ma3", home_->sub("unmounted"));
  CFSInitParams p = params_;
  p.host.hostName = "ma3";
  p.host.mountPath = home_->sub("unmounted/KX_APP_DUMPS/guid-1");
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(p));
  bool exists = true;
  EXPECT_ERRNO(fs->Exists(p.host.mountPath, exists), ENODEV);
  EXPECT_ERRNO(fs->CreateFolder(p.host.mountPath, 1), ENODEV);
  unsigned long long total = 0, free = 0;
  EXPECT_ERRNO(fs->GetVolumeSize("", &total, &free), ENODEV);
  std::unique_ptr<CFileInterface> f(CFileInterface::GetFileInterfaceInstance(p));
  EXPECT_ERRNO(f->Open(p.host.mountPath + "/x", O_WRONLY | O_CREAT, 0640, 0), ENODEV);
  EXPECT_FALSE(PathExists(home_->sub("unmounted")));
}

TEST_P(Confinement, MountPathItselfIsNeverRemovedOrMoved) {
  CFSInitParams p = params_;
  p.host.mountPath = mount_;
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(p));
  EXPECT_ERRNO(fs->RemoveFolder(mount_, 0), EACCES);
  EXPECT_ERRNO(fs->Move(mount_, mount_ + "/x", 0), EACCES);
  EXPECT_ERRNO(fs->CreateFolder(mount_, 1), EEXIST);
  SZoFileStat st {};
  EXPECT_FALSE(fs->Lstat(mount_, st).IsError());
  EXPECT_TRUE(PathExists(mount_));
}

TEST_P(Confinement, DeepestListedMountPathDecides) {
  // mp1 and mp1/inner both listed; the deeper one is missing, so the tree below it is not
  // served from the outer one.
  kxmp::test::AddCatalogMountPath("ma1", mount_ + "/inner");
  CFSInitParams p = params_;
  p.host.mountPath = mount_ + "/inner/KX_APP_DUMPS/g";
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(p));
  EXPECT_ERRNO(fs->CreateFolder(p.host.mountPath, 1), ENODEV);
  EXPECT_FALSE(PathExists(mount_ + "/inner"));
}

INSTANTIATE_TEST_SUITE_P(Resolve, Confinement,
                         ::testing::Combine(::testing::Values(ResolveMode::Auto, ResolveMode::ComponentWalk),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<ResolveMode, bool>>& info) {
                           return std::string(std::get<0>(info.param) == ResolveMode::Auto ? "Beneath"
                                                                                           : "ComponentWalk") +
                                  (std::get<1>(info.param) ? "InContext" : "");
                         });

class Catalog : public kxmp::test::HomeTest {};

TEST_F(Catalog, ListsTheHostsMountPathsAndNothingWithoutACatalog) {
  CatalogMountPathAuthority authority;
  std::vector<std::string> paths{"stale"};
  ASSERT_FALSE(authority.MountPathsOf("ma1", paths).IsError());
  EXPECT_TRUE(paths.empty());
  kxmp::test::AddCatalogMountPath("ma1", "/srv/mp1");
  kxmp::test::AddCatalogMountPath("ma1", "/srv/mp2");
  kxmp::test::AddCatalogMountPath("ma2", "/srv/mp3");
  ASSERT_FALSE(authority.MountPathsOf("ma1", paths).IsError());
  EXPECT_EQ(paths, (std::vector<std::string>{"/srv/mp1", "/srv/mp2"}));
}

TEST_F(Catalog, UnreadableCatalogIsAnError) {
  kxmp::test::WriteFile(home_->sub("catalog.db"), "this is not a database, just some text to fill a page......");
  CatalogMountPathAuthority authority;
  std::vector<std::string> paths;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(authority.MountPathsOf("ma1", paths), EIO));
}

}  // namespace

// test-labels: integration
// kxmp-host with the real service, driven by the kxmp tool over its socket: the mount
// requests of a subclient whose mount paths are in the control server's catalog, and what
// they leave in the registry.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "outside/catalog/CatalogAdmin.h"
#include "outside/error/FXErrorUtil.h"
#include "support/Subprocess.h"
#include "support/TempHome.h"

using kxmp::catalog::CatalogAdmin;
using kxmp::catalog::MountPathRecord;
using kxmp::catalog::SubclientRecord;
using kxmp::test::PathExists;
using kxmp::test::ReadFile;
using kxmp::test::RunResult;
using kxmp::test::RunTool;
using kxmp::test::ServerProcess;
using kxmp::test::WriteFile;

namespace {

const std::string kHost = KXMP_BINARY_DIR "/tools/host/kxmp-host";
const std::string kTool = KXMP_BINARY_DIR "/tools/kxmp/kxmp";
constexpr uint64_t kSubclient = 42;
constexpr uint64_t kBareSubclient = 43;  // no mount paths
const std::string kMountPoint = "/mnt/kx42";

class HostMountTest : public kxmp::test::HomeTest {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    socket_ = home_->sub("host.sock");
    FillCatalog();
    SetControlServerOnline(true);
    ASSERT_TRUE(host_.Start({kHost, "--home", home_->path(), "--socket", socket_}));
    ASSERT_TRUE(host_.WaitForLine("kxmp-host: serving " + socket_, 60000)) << host_.Output();
  }
  void TearDown() override {
    if (host_.pid() > 0) {
      EXPECT_EQ(host_.Stop(SIGTERM), 0);
    }
    HomeTest::TearDown();
  }

  void FillCatalog() {
    CatalogAdmin admin;
    ASSERT_FALSE(admin.CreateSchema().IsError());
    ASSERT_FALSE(admin.PutSubclient(SubclientRecord{kSubclient, "guid-42", ""}).IsError());
    ASSERT_FALSE(admin.PutSubclient(SubclientRecord{kBareSubclient, "guid-43", ""}).IsError());
    for (int i = 1; i <= 3; ++i) {
      MountPathRecord m;
      m.id = 100 + i;
      m.host = "ma" + std::to_string(i) + "*ma" + std::to_string(i) + "*1*2";
      m.path = Path(i);
      m.library = "lib";
      ASSERT_FALSE(admin.PutMountPath(m).IsError());
      ASSERT_FALSE(admin.Attach(kSubclient, m.id, i == 1 ? kxmp::catalog::kKindPrimary : kxmp::catalog::kKindAlternate, i)
                       .IsError());
    }
  }
  std::string Path(int i) const { return home_->sub("storage/ma" + std::to_string(i) + "/disk"); }

  void SetControlServerOnline(bool online) { WriteFile(home_->sub("registry/Runtime/nCSONLINE"), online ? "1" : "0"); }

  std::string Cached(const std::string& value, uint64_t subclient = kSubclient) const {
    const std::string file = home_->sub("registry/Tessel/MAMountPoint/" + std::to_string(subclient) + "/" + value);
    return PathExists(file) ? ReadFile(file) : "<missing>";
  }

  // Runs kxmp mount with the subclient, mount point and extra flags; returns the code printed.
  int64_t Mount(std::vector<std::string> extra, uint64_t subclient = kSubclient, int* status = nullptr) {
    std::vector<std::string> argv = {kTool,          "mount", "--subclient", std::to_string(subclient), "--mount-point",
                                     kMountPoint,    "--socket", socket_,    "--json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    RunResult r = RunTool(argv);
    if (status) *status = r.status;
    const std::string prefix = "{\"type\":\"summary\",\"errorCode\":";
    if (r.out.compare(0, prefix.size(), prefix) != 0) {
      ADD_FAILURE() << "no answer; status " << r.status << "; stderr: " << r.err;
      return -1;
    }
    return std::stoll(r.out.substr(prefix.size()));
  }

  std::string HostLog() const { return ReadFile(home_->sub("log/kxmp-host.log")); }

  ServerProcess host_;
  std::string socket_;
};

}  // namespace

TEST_F(HostMountTest, MountOneFillsTheCacheAndRecordsTheMountedEntry) {
  int status = -1;
  EXPECT_EQ(Mount({}, kSubclient, &status), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Cached("sMAMountPath"), Path(1));
  EXPECT_EQ(Cached("sMAHostnameMangled"), "ma1*ma1*1*2");
  EXPECT_EQ(Cached("iMAMountPathId"), "101");
  EXPECT_EQ(Cached("sMAMountPath_1"), Path(2));
  EXPECT_EQ(Cached("sMAMountPath_2"), Path(3));
  EXPECT_EQ(Cached("nFailoverNumber"), "2");
  EXPECT_EQ(Cached("nFailoverCurrent"), "0");
  EXPECT_NE(Cached("nLastRefreshTime"), "<missing>");
}

TEST_F(HostMountTest, MountAllAndDeinitAllLeaveTheCacheAlone) {
  ASSERT_EQ(Mount({}), 0);
  WriteFile(home_->sub("registry/Tessel/MAMountPoint/42/nFailoverCurrent"), "2");
  const std::string refreshed = Cached("nLastRefreshTime");

  EXPECT_EQ(Mount({"--all"}), 0);
  EXPECT_EQ(Cached("nFailoverCurrent"), "2");
  EXPECT_EQ(Cached("nLastRefreshTime"), refreshed);

  RunResult r = RunTool({kTool, "mount", "--deinit-all", "--mount-point", "/mnt", "--socket", socket_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "errorCode 0 (success)\n");
  EXPECT_EQ(Cached("nFailoverCurrent"), "2");
  EXPECT_NE(HostLog().find("KXMAMountingPointSvc deinitall parentfolder [/mnt]"), std::string::npos);
}

TEST_F(HostMountTest, RefreshRewritesTheCacheFromTheCatalog) {
  ASSERT_EQ(Mount({}), 0);
  WriteFile(home_->sub("registry/Tessel/MAMountPoint/42/sMAMountPath"), "/stale");
  WriteFile(home_->sub("registry/Tessel/MAMountPoint/42/nFailoverCurrent"), "1");
  EXPECT_EQ(Mount({"--refresh"}), 0);
  EXPECT_EQ(Cached("sMAMountPath"), Path(1));
  EXPECT_EQ(Cached("nFailoverCurrent"), "0");
  EXPECT_NE(HostLog().find("refreshed cache"), std::string::npos);
}

TEST_F(HostMountTest, ASubclientWithoutMountPathsIsAnsweredWithTheError) {
  int status = -1;
  EXPECT_EQ(Mount({}, kBareSubclient, &status), FXErrorUtil::Win32Code(4306));
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(PathExists(home_->sub("registry/Tessel/MAMountPoint/43")));
  // One the catalog does not list is not found, as for the other subcommands.
  RunResult r = RunTool({kTool, "mount", "--subclient", "77", "--mount-point", kMountPoint, "--socket", socket_});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "kxmp mount: subclient 77 is not in the catalog " + home_->sub("catalog.db") + " (errorCode " +
                       std::to_string(FXErrorUtil::Win32Code(4306)) + ")\n");
}

TEST_F(HostMountTest, WithTheControlServerOfflineTheCachedListIsUsed) {
  ASSERT_EQ(Mount({}), 0);
  WriteFile(home_->sub("registry/Tessel/MAMountPoint/42/nFailoverCurrent"), "2");
  SetControlServerOnline(false);
  ASSERT_EQ(::unlink(home_->sub("catalog.db").c_str()), 0);  // asking the catalog would fail now
  const size_t before = HostLog().size();

  EXPECT_EQ(Mount({}), 0);
  // The entry in use is tried first, and stays the one in use.
  const std::string trying = "Trying initialize mountingpoint [" + kMountPoint + "] subclientID [42] ";
  const std::string log = HostLog();
  const size_t first = log.find(trying, before);
  ASSERT_NE(first, std::string::npos) << log;
  const std::string third = "serverMangledName [ma3*ma3*1*2] pathToMount[" + Path(3) + "]";
  EXPECT_EQ(log.compare(first + trying.size(), third.size(), third), 0) << log.substr(first, 300);
  EXPECT_EQ(log.find(trying + "serverMangledName [ma1", first), std::string::npos);  // the first try succeeded
  EXPECT_EQ(Cached("nFailoverCurrent"), "2");

  // Mount all needs the catalog, which an offline control server cannot give.
  EXPECT_EQ(Mount({"--all"}), FXErrorUtil::Win32Code(50));
}

TEST_F(HostMountTest, TheHostStopsCleanlyAndAClientThenSaysSo) {
  EXPECT_EQ(host_.Stop(SIGINT), 0);
  EXPECT_FALSE(PathExists(socket_));
  RunResult r = RunTool({kTool, "mount", "--subclient", "42", "--mount-point", "/m", "--socket", socket_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kxmp mount: no host is serving " + socket_ + ": start it with kxmp-host\n");
  // With --json the failure is a JSON line with its type, like every line of the tool.
  r = RunTool({kTool, "--json", "mount", "--subclient", "42", "--mount-point", "/m", "--socket", socket_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "{\"type\":\"error\",\"command\":\"mount\",\"message\":\"no host is serving " + socket_ +
                       ": start it with kxmp-host\",\"exitStatus\":1}\n");
}

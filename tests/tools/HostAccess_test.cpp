// test-labels: integration
// kxmp-host as a site runs it, with a real second user and a real group: the members of the
// allowed group reach the default socket and are answered; other users are stopped by the
// file system, told why where they can reach the socket, and refused on the TCP port too.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "outside/catalog/CatalogAdmin.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/session/FramedServer.h"
#include "support/ForkChild.h"
#include "support/Subprocess.h"
#include "support/TempHome.h"
#include "tools/AdminSupport.h"

using kxmp::test::Kxmp;
using kxmp::test::ReadFile;
using kxmp::test::RunResult;
using kxmp::test::RunTool;

namespace {

const std::string kHost = KXMP_BINARY_DIR "/tools/host/kxmp-host";
const char kSetpriv[] = "/usr/bin/setpriv";
const std::string kRequest =
    "<MAMountPointReq subclientId=\"42\" mountingPoint=\"/mnt/kx42\" noCacheUpdate=\"0\" mountAll=\"0\" "
    "deinitAll=\"0\" refreshCache=\"0\"/>";

// A command of the system's account tools; they may find the account files locked by another
// program for a moment, which is worth waiting out.
bool Admin(const std::vector<std::string>& argv) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    RunResult r = RunTool(argv);
    if (r.status == 0) return true;
    if (r.err.find("lock") == std::string::npos) {
      ADD_FAILURE() << argv[0] << ": " << r.err;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// A group and two users made for the test and removed after it: a member of the group and
// an outsider. Names are unique to the test's process.
struct Accounts {
  std::string group, member, outsider;
  bool made = false;

  Accounts() {
    const std::string prefix = "kxt" + std::to_string(::getpid());
    group = prefix + "g";
    member = prefix + "m";
    outsider = prefix + "o";
    made = Admin({"/usr/sbin/groupadd", group}) &&
           Admin({"/usr/sbin/useradd", "-M", "-N", "-g", "nogroup", "-G", group, "-s", "/usr/sbin/nologin", member}) &&
           Admin({"/usr/sbin/useradd", "-M", "-N", "-g", "nogroup", "-s", "/usr/sbin/nologin", outsider});
  }
  ~Accounts() {
    for (const std::string& user : {member, outsider}) {
      if (::getpwnam(user.c_str()) != nullptr) Admin({"/usr/sbin/userdel", user});
    }
    if (::getgrnam(group.c_str()) != nullptr) Admin({"/usr/sbin/groupdel", group});
  }
  uid_t Uid(const std::string& user) const { return ::getpwnam(user.c_str())->pw_uid; }
  gid_t Gid() const { return ::getgrnam(group.c_str())->gr_gid; }
};

class HostAccessTest : public kxmp::test::HomeTest {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a user and a group";
    for (const char* tool : {"/usr/sbin/useradd", "/usr/sbin/groupadd", "/usr/sbin/userdel", kSetpriv}) {
      if (::access(tool, X_OK) != 0) GTEST_SKIP() << "needs " << tool;
    }
    accounts_ = std::make_unique<Accounts>();
    ASSERT_TRUE(accounts_->made);
  }
  void TearDown() override {
    accounts_.reset();
    HomeTest::TearDown();
  }

  // The tool as a user would run it: that user's id, primary group and groups.
  RunResult As(const std::string& user, std::vector<std::string> args) {
    args.insert(args.begin(), {kSetpriv, "--reuid=" + user, "--regid=nogroup", "--init-groups", kxmp::test::kKxmpTool});
    return RunTool(args);
  }

  // One request on the host's TCP port from a process of the user: 0 answered with success,
  // 13 refused as not allowed (EACCES), anything else a failure.
  int OverTcp(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, uint16_t port) {
    kxmp::test::ForkChild child([&](kxmp::test::ForkChild::Channel&) {
      if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) return 90;
      kxmp::session::SessionClient client;
      std::string answer;
      if (client.ConnectTcp("127.0.0.1", port).IsError() || client.Call(kRequest, answer, 30000).IsError()) return 91;
      const std::string refused = "<GenericResp errorCode=\"" + std::to_string(FXErrorUtil::ErrNoCode(EACCES)) + "\"/>";
      if (answer == refused) return 13;
      return answer.find("<response errorCode=\"0\"/>") != std::string::npos ? 0 : 92;
    });
    return child.Join();
  }

  std::unique_ptr<Accounts> accounts_;
};

TEST_F(HostAccessTest, TheAllowedGroupIsAnsweredThroughTheDefaultSocketAndOthersAreToldWhy) {
  ASSERT_EQ(Kxmp({"setup"}).status, 0);
  {
    kxmp::catalog::CatalogAdmin admin;
    kxmp::catalog::MountPathRecord disk{1, "ma1*ma1*0*0", home_->sub("disk1"), ""};
    ASSERT_FALSE(admin.PutMountPath(disk).IsError());
    ASSERT_FALSE(admin.PutSubclient(kxmp::catalog::SubclientRecord{42, "guid-42", ""}).IsError());
    ASSERT_FALSE(admin.Attach(42, 1, kxmp::catalog::kKindPrimary, 1).IsError());
  }
  kxmp::test::ServerProcess host;
  ASSERT_TRUE(host.Start({kHost, "--home", home_->path(), "--allowed-group", accounts_->group, "--tcp-port", "0"}));
  ASSERT_TRUE(host.WaitForLine("kxmp-host: serving", 60000)) << host.Output();
  const std::string listening = "listening on 127.0.0.1:";
  const size_t at = host.Output().find(listening);
  ASSERT_NE(at, std::string::npos) << host.Output();
  const uint16_t port = static_cast<uint16_t>(std::stoi(host.Output().substr(at + listening.size())));

  // The group may pass through the home and run/ to the socket, and no further.
  const gid_t gid = accounts_->Gid();
  struct stat st {};
  ASSERT_EQ(::stat(home_->path().c_str(), &st), 0);
  EXPECT_TRUE((st.st_mode & S_IXOTH) != 0 || (st.st_gid == gid && (st.st_mode & S_IXGRP) != 0));
  ASSERT_EQ(::stat(home_->sub("run").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0710u);
  EXPECT_EQ(st.st_gid, gid);
  ASSERT_EQ(::stat(home_->sub("run/mountpoint.sock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(st.st_gid, gid);
  ASSERT_EQ(::stat(home_->sub("registry").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);

  // A member, through the default socket path, as installed.
  RunResult r = As(accounts_->member, {"mount", "--subclient", "42", "--mount-point", "/mnt/kx42"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "errorCode 0 (success)\n");
  // Setup run again (as the unit does before every start) leaves the group its way in.
  ASSERT_EQ(Kxmp({"setup"}).status, 0);
  ASSERT_EQ(::stat(home_->sub("run").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0710u);

  // Anybody else is stopped by the file system, and told so.
  r = As(accounts_->outsider, {"mount", "--subclient", "42", "--mount-point", "/mnt/kx42"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
  // Where an operator opened the socket wider, the host refuses and says why.
  ASSERT_EQ(::chmod(home_->path().c_str(), 0711), 0);
  ASSERT_EQ(::chmod(home_->sub("run").c_str(), 0711), 0);
  ASSERT_EQ(::chmod(home_->sub("run/mountpoint.sock").c_str(), 0666), 0);
  r = As(accounts_->outsider, {"mount", "--subclient", "42", "--mount-point", "/mnt/kx42"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("refused by kxmp-host (not an allowed user or group)"), std::string::npos) << r.err;
  r = As(accounts_->outsider, {"--json", "mount", "--subclient", "42", "--mount-point", "/mnt/kx42"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(kxmp::test::Summary(r)["type"], "error") << r.out;

  // The TCP port judges a peer by the user owning its socket: the same answers.
  const uid_t outsider = accounts_->Uid(accounts_->outsider);
  const gid_t nogroup = ::getgrnam("nogroup")->gr_gid;
  EXPECT_EQ(OverTcp(outsider, nogroup, {nogroup}, port), 13);
  EXPECT_EQ(OverTcp(accounts_->Uid(accounts_->member), nogroup, {nogroup, gid}, port), 0);
  EXPECT_EQ(host.Stop(SIGTERM), 0);
  const std::string log = ReadFile(home_->sub("log/kxmp-host.log"));
  EXPECT_NE(log.find("Refusing a TCP session of user [" + std::to_string(outsider) + "]"), std::string::npos);
  EXPECT_NE(log.find("Refusing a Unix session of user [" + std::to_string(outsider) + "]"), std::string::npos);
}

}  // namespace

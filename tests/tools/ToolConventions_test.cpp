// test-labels: integration
// What every user of the tool meets whatever the subcommand: usage errors that name the
// closest match (subcommands and options at any depth), global options, JSON errors and
// version, a home setup did not make refused before anything is made, values refused rather
// than cut, a first run that needs no hand edits, the host's refusal of a home setup did not
// make and its log reopened on SIGHUP, and an unreadable home reported as such, naming
// the user, until setup hands it over.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "kxmp/Version.h"
#include "support/TempHome.h"
#include "tools/AdminSupport.h"

using kxmp::test::Kxmp;
using kxmp::test::ReadFile;
using kxmp::test::RunResult;
using kxmp::test::Summary;

namespace {

const std::string kHost = KXMP_BINARY_DIR "/tools/host/kxmp-host";

class ToolConventionsTest : public kxmp::test::HomeTest {};

TEST_F(ToolConventionsTest, UsageErrorsNameTheClosestMatchAndGlobalOptionsComeFirst) {
  RunResult r = Kxmp({"bakup", "--subclient", "1", "x"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown subcommand 'bakup'; did you mean backup?"), std::string::npos) << r.err;

  r = Kxmp({"backup", "--subclient", "1", "--metdata", "x"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("did you mean --metadata?"), std::string::npos) << r.err;

  r = Kxmp({"frobnicate"});  // nothing near: no guess
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.find("did you mean"), std::string::npos) << r.err;

  // Nested subcommands and a subcommand's options, also where the misspelt option leaves a
  // required one missing.
  for (const auto& [args, said] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"catalog", "lst"}, "kxmp catalog: unknown subcommand 'lst'; did you mean list?"},
           {{"storage-host", "chek", "ma1"}, "kxmp storage-host: unknown subcommand 'chek'; did you mean check?"},
           {{"backup", "--subclinet", "1", "x"}, "kxmp backup: unknown option '--subclinet'; did you mean --subclient?"},
           {{"catalog", "list", "--jsno"}, "kxmp catalog list: unknown option '--jsno'; did you mean --json?"}}) {
    r = Kxmp(args);
    EXPECT_EQ(r.status, 2) << said;
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), said);
  }

  r = Kxmp({"--json", "cahce", "show"});
  EXPECT_EQ(r.status, 2);
  nlohmann::json error = Summary(r);
  EXPECT_EQ(error["type"], "error") << r.out;
  EXPECT_EQ(error["exitStatus"], 2);
  EXPECT_NE(error["message"].get<std::string>().find("did you mean cache?"), std::string::npos);

  r = Kxmp({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(KxmpVersion()), std::string::npos) << r.out;
  r = Kxmp({"--version", "--json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Summary(r), nlohmann::json({{"type", "version"}, {"program", "kxmp"}, {"version", KxmpVersion()}}));

  // --home and --json before the subcommand act as they do after it.
  r = Kxmp({"--home", home_->path(), "--json", "setup"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Summary(r)["type"], "summary");
  EXPECT_EQ(Summary(r)["home"], home_->path());
  // A failure with --json is a JSON line too.
  r = Kxmp({"--json", "cache", "show", "--subclient", "9"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(Summary(r)["type"], "error") << r.out;
  r = Kxmp({"--json", "storage-host", "list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Summary(r), nlohmann::json({{"type", "summary"}, {"hosts", nlohmann::json::array()}}));
}

TEST_F(ToolConventionsTest, AHomeSetupDidNotMakeAndValuesThatDoNotFitAreRefusedBeforeAnythingIsMade) {
  // Every subcommand but setup, on a mistyped home: nothing of a home is made.
  const std::string typo = home_->sub("typo");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"control-server"},
           {"control-server", "offline"},
           {"catalog", "list"},
           {"storage-host", "list"},
           {"cache", "set-refresh-hours", "2"},
           {"events"},
           {"failover", "--subclient", "1"},
           {"backup", "--subclient", "1", "/etc/hostname"},
           {"search", "--subclient", "1", "x"},
           {"restore", "--subclient", "1", "x", "--to", home_->sub("r")},
           {"mount", "--subclient", "1", "--mount-point", "/m"}}) {
    std::vector<std::string> line = {"--home", typo};
    line.insert(line.end(), args.begin(), args.end());
    RunResult r = Kxmp(line);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_EQ(r.err, "kxmp " + args[0] + ": " + typo + " is not a kxmp home (No such file or directory): run kxmp "
                     "setup --home " + typo + "\n");
    EXPECT_FALSE(kxmp::test::PathExists(typo)) << args[0];
  }

  // Values are refused, never cut to other ones.
  ASSERT_EQ(Kxmp({"setup"}).status, 0);
  for (const auto& [args, said] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"catalog", "add-mount-path", "--id", "4294967297", "--host", "ma1*ma1*0*0", "--path", "/p"},
            "--id: must be a whole number from 1 to 2147483647"},
           {{"catalog", "add-subclient", "--id", "2147483648"}, "--id: must be a whole number from 1 to 2147483647"},
           {{"backup", "--subclient", "1", "--time", "-5", "x"}, "--time: must be a whole number from 0 to"},
           {{"backup", "--subclient", "1", "--stream", "-1", "x"}, "--stream: must be a whole number from 0 to"},
           {{"search", "--subclient", "1", "log_(1"}, "[log_(1] is not a valid regular expression: "},
           {{"restore", "--subclient", "1", "[z-a]", "--to", home_->sub("r")}, "[[z-a]] is not a valid regular"}}) {
    RunResult r = Kxmp(args);
    EXPECT_EQ(r.status, 2) << said;
    EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
  }
}

TEST_F(ToolConventionsTest, AFirstRunNeedsNoHandEditsAndTheOperatorKeepsTheLastWord) {
  ASSERT_EQ(Kxmp({"setup"}).status, 0);
  EXPECT_EQ(ReadFile(home_->sub("registry/Runtime/nCSONLINE")), "1");

  RunResult r = Kxmp({"--json", "control-server", "offline"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Summary(r)["controlServer"], "offline");
  ASSERT_EQ(Kxmp({"setup"}).status, 0);  // setup again never undoes the operator's choice
  EXPECT_EQ(ReadFile(home_->sub("registry/Runtime/nCSONLINE")), "0");
  EXPECT_EQ(Summary(Kxmp({"--json", "control-server"}))["controlServer"], "offline");
  EXPECT_EQ(Summary(Kxmp({"--json", "control-server", "online"}))["controlServer"], "online");

  ASSERT_EQ(Kxmp({"cache", "set-refresh-hours", "2"}).status, 0);
  EXPECT_EQ(ReadFile(home_->sub("registry/Tessel/MAMountPoint/CacheRefreshHour")), "2");
  EXPECT_EQ(Kxmp({"cache", "set-refresh-hours", "0"}).status, 2);

  // Numbers as an administrator's editor leaves them, with a line break: read like atoi, as
  // the service reads them.
  kxmp::test::WriteFile(home_->sub("registry/Tessel/MAMountPoint/CacheRefreshHour"), "3\n");
  const std::string key = "registry/Tessel/MAMountPoint/5/";
  kxmp::test::WriteFile(home_->sub(key + "sMAHostnameMangled"), "ma1*ma1*0*0");
  kxmp::test::WriteFile(home_->sub(key + "sMAMountPath"), "/mnt/a");
  kxmp::test::WriteFile(home_->sub(key + "nFailoverCurrent"), "1\n");
  kxmp::test::WriteFile(home_->sub(key + "nFailoverNumber"), "1\n");
  kxmp::test::WriteFile(home_->sub(key + "nLastRefreshTime"), "1700000000\n");
  r = Kxmp({"--json", "cache", "show", "--subclient", "5"});
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json view = Summary(r);
  EXPECT_EQ(view["refreshHours"], 3);
  EXPECT_EQ(view["failoverCurrent"], 1);
  EXPECT_EQ(view["lastRefreshTime"], 1700000000);
}

// Waits (bounded) until the file holds the text.
bool WaitForText(const std::string& path, const std::string& text) {
  for (int i = 0; i < 600; ++i) {
    if (ReadFile(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST_F(ToolConventionsTest, TheHostRefusesAHomeSetupDidNotMakeAndReopensItsLogOnHangup) {
  RunResult r = kxmp::test::RunTool({kHost, "--home", home_->sub("nowhere")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is not a kxmp home"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("kxmp setup"), std::string::npos) << r.err;

  ASSERT_EQ(Kxmp({"setup"}).status, 0);
  kxmp::test::ServerProcess host;
  ASSERT_TRUE(host.Start({kHost, "--home", home_->path()}));
  ASSERT_TRUE(host.WaitForLine("kxmp-host: serving", 60000)) << host.Output();
  const std::string log = home_->sub("log/kxmp-host.log");
  ASSERT_TRUE(WaitForText(log, "serving"));
  // UTC times, as in the event log.
  EXPECT_EQ(ReadFile(log).substr(10, 1), "T");
  EXPECT_NE(ReadFile(log).find("Z "), std::string::npos);

  ASSERT_EQ(::rename(log.c_str(), (log + ".1").c_str()), 0);  // what logrotate does
  ASSERT_EQ(::kill(host.pid(), SIGHUP), 0);
  EXPECT_TRUE(WaitForText(log, "reopened the log file on SIGHUP"));
  EXPECT_EQ(host.Stop(SIGTERM), 0);
}

TEST_F(ToolConventionsTest, AnUnreadableHomeIsPermissionDeniedUntilHandedOver) {
  if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
  ASSERT_EQ(Kxmp({"setup"}).status, 0);
  ASSERT_EQ(::chmod(home_->path().c_str(), 0700), 0);
  // The tool runs as nobody, to whom the home is closed.
  auto asNobody = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                               kxmp::test::kKxmpTool, "--home", home_->path()});
    return kxmp::test::RunTool(args);
  };
  RunResult r = asNobody({"events"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.out << r.err;
  EXPECT_EQ(r.out.find("no events"), std::string::npos);
  r = asNobody({"cache", "show", "--subclient", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
  r = asNobody({"catalog", "list"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
  // What a database's commands meet names the path, the user, and the way out.
  r = asNobody({"get", "--subclient", "1", "000000010000000000000001", "/tmp/RECOVERYXLOG"});
  EXPECT_EQ(r.status, 128);
  EXPECT_EQ(r.err, "kxmp get: Permission denied: user nobody (uid 65534) cannot reach " + home_->path() +
                       " (it belongs to root, mode 0700); to hand the kxmp home to this user, run as root: kxmp setup "
                       "--home " + home_->path() + " --owner nobody\n");

  // Handed over, the home is the other user's to use; a user who could not reach it, or no
  // such user, is refused before anything changes hands.
  r = Kxmp({"setup", "--home", home_->sub("closed/home"), "--owner", "nobody"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("user nobody cannot reach " + home_->sub("closed/home") + ": " + home_->path() +
                       " is closed to it"), std::string::npos) << r.err;
  EXPECT_EQ(Kxmp({"setup", "--owner", "no-such-user-here"}).status, 2);
  ASSERT_EQ(::chmod(home_->path().c_str(), 0755), 0);
  const std::string home = home_->sub("handed");
  ASSERT_EQ(Kxmp({"setup", "--home", home}).status, 0);
  r = Kxmp({"setup", "--home", home, "--owner", "nobody"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = kxmp::test::RunTool({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                           kxmp::test::kKxmpTool, "--home", home, "events"});
  EXPECT_EQ(r.status, 0) << r.err;
  struct stat st {};
  ASSERT_EQ(::stat((home + "/registry/Runtime/nCSONLINE").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
}

}  // namespace

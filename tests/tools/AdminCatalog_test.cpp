// test-labels: integration
// kxmp setup and kxmp catalog run as a user runs them: the home they make, the catalog they
// build, and what they refuse without changing anything.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "outside/catalog/CatalogAdmin.h"
#include "support/TempHome.h"
#include "tools/AdminSupport.h"

using kxmp::test::Kxmp;
using kxmp::test::RunResult;
using kxmp::test::Summary;
using nlohmann::json;

namespace {

mode_t Mode(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class AdminCatalogTest : public kxmp::test::HomeTest {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    RunResult r = Kxmp({"setup"});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  // The catalog as kxmp catalog list --json shows it.
  json List() {
    RunResult r = Kxmp({"catalog", "list", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    return Summary(r);
  }

  void AddThreeMountPathsAndSubclient42() {
    for (int i = 1; i <= 3; ++i) {
      RunResult r = Kxmp({"catalog", "add-mount-path", "--id", std::to_string(100 + i), "--host",
                          "ma" + std::to_string(i) + "*ma" + std::to_string(i) + "*1*2", "--path",
                          "/disk" + std::to_string(i), "--library", "lib"});
      ASSERT_EQ(r.status, 0) << r.err;
    }
    RunResult r = Kxmp({"catalog", "add-subclient", "--id", "42", "--guid", "g42", "--backupset-guid", "b42"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
};

TEST_F(AdminCatalogTest, SetupMakesOwnerOnlyFoldersAndACatalogAndCanRunAgain) {
  const std::string home = home_->sub("fresh/home");
  RunResult r = Kxmp({"setup", "--home", home, "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  json s = Summary(r);
  EXPECT_EQ(s["type"], "summary");
  EXPECT_EQ(s["home"], home);
  for (const char* folder : {"", "/registry", "/locks", "/log", "/jobresults", "/run"}) {
    EXPECT_EQ(Mode(home + folder), 0700u) << folder;
  }
  EXPECT_EQ(Mode(home + "/catalog.db"), 0600u);
  for (const json& item : s["items"]) EXPECT_EQ(item["state"], "created") << item;
  std::vector<kxmp::catalog::SubclientRecord> none;
  EXPECT_FALSE(kxmp::catalog::CatalogAdmin(home + "/catalog.db").ListSubclients(none).IsError());

  // Again: nothing new, but a folder opened up by hand is closed again.
  ASSERT_EQ(::chmod((home + "/log").c_str(), 0755), 0);
  r = Kxmp({"setup", "--home", home, "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const json again = Summary(r);
  for (const json& item : again["items"]) {
    EXPECT_EQ(item["state"], item["path"] == "log/" ? "tightened from 0755 to 0700" : "present") << item;
  }
  EXPECT_EQ(Mode(home + "/log"), 0700u);
}

TEST_F(AdminCatalogTest, SetupRefusesWhatIsInTheWay) {
  const std::string home = home_->sub("blocked");
  kxmp::test::WriteFile(home + "/locks", "not a folder");
  ASSERT_EQ(::symlink("/tmp", (home + "/run").c_str()), 0);
  RunResult r = Kxmp({"setup", "--home", home});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(home + "/locks is not a folder"), std::string::npos) << r.err;

  ASSERT_EQ(::unlink((home + "/locks").c_str()), 0);
  r = Kxmp({"setup", "--home", home});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(home + "/run is not a folder"), std::string::npos) << r.err;
  EXPECT_EQ(Mode("/tmp"), 01777u);  // the link's target was left alone

  const std::string open = home_->sub("open");
  ASSERT_EQ(::mkdir(open.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
  r = Kxmp({"setup", "--home", open});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("can be written by every user"), std::string::npos) << r.err;
}

TEST_F(AdminCatalogTest, BuildsASubclientWithPrimaryAndAlternates) {
  AddThreeMountPathsAndSubclient42();
  EXPECT_EQ(Kxmp({"catalog", "attach", "--subclient", "42", "--mount-path", "101", "--primary"}).status, 0);
  EXPECT_EQ(Kxmp({"catalog", "attach", "--subclient", "42", "--mount-path", "102", "--alternate"}).status, 0);
  RunResult r = Kxmp({"catalog", "attach", "--subclient", "42", "--mount-path", "103", "--alternate", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Summary(r)["position"], 3);  // after the last one

  std::vector<kxmp::catalog::AttachedMountPath> attached;
  ASSERT_FALSE(kxmp::catalog::CatalogAdmin().ListAttachments(42, attached).IsError());
  ASSERT_EQ(attached.size(), 3u);
  EXPECT_EQ(attached[0].mountPath.id, 101);
  EXPECT_EQ(attached[0].kind, kxmp::catalog::kKindPrimary);
  EXPECT_EQ(attached[0].position, 1);
  EXPECT_EQ(attached[2].mountPath.id, 103);
  EXPECT_EQ(attached[2].kind, kxmp::catalog::kKindAlternate);

  json list = List();
  ASSERT_EQ(list["subclients"].size(), 1u);
  EXPECT_EQ(list["subclients"][0]["guid"], "g42");
  EXPECT_EQ(list["subclients"][0]["mountPaths"][1], json({{"mountPath", 102}, {"kind", "alternate"}, {"position", 2}}));
  EXPECT_EQ(list["mountPaths"][2]["host"], "ma3*ma3*1*2");

  r = Kxmp({"catalog", "list"});
  EXPECT_NE(r.out.find("  42         1         primary    101         ma1*ma1*1*2  /disk1"), std::string::npos) << r.out;

  // Re-attaching keeps the place unless a new one is given; a detached mount path stays
  // listed for reading, and the operator is told what is stored there.
  r = Kxmp({"catalog", "attach", "--subclient", "42", "--mount-path", "102", "--alternate", "--json"});
  EXPECT_EQ(Summary(r)["position"], 2);
  r = Kxmp({"catalog", "detach", "--subclient", "42", "--mount-path", "102"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("could not tell how many files of subclient 42 are stored on mount path 102"), std::string::npos)
      << r.out;
  json mountPaths = List()["subclients"][0]["mountPaths"];
  ASSERT_EQ(mountPaths.size(), 3u);
  EXPECT_EQ(mountPaths[2]["mountPath"], 102);
  EXPECT_EQ(mountPaths[2]["kind"], "detached");

  // Leaving the subclient without a primary takes --force, and is then said.
  for (const std::vector<std::string>& change :
       {std::vector<std::string>{"detach", "--subclient", "42", "--mount-path", "101"},
        std::vector<std::string>{"attach", "--subclient", "42", "--mount-path", "101", "--alternate"}}) {
    std::vector<std::string> args = {"catalog"};
    args.insert(args.end(), change.begin(), change.end());
    r = Kxmp(args);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.err.find("without a primary mount path"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("give --force"), std::string::npos) << r.err;
  }
  r = Kxmp({"catalog", "attach", "--subclient", "42", "--mount-path", "101", "--alternate", "--force"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("subclient 42 has no primary mount path now"), std::string::npos) << r.out;
  // Attached again, a mount path is no longer kept apart.
  r = Kxmp({"catalog", "attach", "--subclient", "42", "--mount-path", "102", "--primary", "--position", "7"});
  EXPECT_EQ(r.status, 0) << r.err;
  mountPaths = List()["subclients"][0]["mountPaths"];
  ASSERT_EQ(mountPaths.size(), 3u);
  EXPECT_EQ(mountPaths[2], json({{"mountPath", 102}, {"kind", "primary"}, {"position", 7}}));
}

TEST_F(AdminCatalogTest, NewSubclientsGetRandomVersion4GuidsThatAReplacementKeeps) {
  RunResult r = Kxmp({"catalog", "add-subclient", "--id", "7", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string guid = Summary(r)["subclient"]["guid"];
  const std::string backupset = Summary(r)["subclient"]["backupsetGuid"];
  const std::regex v4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  EXPECT_TRUE(std::regex_match(guid, v4)) << guid;
  EXPECT_TRUE(std::regex_match(backupset, v4)) << backupset;
  EXPECT_NE(guid, backupset);

  // Adding it again is refused; a replacement keeps the GUIDs it is not given, since they
  // name the subclient's folders on the storage.
  r = Kxmp({"catalog", "add-subclient", "--id", "7"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("subclient 7 exists already: give --replace"), std::string::npos) << r.err;
  r = Kxmp({"catalog", "add-subclient", "--id", "7", "--replace", "--backupset-guid", "bs", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Summary(r)["subclient"]["guid"], guid);
  EXPECT_EQ(List()["subclients"][0]["backupsetGuid"], "bs");
}

TEST_F(AdminCatalogTest, RefusesWhatWouldBreakTheCatalogAndChangesNothing) {
  AddThreeMountPathsAndSubclient42();
  ASSERT_EQ(Kxmp({"catalog", "attach", "--subclient", "42", "--mount-path", "101", "--primary"}).status, 0);
  const json before = List();

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {{"attach", "--subclient", "42", "--mount-path", "102", "--primary"}, 1,
       "Subclient [42] already has primary mount path [101]"},
      {{"attach", "--subclient", "42", "--mount-path", "102", "--alternate", "--position", "1"}, 1,
       "Position [1] of subclient [42] is taken by mount path [101]"},
      {{"attach", "--subclient", "42", "--mount-path", "999", "--alternate"}, 3, "No mount path [999]"},
      {{"attach", "--subclient", "43", "--mount-path", "102", "--alternate"}, 3, "No subclient [43]"},
      {{"detach", "--subclient", "42", "--mount-path", "103"}, 3, "Mount path [103] is not attached"},
      {{"add-mount-path", "--id", "101", "--host", "ma9", "--path", "/x"}, 1, "mount path 101 exists already"},
      {{"add-mount-path", "--host", "", "--path", "/x"}, 2, "is not a valid host name"},
      {{"add-mount-path", "--host", "ma9", "--path", "/x", "--library", "a|b"}, 2, "must not hold \"|\""},
      {{"add-subclient", "--id", "8", "--guid", ".."}, 2, "cannot name a folder"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"catalog"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = Kxmp(args);
    EXPECT_EQ(r.status, c.status) << c.message << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the catalog is unchanged"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  EXPECT_EQ(List(), before);
}

TEST_F(AdminCatalogTest, UsageErrorsExitWithTwoAndHelpShowsAnExample) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"catalog"},
           {"catalog", "attach", "--subclient", "42", "--mount-path", "101"},
           {"catalog", "attach", "--subclient", "42", "--mount-path", "101", "--primary", "--alternate"},
           {"catalog", "attach", "--subclient", "-1", "--mount-path", "101", "--primary"},
           {"catalog", "add-mount-path", "--id", "0", "--host", "h", "--path", "/p"},
           {"catalog", "add-subclient", "--id", "0"},
           {"catalog", "attach", "--subclient", "42", "--mount-path", "101", "--primary", "--position", "x"},
           {"cache", "show"},
           {"failover", "--subclient", "18446744073709551616"},
           {"events", "--bogus"},
           {"setup", "extra"}}) {
    RunResult r = Kxmp(args);
    EXPECT_EQ(r.status, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "") << ": " << r.err;
    EXPECT_FALSE(r.err.empty());
  }
  for (const char* sub : {"setup", "catalog", "cache", "failover", "events"}) {
    RunResult r = Kxmp({sub, "--help"});
    EXPECT_EQ(r.status, 0) << sub;
    EXPECT_NE(r.out.find("Example:\n  kxmp " + std::string(sub)), std::string::npos) << r.out;
  }
}

TEST_F(AdminCatalogTest, WithoutACatalogItSaysToRunSetup) {
  // A home setup made, whose catalog went missing.
  const std::string empty = home_->sub("empty");
  ASSERT_EQ(::mkdir(empty.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((empty + "/registry").c_str(), 0700), 0);
  RunResult r = Kxmp({"catalog", "add-subclient", "--id", "5", "--home", empty});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kxmp catalog: there is no catalog at " + empty + "/catalog.db: create it with kxmp setup --home " +
                       empty + "\n");
  EXPECT_FALSE(kxmp::test::PathExists(empty + "/catalog.db"));
}

}  // namespace

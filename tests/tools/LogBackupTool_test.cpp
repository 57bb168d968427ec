// test-labels: integration
// kxmp backup, search and restore as a user runs them: files backed up to the subclient's
// mount path, found, and restored into a folder with their content intact.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logbackup/LogBackupFixture.h"
#include "support/Subprocess.h"

namespace kxmp::test {
namespace {

const std::string kTool = KXMP_BINARY_DIR "/tools/kxmp/kxmp";

class LogBackupToolTest : public LogBackupTest {
 protected:
  void SetUp() override {
    LogBackupTest::SetUp();
    Attach({0, 1});
    for (int i = 0; i < 3; ++i) {
      const std::string path = home_->sub("src/log_" + std::to_string(i) + ".trn");
      WriteFile(path, Content(static_cast<size_t>(i) * 700000 + 3, static_cast<uint32_t>(i)));
      sources_.push_back(path);
    }
  }

  RunResult Kxmp(std::vector<std::string> args) {
    args.insert(args.begin(), kTool);
    return RunTool(args);
  }

  std::vector<std::string> sources_;
};

TEST_F(LogBackupToolTest, BackupSearchAndRestoreRoundTrip) {
  std::vector<std::string> args = {"backup", "--subclient", "42", "--stream", "2", "--metadata", "--json"};
  args.insert(args.end(), sources_.begin(), sources_.end());
  RunResult r = Kxmp(args);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\"type\":\"status\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{\"type\":\"summary\",\"files\":3,\"failed\":0,\"bytes\":2100009,"), std::string::npos) << r.out;
  EXPECT_TRUE(PathExists(Root(0) + "/log_2.trn"));
  EXPECT_TRUE(PathExists(Root(0) + "/StreamMetadata_2.xml"));
  // The same name on the second mount path: restored once, from the first.
  WriteFile(Root(1) + "/log_1.trn", "stale copy");

  r = Kxmp({"search", "--subclient", "42", "--all", "log_1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ma1\t" + mounts_[0] + "\t/log_1.trn\nma2\t" + mounts_[1] + "\t/log_1.trn\n");

  const std::string to = home_->sub("restored");
  r = Kxmp({"restore", "--subclient", "42", "^log_\\d\\.trn$", "--to", to});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const std::string& src : sources_) {
    const std::string name = src.substr(src.find_last_of('/'));
    EXPECT_TRUE(ReadFile(to + name) == ReadFile(src)) << name;
  }
  // Existing files stay unless forced.
  WriteFile(to + "/log_0.trn", "mine");
  r = Kxmp({"restore", "--subclient", "42", "log_0.trn", "--to", to});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadFile(to + "/log_0.trn"), "mine");
  r = Kxmp({"restore", "--subclient", "42", "log_0.trn", "--to", to, "--force"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ReadFile(to + "/log_0.trn") == ReadFile(sources_[0]));
}

TEST_F(LogBackupToolTest, ExitStatusTellsFailureUsageAndNothingFound) {
  RunResult r = Kxmp({"backup", "--subclient", "42", sources_[0], home_->sub("src/missing.trn")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("missing.trn"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("2 files, 1 failed"), std::string::npos) << r.out;
  EXPECT_FALSE(PathExists(Root(0) + "/missing.trn"));
  EXPECT_FALSE(PathExists(Root(0) + "/missing.trn.tmp"));

  EXPECT_EQ(Kxmp({"search", "--subclient", "42", "nothing-like-this"}).status, 3);
  EXPECT_EQ(Kxmp({"restore", "--subclient", "42", "nothing", "--to", home_->sub("x")}).status, 3);
  EXPECT_EQ(Kxmp({"search", "--subclient", "-1", "x"}).status, 2);
  EXPECT_EQ(Kxmp({"restore", "--subclient", "42", "x"}).status, 2);  // no --to
  // A subclient without reachable mount paths cannot back up.
  EXPECT_EQ(Kxmp({"backup", "--subclient", "77", sources_[0]}).status, 1);
  EXPECT_EQ(Kxmp({"search", "--subclient", "77", "x"}).status, 1);
}

}  // namespace
}  // namespace kxmp::test

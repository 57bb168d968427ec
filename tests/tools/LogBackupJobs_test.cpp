// test-labels: concurrency
// kxmp backup --jobs 4 (an integration test: the tool runs as a child process): four writers
// on four threads of one process back up one stream. Run under ThreadSanitizer by
// scripts/test --tsan (the tool is built with it there).

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "logbackup/LogBackupFixture.h"
#include "support/Subprocess.h"

namespace kxmp::test {
namespace {

const std::string kTool = KXMP_BINARY_DIR "/tools/kxmp/kxmp";

class LogBackupJobsTest : public LogBackupTest {};

TEST_F(LogBackupJobsTest, FourWritersStoreEveryFileAndOneDocumentListsThemAll) {
  Attach({0});
  std::vector<std::string> args = {kTool, "backup", "--subclient", "42", "--stream", "5", "--metadata", "--jobs", "4"};
  std::vector<std::string> names;
  for (int i = 0; i < 16; ++i) {
    names.push_back("job_" + std::to_string(i) + ".trn");
    // Sizes from a few bytes to a few pieces, so that the workers overtake each other.
    const size_t size = static_cast<size_t>((i * 7919) % 16) * 200000 + static_cast<size_t>(i) + 1;
    WriteFile(home_->sub("src/" + names.back()), Content(size, static_cast<uint32_t>(i)));
    args.push_back(home_->sub("src/" + names.back()));
  }

  // The first run writes every file; the second finds them all stored and lists them again.
  for (const char* expected : {"\"files\":16,\"failed\":0,\"bytes\":", "\"alreadyStored\":16"}) {
    ::unlink((Root(0) + "/StreamMetadata_5.xml").c_str());
    std::vector<std::string> run = args;
    run.push_back("--json");
    RunResult r = RunTool(run, 120000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;  // ThreadSanitizer reports would land here

    // Every file once, whichever worker stored it.
    StreamContext metadata;
    ASSERT_EQ(metadata.fromString(ReadFile(Root(0) + "/StreamMetadata_5.xml")), 0);
    std::vector<std::string> listed = RecordedNames(metadata), sorted = names;
    std::sort(listed.begin(), listed.end());
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(listed, sorted);
    for (const std::string& name : names) {
      EXPECT_TRUE(ReadFile(Root(0) + "/" + name) == ReadFile(home_->sub("src/" + name))) << name;
      EXPECT_FALSE(PathExists(Tmp(0, name))) << name;
    }
  }
  EXPECT_NE(ReadFile(CacheFile()).find(mounts_[0]), std::string::npos);

  // On a terminal the four workers share one progress meter, with the status lines printed
  // above it.
  for (const std::string& name : names) ::unlink((Root(0) + "/" + name).c_str());
  RunResult r = RunToolOnTerminal(args, 120000);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\r\033[Kbacked up 16 of 16 files"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("ThreadSanitizer"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace kxmp::test

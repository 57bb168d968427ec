// test-labels: concurrency
// Several processes update one subclient's data-path cache file at once, each as a writer
// does (read, then update with its own data path). Every data path must end up listed once.

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "kxmp/LocalFileContext.h"
#include "logbackup/JobResultsFixture.h"
#include "support/ForkChild.h"

namespace kxmp::test {
namespace {

class MADataPathCacheProcessesTest : public JobResultsTest {};

TEST_F(MADataPathCacheProcessesTest, ConcurrentWritersLoseNoDataPath) {
  constexpr int kProcesses = 6;
  constexpr int kUpdatesEach = 5;
  std::vector<std::unique_ptr<ForkChild>> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(std::make_unique<ForkChild>([p](ForkChild::Channel& channel) {
      if (!channel.Wait()) return 2;
      for (int i = 0; i < kUpdatesEach; ++i) {
        Tessel::MADataPathsListCache cache;
        if (LocalFileContext::readMADataPathsFromMACache(9, cache).IsError()) return 3;
        std::string mountPath = "/mnt/p" + std::to_string(p) + "_" + std::to_string(i);
        CFSInitParams params = ParamsFor("ma1", mountPath, p * 100 + i);
        if (LocalFileContext::updateMADataPathCache(9, cache, &params).IsError()) return 4;
        // A repeat of a listed path must not add a second record.
        if (LocalFileContext::updateMADataPathCache(9, cache, &params).IsError()) return 5;
      }
      return 0;
    }));
  }
  for (auto& child : children) child->channel().Signal();  // start together
  for (auto& child : children) EXPECT_EQ(0, child->Join());

  Tessel::MADataPathsListCache cache;
  ASSERT_TRUE(LocalFileContext::readMADataPathsFromMACache(9, cache).IsSuccess());
  std::map<std::string, int> seen;
  for (const DataPath& path : DataPathsOf(cache)) ++seen[path.mountPath];
  EXPECT_EQ(static_cast<size_t>(kProcesses * kUpdatesEach), seen.size());
  for (const auto& [mountPath, count] : seen) EXPECT_EQ(1, count) << mountPath;
  EXPECT_FALSE(PathExists(CacheFile(9) + ".tmp"));
}

}  // namespace
}  // namespace kxmp::test

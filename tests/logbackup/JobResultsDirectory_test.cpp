// The first lookup of the job results directory. The answer is cached for the whole process,
// so every case runs in a forked child whose cache is still empty: the test process itself
// never looks the directory up.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kxmp/LocalFileContext.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/registry/KXPlatformInfo.h"
#include "support/ForkChild.h"
#include "support/TempHome.h"

namespace kxmp::test {
namespace {

class JobResultsDirectoryTest : public HomeTest {
 protected:
  // Runs body in a child; its assertion failures are printed there and fail the test here.
  static void InChild(const std::function<void()>& body) {
    ForkChild child([&](ForkChild::Channel&) {
      body();
      return ::testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(0, child.Join());
  }
  void SetJobResults(const std::string& dir) {
    ASSERT_TRUE(KXPlatformInfo().setRegString("Runtime", "sJobResultsDirectory", dir));
  }
};

TEST_F(JobResultsDirectoryTest, TheFirstAnswerIsKeptForTheProcess) {
  InChild([&] {
    SetJobResults(home_->sub("jr1"));
    const char* first = nullptr;
    ASSERT_TRUE(LocalFileContext::getJobResultsDirectory(first));
    EXPECT_STREQ(home_->sub("jr1").c_str(), first);

    SetJobResults(home_->sub("jr2"));
    const char* second = nullptr;
    ASSERT_TRUE(LocalFileContext::getJobResultsDirectory(second));
    EXPECT_EQ(first, second);
    // Later contexts derive their root from the kept answer too.
    LocalFileContext ctx(42);
    EXPECT_TRUE(ctx.createDirectory("").IsSuccess());
    EXPECT_EQ(home_->sub("jr1") + "/2/42/", ctx.getRootFolder());
    EXPECT_TRUE(log_->Lines().empty()) << log_->Dump();
  });
}

TEST_F(JobResultsDirectoryTest, ThreadsAskingFirstAtOnceGetOneAnswer) {
  InChild([&] {
    SetJobResults(home_->sub("jr"));
    constexpr int kThreads = 8;
    std::vector<const char*> seen(kThreads, nullptr);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        const char* dir = nullptr;
        if (LocalFileContext::getJobResultsDirectory(dir)) seen[i] = dir;
      });
    }
    for (auto& t : threads) t.join();
    for (const char* dir : seen) {
      ASSERT_NE(nullptr, dir);
      EXPECT_EQ(seen[0], dir);
    }
    EXPECT_STREQ(home_->sub("jr").c_str(), seen[0]);
  });
}

TEST_F(JobResultsDirectoryTest, AFailedLookupFailsEveryUserAndIsTriedAgain) {
  InChild([&] {
    ASSERT_TRUE(KXPlatformInfo().setRegString("Runtime", "sPhysicalMachine", "client1"));
    // A setting the platform cannot read (larger than a registry value may be).
    WriteFile(home_->sub("registry/Runtime/sJobResultsDirectory"), std::string(70 * 1024, 'x'));
    const std::string machineLine = "Failed to get job result Directory for [client1] machine.";

    const char* dir = "untouched";
    EXPECT_FALSE(LocalFileContext::getJobResultsDirectory(dir));
    EXPECT_STREQ("untouched", dir);
    EXPECT_EQ(1, log_->Count(-1, machineLine));

    LocalFileContext ctx(42);
    CZoError err = ctx.openFile("log1", O_WRONLY | O_CREAT, 0600);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 5));
    EXPECT_EQ("Failed to get job results directory", err.Message());
    EXPECT_TRUE(log_->Has(-1, "Failed to get job results directory. Please check the environment."));
    EXPECT_EQ("", ctx.getRootFolder());

    Tessel::MADataPathsListCache cache;
    err = LocalFileContext::readMADataPathsFromMACache(42, cache);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 5));
    EXPECT_EQ("Failed to get job results directory", err.Message());
    CFSInitParams params;
    params.host.hostName = "ma1";
    params.host.mountPath = "/mnt/a";
    err = LocalFileContext::updateMADataPathCache(42, cache, &params);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 5));
    EXPECT_EQ(4, log_->Count(-1, machineLine));  // every caller asked again

    SetJobResults(home_->sub("jr"));
    ASSERT_TRUE(LocalFileContext::getJobResultsDirectory(dir));
    EXPECT_STREQ(home_->sub("jr").c_str(), dir);
  });
}

TEST_F(JobResultsDirectoryTest, AnInvalidPlatformGivesNoDefaultRoot) {
  InChild([&] {
    // A home that is not an absolute path makes the platform invalid.
    ASSERT_EQ(0, ::chdir(home_->path().c_str()));
    ASSERT_EQ(0, ::setenv("KX_HOME", "relative-home", 1));
    LocalFileContext ctx(42);
    CZoError err = ctx.openFile("log1", O_WRONLY | O_CREAT, 0600);
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 87));
    EXPECT_EQ("Invalid platform", err.Message());
    EXPECT_TRUE(log_->Lines().empty()) << log_->Dump();

    const char* dir = nullptr;
    EXPECT_FALSE(LocalFileContext::getJobResultsDirectory(dir));
    EXPECT_EQ(1, log_->CountContaining("Failed to get job result Directory for ["));
  });
}

}  // namespace
}  // namespace kxmp::test

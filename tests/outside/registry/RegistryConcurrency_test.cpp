// test-labels: concurrency
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "outside/registry/KXPlatformInfo.h"
#include "support/TempHome.h"

namespace {

constexpr int kWriters = 4;
constexpr int kRounds = 150;
const char kKey[] = "~Tessel/MAMountPoint\\7";

// A whole value of writer w, round r: a header and a body long enough that a torn write
// would show (the body repeats the header's letter).
std::string Payload(int w, int r) {
  return std::to_string(w) + ":" + std::to_string(r) + ":" + std::string(3000 + 7 * r, static_cast<char>('a' + w));
}

bool IsWhole(const std::string& v) {
  size_t a = v.find(':');
  size_t b = a == std::string::npos ? a : v.find(':', a + 1);
  if (b == std::string::npos) return false;
  int w = std::atoi(v.substr(0, a).c_str());
  int r = std::atoi(v.substr(a + 1, b - a - 1).c_str());
  return w >= 0 && w < 26 && v == Payload(w, r);
}

bool NoTempFiles(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  bool clean = true;
  while (struct dirent* e = ::readdir(d)) {
    if (std::string(e->d_name).rfind(".tmp.", 0) == 0) clean = false;
  }
  ::closedir(d);
  return clean;
}

class RegistryConcurrency : public kxmp::test::HomeTest {
 protected:
  std::string KeyDir() const { return home_->sub("registry/Tessel/MAMountPoint/7"); }
};

TEST_F(RegistryConcurrency, ThreadsWritingOneAndManyValues) {
  ASSERT_TRUE(KXPlatformInfo().createRegKey(kKey));
  std::atomic<int> started{0};
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::atomic<int> torn{0};
  std::atomic<int> missing{0};

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      KXPlatformInfo info;
      for (int r = 0; r < kRounds; ++r) {
        if (!info.setRegString(kKey, "shared", Payload(w, r))) ++failures;
        if (!info.setRegString(kKey, "own" + std::to_string(w), Payload(w, r))) ++failures;
        if (r == 0) ++started;
      }
    });
  }
  for (int rd = 0; rd < 2; ++rd) {
    threads.emplace_back([&] {
      KXPlatformInfo info;
      while (!done) {
        bool allStarted = started == kWriters;
        std::map<std::string, std::string> values;
        if (!info.getRegValues(kKey, &values)) {
          ++failures;
          continue;
        }
        for (const auto& kv : values) {
          if (!IsWhole(kv.second)) ++torn;
        }
        // Once every writer has written, every value is seen on every read.
        if (allStarted && values.size() != kWriters + 1) ++missing;
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  done = true;
  for (size_t i = kWriters; i < threads.size(); ++i) threads[i].join();

  EXPECT_EQ(failures, 0);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(missing, 0);
  std::map<std::string, std::string> values;
  ASSERT_TRUE(KXPlatformInfo().getRegValues(kKey, &values));
  ASSERT_EQ(values.size(), static_cast<size_t>(kWriters + 1));
  // The last writer wins with its whole last value; every own value is its writer's last.
  const std::string& shared = values["shared"];
  bool someLast = false;
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(values["own" + std::to_string(w)], Payload(w, kRounds - 1));
    someLast = someLast || shared == Payload(w, kRounds - 1);
  }
  EXPECT_TRUE(someLast) << shared.substr(0, 20);
  EXPECT_TRUE(NoTempFiles(KeyDir()));
}

TEST_F(RegistryConcurrency, ProcessesWritingTheSameValue) {
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      KXPlatformInfo info;
      int bad = 0;
      for (int r = 0; r < kRounds; ++r) {
        // All spellings of the key meet in one folder.
        const char* key = (r % 2) ? "~/Tessel/MAMountPoint/7" : kKey;
        if (!info.setRegString(key, "shared", Payload(w, r))) ++bad;
        if (!info.setRegInt(key, "n" + std::to_string(w), r)) ++bad;
      }
      ::_exit(bad == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  KXPlatformInfo info;
  int torn = 0;
  int live = static_cast<int>(children.size());
  while (live > 0) {
    std::map<std::string, std::string> values;
    if (info.getRegValues(kKey, &values) && values.count("shared") && !IsWhole(values["shared"])) ++torn;
    for (pid_t& pid : children) {
      int status = 0;
      if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        pid = -1;
        --live;
      }
    }
  }
  EXPECT_EQ(torn, 0);
  std::map<std::string, std::string> values;
  ASSERT_TRUE(info.getRegValues(kKey, &values));
  EXPECT_TRUE(IsWhole(values["shared"]));
  for (int w = 0; w < kWriters; ++w) EXPECT_EQ(values["n" + std::to_string(w)], std::to_string(kRounds - 1));
  EXPECT_TRUE(NoTempFiles(KeyDir()));
}

TEST_F(RegistryConcurrency, DeletingWhileWriting) {
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      KXPlatformInfo info;
      for (int r = 0; r < kRounds; ++r) info.setRegString(kKey, "v" + std::to_string(w), Payload(w, r));
    });
  }
  std::thread deleter([&] {
    KXPlatformInfo info;
    while (!done) {
      info.delRegKey(kKey);
      std::map<std::string, std::string> values;
      if (info.getRegValues(kKey, &values)) {
        for (const auto& kv : values) {
          if (!IsWhole(kv.second)) ++torn;
        }
      }
    }
  });
  for (auto& t : writers) t.join();
  done = true;
  deleter.join();
  EXPECT_EQ(torn, 0);
  // Writes still work afterwards and nothing half-made is left.
  KXPlatformInfo info;
  ASSERT_TRUE(info.setRegString(kKey, "after", Payload(0, 1)));
  EXPECT_TRUE(NoTempFiles(KeyDir()));
  ASSERT_TRUE(info.delRegKey(kKey));
}

}  // namespace

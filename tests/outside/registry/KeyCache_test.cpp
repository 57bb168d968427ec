// test-labels: unit concurrency
// The process's registry cache must never answer with a value that changed before the read
// began, whoever changed it and however; and a write of the stored text must write nothing.
// Every case runs with the cache on and off (KX_REGISTRY_NO_CACHE), which must agree.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "outside/registry/KXPlatformInfo.h"
#include "outside/registry/KeyCache.h"
#include "support/ForkChild.h"
#include "support/TempHome.h"

using kxmp::registry::KeyCache;
using kxmp::test::ForkChild;
using kxmp::test::WriteFile;

namespace {

const char kKey[] = "~Tessel/MAMountPoint\\42";
using Values = std::map<std::string, std::string>;

// Writes a file in place, as `echo -n text > file` does: truncate and write, no rename.
void EditInPlace(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
}

ino_t Inode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

bool HasTempFiles(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  bool found = false;
  while (struct dirent* e = ::readdir(d)) found = found || std::string(e->d_name).rfind(".tmp.", 0) == 0;
  ::closedir(d);
  return found;
}

class KeyCacheTest : public kxmp::test::HomeTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    if (!GetParam()) ::setenv("KX_REGISTRY_NO_CACHE", "1", 1);
    KeyCache::Instance().Reset();
  }
  void TearDown() override {
    ::unsetenv("KX_REGISTRY_NO_CACHE");
    KeyCache::Instance().Reset();
    HomeTest::TearDown();
  }
  std::string Dir() const { return home_->sub("registry/Tessel/MAMountPoint/42"); }
  Values Read() const {
    Values v;
    EXPECT_TRUE(KXPlatformInfo().getRegValues(kKey, &v));
    return v;
  }
  std::string Value(const std::string& name) const {
    std::string text = "<missing>";
    KXPlatformInfo().getString(kKey, name, &text);
    return text;
  }
};

}  // namespace

TEST_P(KeyCacheTest, WritesOfAnotherProcessAreSeenByTheVeryNextRead) {
  ASSERT_TRUE(KXPlatformInfo().setRegString(kKey, "nFailoverCurrent", "0"));
  ASSERT_EQ(Value("nFailoverCurrent"), "0");
  // The child changes the key in every way a writer can, one change per round, and tells
  // the parent when the change is complete; the parent's next read must show it.
  ForkChild child([this](ForkChild::Channel& ch) {
    KXPlatformInfo platform;
    for (int i = 1; i <= 150; ++i) {
      if (!ch.Wait()) return 1;
      const std::string text = std::to_string(i);
      switch (i % 5) {
        case 0: if (!platform.setRegString(kKey, "nFailoverCurrent", text)) return 2; break;
        case 1: EditInPlace(Dir() + "/nFailoverCurrent", text); break;
        case 2:
          if (!platform.setRegString(kKey, "sExtra", text) || !platform.setRegString(kKey, "nFailoverCurrent", text))
            return 3;
          break;
        case 3: ::unlink((Dir() + "/sExtra").c_str()); EditInPlace(Dir() + "/nFailoverCurrent", text); break;
        case 4: EditInPlace(Dir() + "/nFailoverCurrent", text + "\n"); break;
      }
      ch.Signal();
    }
    return 0;
  });
  for (int i = 1; i <= 150; ++i) {
    child.channel().Signal();
    ASSERT_TRUE(child.channel().Wait());
    // Every other round is one request of a server (changes read once per request, not per
    // access): what changed before the request began must be seen all the same.
    std::unique_ptr<KeyCache::RequestScope> request;
    if (i % 2 == 0) request = std::make_unique<KeyCache::RequestScope>();
    const Values v = Read();
    const std::string expected = std::to_string(i) + (i % 5 == 4 ? "\n" : "");
    ASSERT_EQ(v.count("nFailoverCurrent") ? v.at("nFailoverCurrent") : "<missing>", expected) << "round " << i;
    ASSERT_EQ(v.count("sExtra"), i % 5 == 2 ? 1u : 0u) << "round " << i;
    ASSERT_EQ(Value("nFailoverCurrent"), expected) << "round " << i;
  }
  EXPECT_EQ(child.Join(), 0);

  // Unchanged keys are answered from memory.
  const KeyCache::Counters before = KeyCache::Instance().Snapshot();
  for (int i = 0; i < 10; ++i) Read();
  const KeyCache::Counters after = KeyCache::Instance().Snapshot();
  if (GetParam()) {
    EXPECT_EQ(after.hits - before.hits, 10u);
    EXPECT_EQ(after.loads, before.loads);
  } else {
    EXPECT_EQ(after.hits, 0u);
  }
}

TEST_P(KeyCacheTest, AdministratorsEditsAndReplacedFoldersAreSeen) {
  KXPlatformInfo platform;
  ASSERT_TRUE(platform.setRegString(kKey, "sMAMountPath", "/mnt/a"));
  ASSERT_TRUE(platform.setRegString("~Tessel/MAMountPoint", "CacheRefreshHour", "8"));
  EXPECT_EQ(Value("sMAMountPath"), "/mnt/a");

  // A value too large for the registry spoils only itself: the others stay readable.
  WriteFile(Dir() + "/sHuge", std::string(70 * 1024, 'x'));
  EXPECT_EQ(Value("sMAMountPath"), "/mnt/a");
  std::string huge;
  EXPECT_EQ(platform.getString(kKey, "sHuge", &huge), 0);
  EXPECT_EQ(platform.getRegError(), EFBIG);
  ASSERT_EQ(::unlink((Dir() + "/sHuge").c_str()), 0);

  // An editor that writes a new file and renames it over the value.
  WriteFile(home_->sub("registry/edit.new"), "/mnt/b");
  ASSERT_EQ(::rename(home_->sub("registry/edit.new").c_str(), (Dir() + "/sMAMountPath").c_str()), 0);
  EXPECT_EQ(Value("sMAMountPath"), "/mnt/b");

  // A value removed by hand, then one added by hand.
  ASSERT_EQ(::unlink((Dir() + "/sMAMountPath").c_str()), 0);
  EXPECT_EQ(Value("sMAMountPath"), "<missing>");
  EditInPlace(Dir() + "/sMAHostnameMangled", "ma9");
  EXPECT_EQ(Read(), (Values{{"sMAHostnameMangled", "ma9"}}));

  // A value that became a folder is no value (and not merely missing).
  ASSERT_EQ(::mkdir((Dir() + "/sMAMountPath").c_str(), 0750), 0);
  std::string text;
  EXPECT_EQ(platform.getString(kKey, "sMAMountPath", &text), 0);
  EXPECT_EQ(platform.getRegError(), EISDIR);

  // The parent folder moved away and another put in its place.
  ASSERT_EQ(::rename(home_->sub("registry/Tessel").c_str(), home_->sub("registry/Tessel.old").c_str()), 0);
  WriteFile(Dir() + "/sMAMountPath", "/mnt/new");
  EXPECT_EQ(Read(), (Values{{"sMAMountPath", "/mnt/new"}}));
  Values parent;
  ASSERT_TRUE(platform.getRegValues("~Tessel/MAMountPoint", &parent));
  EXPECT_EQ(parent.count("CacheRefreshHour"), 0u);

  // The key deleted and made again through the registry.
  ASSERT_TRUE(platform.delRegKey(kKey));
  Values none;
  EXPECT_FALSE(platform.getRegValues(kKey, &none));
  EXPECT_EQ(platform.getRegError(), ENOENT);
  ASSERT_TRUE(platform.setRegString(kKey, "sMAMountPath", "/mnt/again"));
  EXPECT_EQ(Value("sMAMountPath"), "/mnt/again");

  // More changes than the event queue holds: what is lost must not leave stale answers.
  EXPECT_EQ(Value("sMAMountPath"), "/mnt/again");
  for (int i = 0; i < 10000; ++i) {
    const std::string junk = Dir() + "/junk" + std::to_string(i);
    int fd = ::open(junk.c_str(), O_WRONLY | O_CREAT, 0640);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ::unlink(junk.c_str());
  }
  EditInPlace(Dir() + "/sMAMountPath", "/mnt/after-overflow");
  EXPECT_EQ(Value("sMAMountPath"), "/mnt/after-overflow");
}

TEST_P(KeyCacheTest, AWriteOfTheStoredTextWritesNothing) {
  KXPlatformInfo platform;
  ASSERT_TRUE(platform.setRegInt(kKey, "nFailoverCurrent", 2));
  const ino_t first = Inode(Dir() + "/nFailoverCurrent");
  ASSERT_NE(first, 0u);
  const KeyCache::Counters before = KeyCache::Instance().Snapshot();
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(platform.setRegInt(kKey, "nFailoverCurrent", 2));
    ASSERT_TRUE(platform.setRegString(kKey, "nFailoverCurrent", "2"));
  }
  // Renamed over, the value would have a new inode.
  EXPECT_EQ(Inode(Dir() + "/nFailoverCurrent"), first);
  EXPECT_EQ(KeyCache::Instance().Snapshot().writesSkipped - before.writesSkipped, 10u);
  EXPECT_FALSE(HasTempFiles(Dir()));

  // Another text, or the same text changed meanwhile by someone else, is written.
  ASSERT_TRUE(platform.setRegInt(kKey, "nFailoverCurrent", 3));
  const ino_t second = Inode(Dir() + "/nFailoverCurrent");
  EXPECT_NE(second, first);
  EditInPlace(Dir() + "/nFailoverCurrent", "7");
  ASSERT_TRUE(platform.setRegInt(kKey, "nFailoverCurrent", 3));
  EXPECT_EQ(Value("nFailoverCurrent"), "3");
  EXPECT_NE(Inode(Dir() + "/nFailoverCurrent"), second);
  // A missing value is written even when its text is empty.
  ASSERT_TRUE(platform.setRegString(kKey, "sEmpty", ""));
  EXPECT_EQ(Value("sEmpty"), "");
}

INSTANTIATE_TEST_SUITE_P(CacheOnAndOff, KeyCacheTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Cached" : "Uncached"; });

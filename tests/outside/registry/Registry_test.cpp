#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "outside/registry/KXPI.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/registry/RegistryStore.h"
#include "support/TempHome.h"

using kxmp::test::PathExists;
using kxmp::test::ReadFile;
using kxmp::test::WriteFile;

namespace {

// Every path below root, relative to it.
void ListTree(const std::string& root, const std::string& rel, std::set<std::string>& out) {
  DIR* d = ::opendir((root + rel).c_str());
  if (d == nullptr) return;
  while (struct dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string child = rel + "/" + name;
    out.insert(child);
    struct stat st {};
    if (::lstat((root + child).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ListTree(root, child, out);
  }
  ::closedir(d);
}

class Registry : public kxmp::test::HomeTest {
 protected:
  // Made after the temporary home is set: the object fixes its registry root when built.
  void SetUp() override {
    HomeTest::SetUp();
    info_ = std::make_unique<KXPlatformInfo>();
  }
  std::string Reg(const std::string& rel) const { return home_->sub("registry/" + rel); }
  std::unique_ptr<KXPlatformInfo> info_;
};

TEST_F(Registry, AllSpellingsOfAKeyAreOneFolder) {
  ASSERT_TRUE(info_->setRegString("~Tessel/MAMountPoint\\42", "sMAMountPath", "/mnt/a"));
  ASSERT_TRUE(info_->setRegInt("~/Tessel/MAMountPoint/42", "iMAMountPathId", -7));
  ASSERT_TRUE(info_->setRegString("~Tessel/MAMountPoint/42", "sMAHostnameMangled", "ma1*ma1*0*0"));
  ASSERT_TRUE(info_->setRegString("Tessel\\MAMountPoint//42/", "nLastRefreshTime", "1700000000"));

  // Stored as plain files holding exactly the text.
  EXPECT_EQ(ReadFile(Reg("Tessel/MAMountPoint/42/sMAMountPath")), "/mnt/a");
  EXPECT_EQ(ReadFile(Reg("Tessel/MAMountPoint/42/iMAMountPathId")), "-7");

  for (const char* key : {"~Tessel/MAMountPoint\\42", "~/Tessel/MAMountPoint/42", "~Tessel/MAMountPoint/42",
                          "Tessel/MAMountPoint/42", "~\\Tessel\\MAMountPoint\\42"}) {
    SCOPED_TRACE(key);
    std::map<std::string, std::string> values;
    ASSERT_TRUE(info_->getRegValues(key, &values));
    EXPECT_EQ(values, (std::map<std::string, std::string>{{"iMAMountPathId", "-7"},
                                                            {"nLastRefreshTime", "1700000000"},
                                                            {"sMAHostnameMangled", "ma1*ma1*0*0"},
                                                            {"sMAMountPath", "/mnt/a"}}));
    EXPECT_EQ(info_->expandKeyName(key), Reg("Tessel/MAMountPoint/42"));
  }
  EXPECT_EQ(info_->expandKeyName("~"), home_->sub("registry"));
  EXPECT_EQ(info_->expandKeyName("~Tessel/MAMountPoint"), Reg("Tessel/MAMountPoint"));
}

TEST_F(Registry, GetRegValuesMergesAndLeavesTheMapAloneOnFailure) {
  ASSERT_TRUE(info_->setRegString("~K", "a", "new"));
  ASSERT_TRUE(info_->setRegString("~K", "empty", ""));
  std::map<std::string, std::string> values{{"a", "old"}, {"keep", "me"}};
  ASSERT_TRUE(info_->getRegValues("~K", &values));
  EXPECT_EQ(values, (std::map<std::string, std::string>{{"a", "new"}, {"empty", ""}, {"keep", "me"}}));

  std::map<std::string, std::string> before = values;
  EXPECT_FALSE(info_->getRegValues("~Missing", &values));
  EXPECT_EQ(info_->getRegError(), ENOENT);
  EXPECT_EQ(values, before);
  EXPECT_FALSE(info_->getRegValues("~K", nullptr));
  EXPECT_EQ(info_->getRegError(), EINVAL);

  // An empty key reads without error, and a value keeps its bytes (newlines, binary).
  ASSERT_TRUE(info_->createRegKey("~Empty"));
  std::map<std::string, std::string> none;
  EXPECT_TRUE(info_->getRegValues("~Empty", &none));
  EXPECT_TRUE(none.empty());
  std::string odd("line1\nline2\n\x01\xff", 14);
  ASSERT_TRUE(info_->setRegString("~K", "odd", odd));
  ASSERT_TRUE(info_->getRegValues("~K", &none));
  EXPECT_EQ(none["odd"], odd);
}

TEST_F(Registry, GetRegValuesReadsOnlyValues) {
  ASSERT_TRUE(info_->setRegString("~K", "real", "1"));
  WriteFile(Reg("K/.tmp.123.456.1"), "half-writ");
  ASSERT_TRUE(info_->createRegKey("~K/sub"));
  ASSERT_TRUE(info_->setRegString("~K/sub", "inner", "2"));
  WriteFile(home_->sub("secret"), "outside");
  ASSERT_EQ(::symlink(home_->sub("secret").c_str(), Reg("K/link").c_str()), 0);
  ASSERT_EQ(::mkfifo(Reg("K/fifo").c_str(), 0600), 0);

  std::map<std::string, std::string> values;
  ASSERT_TRUE(info_->getRegValues("~K", &values));
  EXPECT_EQ(values, (std::map<std::string, std::string>{{"real", "1"}}));

  std::string out = "unchanged";
  EXPECT_EQ(info_->getString("K", "link", &out), 0);
  EXPECT_EQ(info_->getRegError(), ELOOP);
  EXPECT_EQ(info_->getString("K", "fifo", &out), 0);
  EXPECT_EQ(out, "unchanged");
}

TEST_F(Registry, DeleteRemovesTheKeyWithValuesAndSubkeys) {
  ASSERT_TRUE(info_->setRegString("~Tessel/MAMountPoint/1", "a", "x"));
  ASSERT_TRUE(info_->setRegString("~Tessel/MAMountPoint/1/deeper/still", "b", "y"));
  ASSERT_TRUE(info_->setRegString("~Tessel/MAMountPoint/2", "a", "z"));
  WriteFile(home_->sub("target/file"), "keep");
  ASSERT_EQ(::symlink(home_->sub("target").c_str(), Reg("Tessel/MAMountPoint/1/deeper/link").c_str()), 0);

  ASSERT_TRUE(info_->delRegKey("~Tessel/MAMountPoint\\1"));
  EXPECT_FALSE(PathExists(Reg("Tessel/MAMountPoint/1")));
  EXPECT_EQ(ReadFile(home_->sub("target/file")), "keep");  // the link went, not what it points to
  std::map<std::string, std::string> values;
  EXPECT_FALSE(info_->getRegValues("~Tessel/MAMountPoint/1", &values));
  ASSERT_TRUE(info_->getRegValues("~Tessel/MAMountPoint/2", &values));
  EXPECT_EQ(values["a"], "z");

  EXPECT_FALSE(info_->delRegKey("~Tessel/MAMountPoint/1"));
  EXPECT_EQ(info_->getRegError(), ENOENT);
  // The root holds everything: it cannot be deleted by an empty or "~" key.
  EXPECT_FALSE(info_->delRegKey("~"));
  EXPECT_FALSE(info_->delRegKey(""));
  EXPECT_EQ(info_->getRegError(), EINVAL);
  EXPECT_TRUE(PathExists(Reg("Tessel/MAMountPoint/2/a")));
}

TEST_F(Registry, BadNamesAreRefusedAndWriteNothingOutside) {
  ASSERT_TRUE(info_->createRegKey("~Ok"));
  WriteFile(home_->sub("outside/file"), "keep");
  ASSERT_EQ(::symlink(home_->sub("outside").c_str(), Reg("Ok/link").c_str()), 0);
  std::set<std::string> before;
  ListTree(home_->path(), "", before);

  const std::string absolute = home_->sub("outside/abs");
  const std::string nul("~Ok\0evil", 8);
  struct Case {
    std::string key, value;
    int err;
  };
  const Case cases[] = {
      {"~../escape", "v", EINVAL},        {"~Ok/../../escape", "v", EINVAL}, {"~Ok\\..\\..\\escape", "v", EINVAL},
      {"~/./Ok", "v", EINVAL},            {absolute, "v", EINVAL},           {"\\abs", "v", EINVAL},
      {nul, "v", EINVAL},                 {"~Ok/.tmp.1", "v", EINVAL},       {"~Ok", "", EINVAL},
      {"~Ok", ".", EINVAL},               {"~Ok", "..", EINVAL},             {"~Ok", "a/b", EINVAL},
      {"~Ok", "..\\..\\x", EINVAL},       {"~Ok", std::string("a\0b", 3), EINVAL},
      {"~Ok", ".tmp.x", EINVAL},          {"~Ok", std::string(300, 'n'), ENAMETOOLONG},
      {"~Ok/link/x", "v", ELOOP},         {"~Ok/link", "v", ELOOP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key + " / " + c.value);
    EXPECT_FALSE(info_->setRegString(c.key, c.value, "data"));
    EXPECT_EQ(info_->getRegError(), c.err);
    EXPECT_FALSE(info_->setRegInt(c.key, c.value, 1));
    if (c.value == "v") {
      EXPECT_FALSE(info_->createRegKey(c.key));
      EXPECT_FALSE(info_->delRegKey(c.key));
      EXPECT_EQ(info_->getRegError(), c.err);
      std::map<std::string, std::string> values;
      EXPECT_FALSE(info_->getRegValues(c.key, &values));
      EXPECT_EQ(info_->expandKeyName(c.key).empty(), c.err == EINVAL);
    }
    std::string out;
    EXPECT_EQ(info_->getString(c.key, c.value, &out), 0);
  }
  std::set<std::string> after;
  ListTree(home_->path(), "", after);
  EXPECT_EQ(after, before);
  EXPECT_EQ(ReadFile(home_->sub("outside/file")), "keep");
}

TEST_F(Registry, ValueSizeLimitAndLinksAsValues) {
  std::string big(kxmp::registry::kMaxValueSize, 'b');
  ASSERT_TRUE(info_->setRegString("~K", "big", big));
  EXPECT_FALSE(info_->setRegString("~K", "big", big + "x"));
  EXPECT_EQ(info_->getRegError(), EFBIG);
  std::string out;
  ASSERT_NE(info_->getString("K", "big", &out), 0);
  EXPECT_EQ(out, big);

  // Sizes around the first read's piece come back whole.
  for (size_t size : {4095u, 4096u, 4097u, 8193u}) {
    std::string value(size, 'v');
    value.back() = 'e';
    WriteFile(Reg("K/edge"), value);
    ASSERT_NE(info_->getString("K", "edge", &out), 0) << size;
    EXPECT_EQ(out, value) << size;
  }

  // A value file grown beyond the limit behind the registry's back fails the read.
  WriteFile(Reg("K/big"), big + "xy");
  std::map<std::string, std::string> values;
  EXPECT_FALSE(info_->getRegValues("~K", &values));
  EXPECT_EQ(info_->getRegError(), EFBIG);

  // Writing over a value that is a link replaces the link; the file it pointed to stays.
  WriteFile(home_->sub("victim"), "keep");
  ASSERT_EQ(::symlink(home_->sub("victim").c_str(), Reg("K/sneaky").c_str()), 0);
  ASSERT_TRUE(info_->setRegString("~K", "sneaky", "mine"));
  EXPECT_EQ(ReadFile(home_->sub("victim")), "keep");
  EXPECT_EQ(ReadFile(Reg("K/sneaky")), "mine");

  // A value cannot replace a subkey of the same name; the failed write leaves no temporary.
  ASSERT_TRUE(info_->createRegKey("~K/sub"));
  EXPECT_FALSE(info_->setRegString("~K", "sub", "x"));
  std::set<std::string> tree;
  ListTree(Reg("K"), "", tree);
  for (const std::string& p : tree) EXPECT_EQ(p.find(".tmp."), std::string::npos) << p;
}

TEST_F(Registry, RegistryErrorsArePerThread) {
  EXPECT_FALSE(info_->setRegString("~K", "", "x"));
  EXPECT_EQ(info_->getRegError(), EINVAL);
  int32_t other = -1;
  std::thread([&] {
    KXPlatformInfo mine;
    other = mine.getRegError();
    mine.delRegKey("~nothing");
  }).join();
  EXPECT_EQ(other, 0);
  EXPECT_EQ(info_->getRegError(), EINVAL);
  // A success does not clear the last failure.
  EXPECT_TRUE(info_->setRegString("~K", "v", "x"));
  EXPECT_EQ(info_->getRegError(), EINVAL);
}

class Platform : public kxmp::test::HomeTest {
 protected:
  void SetRuntime(const std::string& name, const std::string& text) {
    ASSERT_TRUE(KXPlatformInfo().setRegString("Runtime", name, text));
  }
};

TEST_F(Platform, GetStringReadsSectionValues) {
  KXPlatformInfo info(0, 0);
  std::string online = "0";
  EXPECT_EQ(info.getString("Runtime", "nCSONLINE", &online), 0);
  EXPECT_EQ(online, "0");
  EXPECT_EQ(info.getRegError(), ENOENT);
  WriteFile(home_->sub("registry/Runtime/nCSONLINE"), "1");
  EXPECT_NE(info.getString("Runtime", "nCSONLINE", &online), 0);
  EXPECT_EQ(online, "1");
  EXPECT_NE(info.getString("~/Runtime", "nCSONLINE", &online), 0);
  EXPECT_EQ(info.getString("Runtime", "nCSONLINE", nullptr), 0);
}

TEST_F(Platform, DefaultsWhenNothingIsConfigured) {
  KXPlatformInfo info;
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(info.getPhysicalMachine(), host);

  char buffer[256] = "untouched";
  EXPECT_EQ(info.getCommClientCSHostName(buffer, sizeof buffer), 0);
  EXPECT_EQ(info.getLastError(), ENOENT);

  EXPECT_EQ(KXPI_Base().getPlatformType(), 0u);
  KXPI_CommClient client;
  EXPECT_FALSE(client.invalidKXPlatform());
  const char* dir = client.getJobResultsDirectory("client1");
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(std::string(dir), home_->sub("jobresults"));
  EXPECT_EQ(client.getJobResultsDirectory(""), nullptr);
  EXPECT_EQ(info.getLastError(), EINVAL);
}

TEST_F(Platform, ConfiguredSettings) {
  SetRuntime("sPhysicalMachine", "phys1");
  SetRuntime("sCSHostNameMangled", "cs1*cs1*2*0");
  SetRuntime("sJobResultsDirectory", "/data/jr");
  SetRuntime("nPlatformType", "5");
  KXPlatformInfo info;
  EXPECT_EQ(info.getPhysicalMachine(), "phys1");

  char buffer[256];
  ASSERT_NE(info.getCommClientCSHostName(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "cs1*cs1*2*0");
  // Too small: refused rather than cut to another name.
  char small[5] = "keep";
  EXPECT_EQ(info.getCommClientCSHostName(small, sizeof small), 0);
  EXPECT_EQ(info.getLastError(), ERANGE);
  EXPECT_STREQ(small, "keep");
  EXPECT_EQ(info.getCommClientCSHostName(nullptr, 256), 0);
  EXPECT_EQ(info.getLastError(), EINVAL);

  std::string mangled;
  ASSERT_TRUE(info.getClientHostNameMangled("phys1", mangled));
  EXPECT_EQ(mangled, "phys1*phys1*0*0");
  EXPECT_FALSE(info.getClientHostNameMangled("", mangled));
  EXPECT_FALSE(info.getClientHostNameMangled("a*b", mangled));

  EXPECT_EQ(KXPI_Base().getPlatformType(), 5u);
  SetRuntime("nPlatformType", "x1");
  EXPECT_EQ(KXPI_Base().getPlatformType(), 0u);

  KXPI_CommClient client;
  const char* dir = client.getJobResultsDirectory("phys1");
  ASSERT_NE(dir, nullptr);
  EXPECT_STREQ(dir, "/data/jr");
  // Interned: the same text gives the same pointer, and a changed setting does not move the
  // text handed out before.
  EXPECT_EQ(client.getJobResultsDirectory("phys1"), dir);
  SetRuntime("sJobResultsDirectory", "/data/other");
  EXPECT_STREQ(client.getJobResultsDirectory("phys1"), "/data/other");
  EXPECT_STREQ(dir, "/data/jr");
}

TEST_F(Platform, RelativeHomeIsAnInvalidPlatform) {
  ::setenv("KX_HOME", "relative/home", 1);
  KXPI_CommClient client;
  EXPECT_TRUE(client.invalidKXPlatform());
  EXPECT_EQ(client.getJobResultsDirectory("m"), nullptr);
  ::setenv("KX_HOME", home_->path().c_str(), 1);
}

}  // namespace

// test-labels: integration
// The loadable modules as a user meets them when one is missing: kxmp copied into a tree of
// its own (bin/kxmp, lib/ with the library, lib/kxmp/ with the private library) without the SFTP,
// PostgreSQL and digest modules. A storage host served over SFTP is then unreachable, so a
// backup fails over to the next mount path and the log names the missing file; the files are
// stored without their records (a failure naming the digest module); a site catalog in
// PostgreSQL is a failure naming it. Nothing crashes and nothing is loaded from the build tree.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "logbackup/LogBackupFixture.h"
#include "outside/catalog/CatalogLocator.h"
#include "outside/dataserver/StorageHostSettings.h"
#include "outside/registry/KXPlatformInfo.h"
#include "support/Subprocess.h"

namespace kxmp::test {
namespace {

namespace fs = std::filesystem;

class ModuleLoadingTest : public LogBackupTest {
 protected:
  void SetUp() override {
    LogBackupTest::SetUp();
    Attach({0, 1});
    tree_ = home_->sub("tree");
    const fs::path lib = fs::path(tree_) / "bin" / KXMP_INSTALLED_LIBDIR_FROM_BIN;
    fs::create_directories(fs::path(tree_) / "bin");
    fs::create_directories(lib / "kxmp");
    fs::copy_file(KXMP_BINARY_DIR "/tools/kxmp/kxmp", fs::path(tree_) / "bin" / "kxmp");
    fs::copy_file(KXMP_LIBRARY_PATH, lib / "libKXMAMountingPointSvc.so.1");
    fs::copy_file(KXMP_BINARY_DIR "/kxmp/libkxmp-internal.so", lib / "kxmp" / "libkxmp-internal.so");
    moduleFolder_ = fs::canonical(lib / "kxmp").string();
  }

  RunResult Kxmp(std::vector<std::string> args) {
    args.insert(args.begin(), tree_ + "/bin/kxmp");
    return RunTool(args);
  }

  std::string tree_;
  std::string moduleFolder_;
};

TEST_F(ModuleLoadingTest, MissingModulesFailOverOrFailNamingTheFile) {
  dataserver::SftpSettings sftp;
  sftp.address = "127.0.0.1";
  sftp.port = 1;
  sftp.identityFile = home_->sub("id");
  sftp.knownHostsFile = home_->sub("known_hosts");
  ASSERT_FALSE(dataserver::WriteStorageHost("ma1", sftp).IsError());
  const std::string source = home_->sub("src/log_1.trn");
  WriteFile(source, "log data");

  // ma1 (the primary) has no SFTP backend: the backup goes to ma2, where the file is stored
  // without its record.
  RunResult r = Kxmp({"backup", "--subclient", "42", source});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("Cannot load the digest module [" + moduleFolder_ + "/libkxmp-digest.so]: "), std::string::npos)
      << r.err;
  EXPECT_FALSE(PathExists(Root(0) + "/log_1.trn"));
  EXPECT_EQ(ReadFile(Root(1) + "/log_1.trn"), "log data");
  const std::string log = ReadFile(home_->sub("log/kxmp.log"));
  EXPECT_NE(log.find("Cannot load the sftp module [" + moduleFolder_ + "/libkxmp-sftp.so]: "), std::string::npos)
      << log;

  // The site catalog cannot be read without its module: a failure (1), not a usage error.
  KXPlatformInfo platform;
  ASSERT_TRUE(platform.setRegString(catalog::kCatalogRegistryKey, catalog::kCatalogConnectionValue,
                                    "postgresql://kxmp@127.0.0.1:1/kxmp"));
  r = Kxmp({"catalog", "list"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("Cannot load the postgres module [" + moduleFolder_ + "/libkxmp-postgres.so]: "),
            std::string::npos)
      << r.err;
  r = Kxmp({"setup", "--catalog", "postgresql://kxmp@127.0.0.1:1/kxmp"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("libkxmp-postgres.so"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace kxmp::test

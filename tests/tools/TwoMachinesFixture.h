#pragma once
// Two client machines writing to shared storage: the test's home (machine A) and a second home
// (machine B) with the same catalog, so both reach one root folder on each storage host:
//   SFTP:  subclient 7 on ma1 (the real OpenSSH server of SftpStorageTest), root BackupRoot(1);
//   local: subclient 8 on host lo3, mount path <home>/mp3, a folder both machines see.
// Homes, locks and registries are separate, as on two machines: no lock of one is seen by the
// other. Machine B is set up with the tool, as an operator would.

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kxmp/StreamContext.h"
#include "outside/catalog/CatalogAdmin.h"
#include "outside/xml/TesselMessages.h"
#include "tools/SftpStorageFixture.h"

namespace kxmp::test {

class TwoMachinesTest : public SftpStorageTest {
 protected:
  static constexpr uint64_t kLocalSubclient = 8;

  // One storage host as both machines write to it.
  struct Storage {
    const char* what;
    uint64_t subclient;
    std::string root;  // its root folder, seen from this machine
  };

  void SetUp() override {
    SftpStorageTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string mp3 = home_->sub("mp3");
    ASSERT_EQ(::mkdir(mp3.c_str(), 0755), 0);
    catalog::CatalogAdmin admin;
    catalog::MountPathRecord m;
    m.id = 3;
    m.host = "lo3*lo3*0*0";
    m.path = mp3;
    m.library = "lib3";
    ASSERT_FALSE(admin.PutMountPath(m).IsError());
    ASSERT_FALSE(admin.PutSubclient(catalog::SubclientRecord{kLocalSubclient, "sc-guid-8", "bs-guid-8"}).IsError());
    ASSERT_FALSE(admin.Attach(kLocalSubclient, 3, catalog::kKindPrimary, 1).IsError());

    secondHome_ = home_->sub("machine-b");
    const SshServer& s = *servers_[0];
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"setup"},
             {"catalog", "add-mount-path", "--id", "1", "--host", Mangled(1), "--path", kMountPath},
             {"catalog", "add-mount-path", "--id", "3", "--host", m.host, "--path", mp3},
             {"catalog", "add-subclient", "--id", "7", "--guid", "sc-guid-7", "--backupset-guid", kBackupSetGuid},
             {"catalog", "add-subclient", "--id", "8", "--guid", "sc-guid-8", "--backupset-guid", "bs-guid-8"},
             {"catalog", "attach", "--subclient", "7", "--mount-path", "1", "--primary"},
             {"catalog", "attach", "--subclient", "8", "--mount-path", "3", "--primary"},
             {"storage-host", "set", "ma1", "--address", s.Address(), "--port", std::to_string(s.Port()), "--user",
              s.User(), "--identity", s.IdentityFile(), "--known-hosts", s.KnownHostsFile(), "--connect-timeout",
              std::to_string(kIoTimeoutSec), "--io-timeout", std::to_string(kIoTimeoutSec)}}) {
      std::vector<std::string> run = {"--home", secondHome_};
      run.insert(run.end(), args.begin(), args.end());
      RunResult r = Kxmp(run);
      ASSERT_EQ(r.status, 0) << args[0] << ": " << r.err;
    }
    WriteFile(secondHome_ + "/registry/Runtime/nCSONLINE", "1");
  }

  // The file names a stream metadata document lists, in its order (decoded); fails the test
  // when it does not parse.
  static std::vector<std::string> ListedNames(const std::string& document) {
    StreamContext parsed;
    EXPECT_EQ(parsed.fromString(document), 0) << document;
    std::vector<std::string> names;
    for (const CNMessageBase& f : *parsed.metadata->getlistobject(
             2, 2, Tessel::kLogBackupToDiskStreamMetadataTag, Tessel::kLogBackupToDiskStreamMetadataFilesId, false)) {
      names.push_back(
          f.getstring(1, 1, Tessel::kLogBackupToDiskFileMetadataTag, Tessel::kLogBackupToDiskFileMetadataFileNameId));
    }
    return names;
  }

  std::vector<Storage> Storages() const {
    return {{"sftp", kSubclient, BackupRoot(1)}, {"local", kLocalSubclient, home_->sub("mp3/KX_APP_DUMPS/bs-guid-8")}};
  }
  std::vector<std::string> Homes() const { return {home_->path(), secondHome_}; }

  std::string secondHome_;
};

}  // namespace kxmp::test

#pragma once
// Two storage hosts served over SFTP by real OpenSSH servers, as an operator sets them up:
// ma1 on 127.0.0.2 and ma2 on 127.0.0.3, each with the mount path /disk1 on its server (which
// exists only inside the server's chroot), configured with `kxmp storage-host set` and short
// timeouts so that a server that stops answering fails operations quickly. Subclient 7 keeps
// its data on ma1 (primary) and ma2 (alternate); the control server is online.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "outside/catalog/CatalogAdmin.h"
#include "support/SshServer.h"
#include "support/TempHome.h"
#include "tools/AdminSupport.h"

namespace kxmp::test {

class SftpStorageTest : public HomeTest {
 protected:
  static constexpr uint64_t kSubclient = 7;
  static constexpr int kIoTimeoutSec = 2;
  static constexpr const char* kMountPath = "/disk1";
  static constexpr const char* kBackupSetGuid = "bs-guid-7";

  void SetUp() override {
    HomeTest::SetUp();
    const std::string why = SshServer::WhyUnavailable();
    if (!why.empty()) GTEST_SKIP() << "no SSH server can run here: " << why;
    servers_.push_back(std::make_unique<SshServer>("127.0.0.2"));
    servers_.push_back(std::make_unique<SshServer>("127.0.0.3"));
    for (auto& server : servers_) {
      if (logRequests_) server->LogRequests();
      std::string error;
      ASSERT_TRUE(server->Start(error)) << error;
      ASSERT_EQ(::mkdir(Served(*server, kMountPath).c_str(), 0755), 0);
    }
    ASSERT_EQ(Kxmp({"setup"}).status, 0);
    WriteFile(home_->sub("registry/Runtime/nCSONLINE"), "1");
    catalog::CatalogAdmin admin;
    ASSERT_FALSE(admin.PutSubclient(catalog::SubclientRecord{kSubclient, "sc-guid-7", kBackupSetGuid}).IsError());
    for (int i = 1; i <= 2; ++i) {
      catalog::MountPathRecord m;
      m.id = i;
      m.host = Mangled(i);
      m.path = kMountPath;
      m.library = "lib" + std::to_string(i);
      ASSERT_FALSE(admin.PutMountPath(m).IsError());
      ASSERT_FALSE(
          admin.Attach(kSubclient, i, i == 1 ? catalog::kKindPrimary : catalog::kKindAlternate, i).IsError());
      ConfigureHost(i, servers_[i - 1]->KnownHostsFile());
    }
  }

  void TearDown() override {
    servers_.clear();  // stops the servers and removes their folders
    HomeTest::TearDown();
  }

  static std::string Mangled(int i) { return "ma" + std::to_string(i) + "*ma" + std::to_string(i) + "*0*0"; }

  // `kxmp storage-host set` for host i (1 or 2) with the given known-hosts file.
  void ConfigureHost(int i, const std::string& knownHosts) {
    const SshServer& s = *servers_[i - 1];
    RunResult r = Kxmp({"storage-host", "set", "ma" + std::to_string(i), "--address", s.Address(), "--port",
                        std::to_string(s.Port()), "--user", s.User(), "--identity", s.IdentityFile(), "--known-hosts",
                        knownHosts, "--connect-timeout", std::to_string(kIoTimeoutSec), "--io-timeout",
                        std::to_string(kIoTimeoutSec)});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  // Where a path of the storage host lies on this machine (the test's probe of the server).
  static std::string Served(const SshServer& s, const std::string& path) { return s.Chroot() + path; }
  // The subclient's root folder of log backups on host i, seen through its chroot.
  std::string BackupRoot(int i) const {
    return Served(*servers_[i - 1], std::string(kMountPath) + "/KX_APP_DUMPS/" + kBackupSetGuid);
  }

  // Files with distinct content: sizes chosen around the tool's 1 MiB pieces.
  std::vector<std::string> MakeSources(const std::string& folder, const std::vector<size_t>& sizes) const {
    std::vector<std::string> files;
    for (size_t i = 0; i < sizes.size(); ++i) {
      const std::string path = home_->sub(folder + "/log_" + std::to_string(i) + ".trn");
      std::string content(sizes[i], '\0');
      uint32_t x = static_cast<uint32_t>(i * 2654435761u + sizes[i] + 1);
      for (char& c : content) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
      }
      WriteFile(path, content);
      files.push_back(path);
    }
    return files;
  }

  RunResult Backup(const std::vector<std::string>& files, std::vector<std::string> extra = {}) const {
    std::vector<std::string> args = {"backup", "--subclient", std::to_string(kSubclient), "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), files.begin(), files.end());
    return Kxmp(args);
  }

  std::string EventsLog() const {
    const std::string file = home_->sub("log/events.log");
    return PathExists(file) ? ReadFile(file) : std::string();
  }

  std::vector<std::unique_ptr<SshServer>> servers_;
  bool logRequests_ = false;  // set by a test's constructor: the servers record every request
};

}  // namespace kxmp::test

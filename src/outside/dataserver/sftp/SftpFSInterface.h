#pragma once
// Path operations over SFTP (see SftpTree for the confinement and the replacing Move).

#include <memory>

#include "outside/dataserver/CFSInterface.h"
#include "outside/dataserver/sftp/SftpConnection.h"
#include "outside/dataserver/sftp/SftpTree.h"

namespace kxmp::dataserver {

class SftpFSInterface : public CFSInterface {
 public:
  SftpFSInterface(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority,
                  std::shared_ptr<SftpConnection> connection,
                  std::shared_ptr<SharedMountPath> cache = nullptr);

  CZoError Connect() override;
  CZoError Disconnect() override;
  CZoError Exists(std::string path, bool& exists) override;
  CZoError CreateFolder(std::string path, int flag) override;
  CZoError GetVolumeSize(const char* path, unsigned long long* total, unsigned long long* free) override;
  CZoError Lstat(std::string path, SZoFileStat& st) override;
  CZoError Stat(std::string path, SZoFileStat& st) override;
  CZoError Reserved10() override;
  CZoError RemoveFile(std::string path, int flag) override;
  CZoError RemoveFolder(std::string path, int flag) override;
  CZoError GetDirContents(std::string path, std::vector<std::string>& files,
                          std::vector<std::string>& folders) override;
  CZoError WalkDir(std::string path, void* context, int level, bool filesOnly, WalkerFunc cb, int reserved) override;
  CZoError Chmod(std::string path, int mode) override;
  CZoError Reserved16() override;
  CZoError Reserved17() override;
  CZoError Reserved18() override;
  CZoError Move(std::string from, std::string to, int flag) override;

 private:
  // Leases the connection, checks the mount path and runs body; with retry, once more on a
  // new connection when a reused one turned out dropped.
  template <typename F>
  CZoError Run(bool retry, F&& body);
  // Checks the path, then Run with body(session, target).
  template <typename F>
  CZoError OnPath(const std::string& path, bool retry, F&& body);
  struct Entry {
    std::string name;
    bool isFolder;
  };
  // The entries of a folder (server path), without "." and "..".
  CZoError List(SshSession& s, const std::string& serverPath, const std::string& shown, std::vector<Entry>& out);

  SftpTree tree_;
  std::shared_ptr<SftpConnection> connection_;
};

}  // namespace kxmp::dataserver

#pragma once
// Path operations of the local backend. Every path goes through the object's ServedTree.

#include "outside/dataserver/CFSInterface.h"
#include "outside/dataserver/local/ServedTree.h"

namespace kxmp::dataserver {

class LocalFSInterface : public CFSInterface {
 public:
  LocalFSInterface(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority, ResolveMode mode,
                   std::shared_ptr<LocalTreeCache> cache);

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
  CZoError Remove(const std::string& path, int flag, int unlinkFlags);

  ServedTree tree_;
};

}  // namespace kxmp::dataserver

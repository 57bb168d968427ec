#pragma once
// One open file of the local backend: a descriptor opened through the object's ServedTree.

#include "outside/dataserver/CFileInterface.h"
#include "outside/dataserver/local/ServedTree.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::dataserver {

class LocalFileInterface : public CFileInterface {
 public:
  LocalFileInterface(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority, ResolveMode mode,
                   std::shared_ptr<LocalTreeCache> cache);

  CZoError Open(std::string path, int uFlags, int uMode, int shFlag) override;
  CZoError Close() override;
  CZoError Read(void* buffer, unsigned int size, unsigned int* bytesRead) override;
  CZoError Write(const void* buffer, unsigned int size, unsigned int* bytesWritten) override;
  CZoError Seek(long long offset, int whence, int reserved) override;
  CZoError Tell(long long& position) override;
  CZoError Truncate(long long size) override;
  CZoError Stat(SZoFileStat& st) override;
  CZoError Flush() override;
  CZoError Reserved12() override;
  CZoError Reserved13() override;
  CZoError Lock(int mode) override;
  CZoError Unlock() override;

 private:
  CZoError NotOpen(const FXCodeLocation& where) const;

  ServedTree tree_;
  UniqueFd fd_;
  std::string path_;
  bool wrote_ = false;  // opened for writing: Close syncs
};

}  // namespace kxmp::dataserver

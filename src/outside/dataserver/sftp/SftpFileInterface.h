#pragma once
// One open file over SFTP. Reads and writes go out pipelined by libssh2 (many requests in
// flight per call), so callers should pass large buffers. Close and Flush make the data
// durable with fsync@openssh.com. Locks are not available (ENOSYS).

#include <memory>
#include <string>

#include "outside/dataserver/CFileInterface.h"
#include "outside/dataserver/sftp/SftpConnection.h"
#include "outside/dataserver/sftp/SftpTree.h"

namespace kxmp::dataserver {

class SftpFileInterface : public CFileInterface {
 public:
  SftpFileInterface(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority,
                    std::shared_ptr<SftpConnection> connection, SftpFaults faults);
  ~SftpFileInterface() override;

  CZoError Open(std::string path, int uFlags, int uMode, int shFlag) override;
  CZoError Close() override;
  CZoError Read(void* buffer, unsigned int size, unsigned int* bytesRead) override;
  CZoError Write(const void* buffer, unsigned int size, unsigned int* bytesWritten) override;
  CZoError Seek(long long offset, int whence, int reserved) override;
  CZoError Tell(long long& position) override;
  CZoError GetSize(long long& size) override;
  CZoError Truncate(long long size) override;
  CZoError Stat(SZoFileStat& st) override;
  CZoError Flush() override;
  CZoError Reserved12() override;
  CZoError Reserved13() override;
  CZoError Lock(int mode) override;
  CZoError Unlock() override;

 private:
  // Leases the connection for an open file; EBADF when none is open, ECONNRESET when the
  // connection the file was opened on is gone (reopen: open it again, for reading only).
  CZoError Use(SftpConnection::Lease& lease, bool reopen);
  CZoError OpenOn(SshSession& s, const std::string& path, int uFlags, int uMode);
  CZoError Reopen(SftpConnection::Lease& lease);
  void Release();
  CZoError NotOpen(const FXCodeLocation& where) const;

  SftpTree tree_;
  std::shared_ptr<SftpConnection> connection_;
  SessionPtr session_;  // the session the handle belongs to
  LIBSSH2_SFTP_HANDLE* handle_ = nullptr;
  std::string path_;        // the caller's path
  std::string serverPath_;  // what was opened on the server
  int flags_ = 0;
  bool wrote_ = false;
};

}  // namespace kxmp::dataserver

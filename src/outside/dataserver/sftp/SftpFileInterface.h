#pragma once
// One open file over SFTP. Reads and writes go out pipelined by libssh2 (many requests in
// flight per call); a file opened for reading is read up to the size it had at the open and
// no further (then one request checks that it ends there); small writes are gathered into
// slices of kChunk bytes, so the pipe stays full whatever the caller's buffer size (writes are sent at the latest by Close,
// whose failure then says so). Close and Flush make the data durable with
// fsync@openssh.com. Locks are not available (ENOSYS).

#include <memory>
#include <string>
#include <vector>

#include "outside/dataserver/CFileInterface.h"
#include "outside/dataserver/sftp/SftpConnection.h"
#include "outside/dataserver/sftp/SftpTree.h"

namespace kxmp::dataserver {

class SftpFileInterface : public CFileInterface {
 public:
  SftpFileInterface(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority,
                    std::shared_ptr<SftpConnection> connection,
                  std::shared_ptr<SharedMountPath> cache = nullptr);
  ~SftpFileInterface() override;

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
  // Leases the connection for an open file; EBADF when none is open, ECONNRESET when the
  // connection the file was opened on is gone (reopen: open it again, for reading only).
  CZoError Use(SftpConnection::Lease& lease, bool reopen);
  CZoError OpenOn(SshSession& s, const std::string& path, int uFlags, int uMode);
  CZoError Reopen(SftpConnection::Lease& lease);
  // Use, then send the gathered writes and drop the read-ahead (before a seek or truncate).
  CZoError Settle(SftpConnection::Lease& lease, bool reopen);
  CZoError PushWrites();
  // The error of a failed write or fsync: ENOSPC when the server's file system is full.
  CZoError WriteFailed(const FXCodeLocation& where, long rc, const char* what);
  CZoError Send(const char* data, size_t size);
  void DropReadAhead();
  void Release();
  CZoError NotOpen(const FXCodeLocation& where) const;

  SftpTree tree_;
  std::shared_ptr<SftpConnection> connection_;
  SessionPtr session_;  // the session the handle belongs to
  SftpConnection::SlotPtr slot_;  // and its place: every use of the handle leases that one
  LIBSSH2_SFTP_HANDLE* handle_ = nullptr;
  std::string path_;        // the caller's path
  std::string serverPath_;  // what was opened on the server
  int flags_ = 0;
  bool wrote_ = false;
  // Slices per libssh2 call: larger ones slow libssh2 (1.10) down, as it walks its list of
  // outstanding requests on every call; measured best on loopback.
  static constexpr size_t kChunk = size_t(4) << 20;
  static constexpr size_t kReadChunk = size_t(1) << 20;
  // The buffer of the read at the known end: libssh2 asks for four times that, one request.
  static constexpr size_t kEndProbe = 30000 / 4;
  // Files up to this size are read ahead behind the first fstat (see Stat).
  static constexpr size_t kPrefetch = size_t(4) << 20;
  long long pos_ = 0;           // the caller's position
  std::vector<char> wbuf_;      // gathered writes, ending at pos_
  std::vector<char> rbuf_;      // read ahead: rbuf_[rhead_, rtail_), rbuf_[rhead_] at pos_
  size_t rhead_ = 0;
  size_t rtail_ = 0;
  bool writeFailed_ = false;    // a gathered write was lost: Close must fail
  long long sizeHint_ = -1;     // a file opened for reading: its size at the open (-1 unknown)
};

}  // namespace kxmp::dataserver

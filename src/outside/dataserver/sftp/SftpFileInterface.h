#pragma once
// One open file over SFTP. Requests carry as much as the server takes (its limits) and go out
// pipelined: a write's data goes from the caller's buffer (or the gathered small writes) into
// the channel without another copy, and the answers are taken while later requests go out;
// fsync, fstat and close go out behind them. A file opened for reading is read up to the
// size it had at the open, in requests as large as the server gives, and one more request,
// sent with the last of them, checks that it ends there. Close and Flush make the data
// durable with fsync@openssh.com. Locks are not available (ENOSYS).

#include <deque>
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
  // Use, then send the gathered writes, take every write's answer and drop the read-ahead
  // (before a seek or truncate).
  CZoError Settle(SftpConnection::Lease& lease, bool reopen);
  // Sends the gathered writes (their answers are taken later).
  CZoError PushWrites();
  // Sends data at offset from where it is, in requests as large as the server takes; it is in
  // the channel when this returns.
  CZoError Send(const char* data, size_t size, long long offset);
  // Takes the answers of the writes sent: all of them, or those already come and those
  // beyond the bound of writes in flight.
  CZoError TakeWrites(bool all);
  // The error of a failed write or fsync: ENOSPC when the server's file system is full.
  CZoError WriteFailed(const FXCodeLocation& where, long rc, const char* what);
  // Reads up to n bytes at pos_ into dst, pipelined; with probe, one more request at the end
  // tells whether the file ends there (endSeen_) or grew (its bytes kept as read-ahead).
  struct Reads {
    std::vector<std::pair<uint32_t, uint32_t>> asked;  // (id, bytes)
    uint32_t probe = 0;                                 // its id, 0 for none
    char* dst = nullptr;
  };
  void SendReads(Reads& r, char* dst, size_t n, bool probe);
  // Takes them all: the bytes read in one run from the start (got), or the first failure.
  // A probe that found more: grown bytes of it, read ahead.
  long TakeReads(const Reads& r, size_t& got, size_t& grown);
  CZoError Fetch(SftpConnection::Lease& lease, char* dst, size_t n, size_t& got, size_t& grown);
  void DropReadAhead();
  void Release();
  CZoError NotOpen(const FXCodeLocation& where) const;

  SftpTree tree_;
  std::shared_ptr<SftpConnection> connection_;
  SessionPtr session_;  // the session the handle belongs to
  SftpConnection::SlotPtr slot_;  // and its place: every use of the handle leases that one
  std::string handle_;      // empty when no file is open
  std::string path_;        // the caller's path
  std::string serverPath_;  // what was opened on the server
  int flags_ = 0;
  bool wrote_ = false;
  bool synced_ = false;  // an fsync answered since the last write: the data is durable
  // Small writes are gathered up to this much; larger ones go from the caller's buffer.
  static constexpr size_t kGather = size_t(1) << 20;
  // Writes whose answers may be due at once (a few times what a server's window holds).
  static constexpr size_t kWritesInFlight = 64;
  // Requests of the server's largest read in flight for a read-ahead.
  static constexpr size_t kReadAhead = 8;
  // Files up to this size are read ahead behind the first fstat (see Stat).
  static constexpr size_t kPrefetch = size_t(4) << 20;
  long long pos_ = 0;           // the caller's position
  std::vector<char> wbuf_;      // gathered writes, ending at pos_
  std::deque<uint32_t> writes_; // ids of writes whose answers are due
  std::vector<char> rbuf_;      // read ahead: rbuf_[rhead_, rtail_), rbuf_[rhead_] at pos_
  size_t rhead_ = 0;
  size_t rtail_ = 0;
  bool writeFailed_ = false;    // a write was lost: Close must fail
  CZoError writeError_;         // and why
  long long sizeHint_ = -1;     // a file opened for reading: its size at the open (-1 unknown)
  bool endSeen_ = false;        // a read at sizeHint_ found the end
};

}  // namespace kxmp::dataserver

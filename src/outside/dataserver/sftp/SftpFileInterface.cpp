#include "outside/dataserver/sftp/SftpFileInterface.h"

#include <errno.h>
#include <fcntl.h>

#include <algorithm>
#include <cstring>

#include "outside/error/FXErrorUtil.h"

namespace kxmp::dataserver {

namespace {

// The open(2) flags served; the others that change nothing here are ignored.
constexpr int kIgnoredFlags = O_NOATIME | O_CLOEXEC | O_LARGEFILE | O_NOCTTY | O_NONBLOCK | O_SYNC | O_DSYNC;
constexpr int kServedFlags = O_ACCMODE | O_CREAT | O_EXCL | O_TRUNC | O_APPEND;

unsigned long SftpFlags(int f) {
  unsigned long out = 0;
  int acc = f & O_ACCMODE;
  if (acc == O_RDONLY || acc == O_RDWR) out |= LIBSSH2_FXF_READ;
  if (acc == O_WRONLY || acc == O_RDWR) out |= LIBSSH2_FXF_WRITE;
  if (f & O_CREAT) out |= LIBSSH2_FXF_CREAT;
  if (f & O_EXCL) out |= LIBSSH2_FXF_EXCL;
  if (f & O_TRUNC) out |= LIBSSH2_FXF_TRUNC;
  if (f & O_APPEND) out |= LIBSSH2_FXF_APPEND;
  return out;
}


}  // namespace

SftpFileInterface::SftpFileInterface(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority,
                                     std::shared_ptr<SftpConnection> connection, std::shared_ptr<SharedMountPath> cache)
    : tree_(params, std::move(authority), std::move(cache)), connection_(std::move(connection)) {}

SftpFileInterface::~SftpFileInterface() {
  if (handle_ == nullptr) return;
  auto lock = connection_->Lock();
  Release();
}

void SftpFileInterface::Release() {
  if (handle_ != nullptr) session_->Call([&] { return libssh2_sftp_close_handle(handle_); });
  handle_ = nullptr;
  session_.reset();
  path_.clear();
  serverPath_.clear();
  std::vector<char>().swap(wbuf_);
  std::vector<char>().swap(rbuf_);
  rhead_ = rtail_ = 0;
  pos_ = 0;
  writeFailed_ = false;
}

CZoError SftpFileInterface::NotOpen(const FXCodeLocation& where) const {
  return FXErrorUtil::ErrorErrNo(where, EBADF, "No file is open");
}

CZoError SftpFileInterface::OpenOn(SshSession& s, const std::string& serverPath, int uFlags, int uMode) {
  long rc = 0;
  handle_ = s.CallPtr<LIBSSH2_SFTP_HANDLE>(
      [&] {
        return libssh2_sftp_open_ex(s.Sftp(), serverPath.c_str(), static_cast<unsigned>(serverPath.size()),
                                    SftpFlags(uFlags), uMode & 07777, LIBSSH2_SFTP_OPENFILE);
      },
      rc);
  if (handle_ != nullptr) return CZoError::Success();
  int e = 0;
  if (s.StatusOf(rc) == LIBSSH2_FX_FAILURE) {
    // OpenSSH says "failure" for most causes; a look at the name tells which. The look's own
    // status must not stand for the open's: an exclusive create that met a name removed just
    // after is EEXIST (a writer racing a lock's release), never "no such file".
    const bool exclusive = (uFlags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
    LIBSSH2_SFTP_ATTRIBUTES a {};
    const long looked = SftpTree::StatFollow(s, serverPath, a);
    if (looked == 0) {
      e = exclusive ? EEXIST : SftpTree::IsFolderAttr(a) ? EISDIR : EIO;
    } else {
      e = exclusive && s.StatusOf(looked) == LIBSSH2_FX_NO_SUCH_FILE ? EEXIST : EIO;
    }
  }
  return s.Fail(FX_LOC, rc, "Cannot open file", path_, e);
}

CZoError SftpFileInterface::Open(std::string path, int uFlags, int uMode, int /*shFlag*/) {
  if (handle_ != nullptr) return FXErrorUtil::ErrorErrNo(FX_LOC, EBUSY, "Another file is open already [%s]", path_.c_str());
  if ((uFlags & ~(kServedFlags | kIgnoredFlags)) != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Open flags 0%o of [%s] are not served over SFTP",
                                   uFlags & ~(kServedFlags | kIgnoredFlags), path.c_str());
  }
  SftpTree::Target t;
  CZoError err = tree_.Check(path, t);
  if (err.IsError()) return err;
  path_ = path;
  auto attempt = [&](SftpConnection::Lease& lease) {
    SshSession& s = lease.Session();
    CZoError e = tree_.Connect(s);
    if (e.IsError()) return e;
    std::string target;
    if (uFlags & O_CREAT) {
      // The entry itself: a link there must stay inside, anything else is opened as named.
      e = tree_.EntryPath(s, t, target, "Cannot open file");
      if (!e.IsError()) e = tree_.Recover(s, target);
      if (e.IsError()) return e;
      LIBSSH2_SFTP_ATTRIBUTES a {};
      if (SftpTree::Lstat(s, target, a) == 0 && SftpTree::IsLinkAttr(a)) {
        if ((uFlags & O_EXCL) != 0) return s.Refuse(FX_LOC, EEXIST, "Cannot open file", path);
        e = tree_.Resolve(s, t, target, "Cannot open file");
        if (e.IsError()) return e;
      }
    } else {
      e = tree_.Resolve(s, t, target, "Cannot open file");
      if (e.IsError()) return e;
    }
    e = OpenOn(s, target, uFlags, uMode);
    if (e.IsError()) return e;
    serverPath_ = target;
    session_ = lease.Shared();
    return CZoError::Success();
  };
  SftpConnection::Lease lease;
  err = connection_->Acquire(lease);
  if (!err.IsError()) err = attempt(lease);
  // Once more on a new connection when a reused one had dropped; not after a create, which
  // may have happened.
  if (err.IsError() && SshSession::IsDrop(err) && !lease.Fresh() && (uFlags & O_CREAT) == 0) {
    err = lease.Renew();
    if (!err.IsError()) err = attempt(lease);
  }
  if (err.IsError()) {
    path_.clear();
    return err;
  }
  flags_ = uFlags;
  wrote_ = (uFlags & O_ACCMODE) != O_RDONLY || (uFlags & (O_TRUNC | O_CREAT)) != 0;
  return CZoError::Success();
}

CZoError SftpFileInterface::Use(SftpConnection::Lease& lease, bool reopen) {
  if (handle_ == nullptr) return NotOpen(FX_LOC);
  CZoError err = connection_->Acquire(lease);
  if (err.IsError()) return err;
  if (lease.Shared() == session_ && !session_->Broken()) return CZoError::Success();
  if (!reopen) {
    return lease.Session().Refuse(FX_LOC, ECONNRESET, "The connection was lost while this file was open", path_);
  }
  return Reopen(lease);
}

CZoError SftpFileInterface::Reopen(SftpConnection::Lease& lease) {
  session_->Call([&] { return libssh2_sftp_close_handle(handle_); });  // fails at once: the session is broken
  handle_ = nullptr;
  session_.reset();
  DropReadAhead();
  SshSession& s = lease.Session();
  CZoError err = OpenOn(s, serverPath_, flags_ & ~(O_CREAT | O_EXCL | O_TRUNC), 0);
  if (err.IsError()) return err;
  session_ = lease.Shared();
  libssh2_sftp_seek64(handle_, static_cast<libssh2_uint64_t>(pos_));
  return CZoError::Success();
}

void SftpFileInterface::DropReadAhead() {
  if (rhead_ < rtail_ && handle_ != nullptr) {
    libssh2_sftp_seek64(handle_, static_cast<libssh2_uint64_t>(pos_));  // also drops libssh2's read-ahead
  }
  rhead_ = rtail_ = 0;
}

CZoError SftpFileInterface::Send(const char* data, size_t size) {
  // libssh2 sends each slice as many requests in flight and answers with what the server
  // acknowledged so far; continuing from there keeps the pipe full.
  for (size_t done = 0; done < size;) {
    const size_t end = done + std::min(kChunk, size - done);  // one slice, sent until acknowledged
    while (done < end) {
      long rc = session_->Call([&] { return libssh2_sftp_write(handle_, data + done, end - done); });
      if (rc < 0) {
        writeFailed_ = true;
        return session_->Fail(FX_LOC, rc, "Cannot write file", path_);
      }
      done += static_cast<size_t>(rc);
    }
  }
  return CZoError::Success();
}

CZoError SftpFileInterface::PushWrites() {
  if (writeFailed_) {
    return session_->Refuse(FX_LOC, EIO, "An earlier write failed; the content is incomplete of file", path_);
  }
  if (wbuf_.empty()) return CZoError::Success();
  CZoError err = Send(wbuf_.data(), wbuf_.size());
  wbuf_.clear();
  return err;
}

CZoError SftpFileInterface::Close() {
  if (handle_ == nullptr) return CZoError::Success();
  SftpConnection::Lease lease;
  CZoError err = Use(lease, false);
  if (err.IsError()) {
    std::unique_lock<std::mutex> lock;
    if (!lease.Held()) lock = connection_->Lock();
    std::string path = path_;
    Release();
    return err.Push(FX_LOC, "The data of file [%s] may not be durable", path.c_str());
  }
  SshSession& s = *session_;
  CZoError dataErr = PushWrites();
  if (!dataErr.IsError() && wrote_) {
    long rc = s.Call([&] { return libssh2_sftp_fsync(handle_); });
    if (rc != 0) dataErr = s.Fail(FX_LOC, rc, "Cannot make the data durable of file", path_);
  }
  long closeRc = s.Call([&] { return libssh2_sftp_close_handle(handle_); });
  handle_ = nullptr;
  CZoError closeErr = closeRc != 0 ? s.Fail(FX_LOC, closeRc, "Cannot close file", path_) : CZoError::Success();
  Release();
  return dataErr.IsError() ? dataErr : closeErr;
}

CZoError SftpFileInterface::Read(void* buffer, unsigned int size, unsigned int* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (handle_ == nullptr) return NotOpen(FX_LOC);
  if (buffer == nullptr && size != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Read into no buffer");
  const bool readOnly = (flags_ & O_ACCMODE) == O_RDONLY;
  SftpConnection::Lease lease;
  CZoError err = Use(lease, readOnly);
  if (!err.IsError()) err = PushWrites();
  if (err.IsError()) return err;
  char* out = static_cast<char*>(buffer);
  if (rhead_ == rtail_) {
    // Small reads are served from one large read, so that many requests are in flight.
    const size_t want = kReadChunk;
    const bool direct = size >= want;
    if (!direct && rbuf_.size() < want) rbuf_.resize(want);
    auto fill = [&] {
      return session_->Call([&] { return libssh2_sftp_read(handle_, direct ? out : rbuf_.data(), want); });
    };
    long rc = fill();
    if (rc < 0) {
      err = session_->Fail(FX_LOC, rc, "Cannot read file", path_);
      if (!readOnly || !SshSession::IsDrop(err) || lease.Fresh()) return err;
      err = lease.Renew();  // once more on a new connection, from the same offset
      if (!err.IsError()) err = Reopen(lease);
      if (err.IsError()) return err;
      rc = fill();
      if (rc < 0) return session_->Fail(FX_LOC, rc, "Cannot read file", path_);
    }
    if (direct) {
      pos_ += rc;
      if (bytesRead) *bytesRead = static_cast<unsigned int>(rc);
      return CZoError::Success();
    }
    rhead_ = 0;
    rtail_ = static_cast<size_t>(rc);
  }
  const size_t n = std::min<size_t>(size, rtail_ - rhead_);
  std::memcpy(out, rbuf_.data() + rhead_, n);
  rhead_ += n;
  pos_ += static_cast<long long>(n);
  if (bytesRead) *bytesRead = static_cast<unsigned int>(n);
  return CZoError::Success();
}

CZoError SftpFileInterface::Write(const void* buffer, unsigned int size, unsigned int* bytesWritten) {
  if (bytesWritten) *bytesWritten = 0;
  if (handle_ == nullptr) return NotOpen(FX_LOC);
  if (buffer == nullptr && size != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Write from no buffer");
  SftpConnection::Lease lease;
  CZoError err = Use(lease, false);
  if (err.IsError()) return err;
  DropReadAhead();
  const char* data = static_cast<const char*>(buffer);
  // Small writes gather into one large send; Close, Flush and every other call send them.
  if (wbuf_.size() + size > kChunk) {
    err = PushWrites();
    if (err.IsError()) return err;
  }
  if (size >= kChunk) {
    err = Send(data, size);
  } else {
    if (wbuf_.capacity() < kChunk) wbuf_.reserve(kChunk);
    wbuf_.insert(wbuf_.end(), data, data + size);
  }
  if (err.IsError()) return err;
  wrote_ = true;
  pos_ += size;
  if (bytesWritten) *bytesWritten = size;
  return CZoError::Success();
}

CZoError SftpFileInterface::Settle(SftpConnection::Lease& lease, bool reopen) {
  CZoError err = Use(lease, reopen);
  if (!err.IsError()) err = PushWrites();
  if (!err.IsError()) DropReadAhead();
  return err;
}

CZoError SftpFileInterface::Seek(long long offset, int whence, int /*reserved*/) {
  if (handle_ == nullptr) return NotOpen(FX_LOC);
  if (whence < 0 || whence > 2) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Unknown seek origin %d", whence);
  long long base = whence == 1 ? pos_ : 0;
  if (whence == 2) {
    CZoError err = GetSize(base);
    if (err.IsError()) return err;
  }
  long long pos = base + offset;
  if (pos < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Cannot seek before the start of file [%s]", path_.c_str());
  SftpConnection::Lease lease;
  CZoError err = Settle(lease, (flags_ & O_ACCMODE) == O_RDONLY);
  if (err.IsError()) return err;
  pos_ = pos;
  libssh2_sftp_seek64(handle_, static_cast<libssh2_uint64_t>(pos));
  return CZoError::Success();
}

CZoError SftpFileInterface::Tell(long long& position) {
  position = 0;
  if (handle_ == nullptr) return NotOpen(FX_LOC);
  position = pos_;
  return CZoError::Success();
}

CZoError SftpFileInterface::Truncate(long long size) {
  if (handle_ == nullptr) return NotOpen(FX_LOC);
  if (size < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Negative file size %lld", size);
  SftpConnection::Lease lease;
  CZoError err = Settle(lease, false);
  if (err.IsError()) return err;
  LIBSSH2_SFTP_ATTRIBUTES a {};
  a.flags = LIBSSH2_SFTP_ATTR_SIZE;
  a.filesize = static_cast<libssh2_uint64_t>(size);
  long rc = session_->Call([&] { return libssh2_sftp_fstat_ex(handle_, &a, 1); });
  if (rc != 0) return session_->Fail(FX_LOC, rc, "Cannot truncate file", path_);
  wrote_ = true;
  return CZoError::Success();
}

CZoError SftpFileInterface::Stat(SZoFileStat& st) {
  std::memset(&st, 0, sizeof st);
  if (handle_ == nullptr) return NotOpen(FX_LOC);
  SftpConnection::Lease lease;
  CZoError err = Use(lease, (flags_ & O_ACCMODE) == O_RDONLY);
  if (!err.IsError()) err = PushWrites();
  if (err.IsError()) return err;
  LIBSSH2_SFTP_ATTRIBUTES a {};
  long rc = session_->Call([&] { return libssh2_sftp_fstat_ex(handle_, &a, 0); });
  if (rc != 0) return session_->Fail(FX_LOC, rc, "Cannot stat file", path_);
  SftpTree::ToStat(a, st);
  return CZoError::Success();
}

CZoError SftpFileInterface::Flush() {
  if (handle_ == nullptr) return NotOpen(FX_LOC);
  SftpConnection::Lease lease;
  CZoError err = Use(lease, false);
  if (!err.IsError()) err = PushWrites();
  if (err.IsError()) return err;
  long rc = session_->Call([&] { return libssh2_sftp_fsync(handle_); });
  if (rc != 0) return session_->Fail(FX_LOC, rc, "Cannot make the data durable of file", path_);
  return CZoError::Success();
}

CZoError SftpFileInterface::Reserved12() {
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSYS, "Operation not supported by the data server");
}

CZoError SftpFileInterface::Reserved13() {
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSYS, "Operation not supported by the data server");
}

CZoError SftpFileInterface::Lock(int mode) {
  if (handle_ == nullptr) return NotOpen(FX_LOC);
  if ((mode & ~3) != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Unknown lock mode %d", mode);
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSYS, "Files on storage hosts reached over SFTP cannot be locked [%s]",
                                 path_.c_str());
}

CZoError SftpFileInterface::Unlock() {
  if (handle_ == nullptr) return NotOpen(FX_LOC);
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSYS, "Files on storage hosts reached over SFTP cannot be locked [%s]",
                                 path_.c_str());
}

}  // namespace kxmp::dataserver

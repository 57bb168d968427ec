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
  auto lock = SftpConnection::Lock(slot_);
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
  sizeHint_ = -1;
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
    if ((uFlags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
      // An exclusive create refuses whatever is there, a link included (the server's open
      // does not follow it). A temporary name (".tmp") is never replaced, so nothing of it
      // can have been set aside; a final name's set-aside version comes back first.
      e = tree_.EntryPath(s, t, target, "Cannot open file");
      const bool temporary = t.comps.back().size() > 4 && t.comps.back().compare(t.comps.back().size() - 4, 4, ".tmp") == 0;
      if (!e.IsError() && !temporary) e = tree_.Recover(s, target);
      if (e.IsError()) return e;
    } else if (uFlags & O_CREAT) {
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
      // A stat of the name just before (a reader's check of what it is) is the look.
      LIBSSH2_SFTP_ATTRIBUTES a {};
      e = tree_.ResolveWith(s, t, target, "Cannot open file", a, true);
      if (e.IsError()) return e;
      // What the file holds when it is opened for reading: reads ask for that much and no more.
      const bool sized = (a.flags & LIBSSH2_SFTP_ATTR_SIZE) && LIBSSH2_SFTP_S_ISREG(a.permissions);
      sizeHint_ = (uFlags & O_ACCMODE) == O_RDONLY && sized ? static_cast<long long>(a.filesize) : -1;
    }
    e = OpenOn(s, target, uFlags, uMode);
    if (e.IsError()) return e;
    serverPath_ = target;
    session_ = lease.Shared();
    slot_ = lease.Place();
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
  CZoError err = connection_->Acquire(slot_, lease);
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
        return WriteFailed(FX_LOC, rc, "Cannot write file");
      }
      done += static_cast<size_t>(rc);
    }
  }
  return CZoError::Success();
}

CZoError SftpFileInterface::WriteFailed(const FXCodeLocation& where, long rc, const char* what) {
  // OpenSSH answers a full disk with a bare "failure": its free space tells the two apart.
  SshSession& s = *session_;
  LIBSSH2_SFTP_STATVFS v {};
  const std::string folder = serverPath_.substr(0, serverPath_.rfind('/') + 1);
  if (s.StatusOf(rc) == LIBSSH2_FX_FAILURE && s.HasExtension("statvfs@openssh.com") &&
      s.Call([&] { return libssh2_sftp_statvfs(s.Sftp(), folder.c_str(), folder.size(), &v); }) == 0 &&
      v.f_bavail == 0) {
    return FXErrorUtil::ErrorErrNo(where, ENOSPC, "%s [%s] on %s: its file system is full", what,
                                   path_.c_str(), s.Where().c_str());
  }
  return s.Fail(where, rc, what, path_);
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
    if (!lease.Held()) lock = SftpConnection::Lock(slot_);
    std::string path = path_;
    Release();
    return err.Push(FX_LOC, "The data of file [%s] may not be durable", path.c_str());
  }
  SshSession& s = *session_;
  if (!wrote_ && (flags_ & O_ACCMODE) == O_RDONLY) {
    // Nothing to make durable, and a read-only close has nothing to report: its answer is
    // not waited for.
    s.CloseLater(handle_);
    handle_ = nullptr;
    Release();
    return CZoError::Success();
  }
  CZoError dataErr = PushWrites();
  auto fsync = [&] { return libssh2_sftp_fsync(handle_); };
  auto close = [&] { return libssh2_sftp_close_handle(handle_); };
  long syncRc = 0, closeRc = LIBSSH2_ERROR_EAGAIN;
  if (!dataErr.IsError() && wrote_) {
    // fsync and close in one round trip: the server handles a session's requests in order,
    // so the close comes after the fsync has answered.
    syncRc = s.RoomFor(256) ? s.Send(fsync) : s.Call(fsync);
    if (syncRc == LIBSSH2_ERROR_EAGAIN) {
      closeRc = s.Send(close);
      syncRc = s.Call(fsync);
    }
  }
  if (closeRc == LIBSSH2_ERROR_EAGAIN) closeRc = s.Call(close);
  handle_ = nullptr;
  if (syncRc != 0) dataErr = WriteFailed(FX_LOC, syncRc, "Cannot make the data durable of file");
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
  if (rhead_ == rtail_ && size > 0) {
    // One libssh2 call; a dropped connection of a read-only file is renewed once and the
    // call made again from the same offset.
    auto call = [&](char* into, size_t want, long& rc) {
      rc = session_->Call([&] { return libssh2_sftp_read(handle_, into, want); });
      if (rc >= 0) return CZoError::Success();
      CZoError e = session_->Fail(FX_LOC, rc, "Cannot read file", path_);
      if (!readOnly || !SshSession::IsDrop(e) || lease.Fresh()) return e;
      e = lease.Renew();
      if (!e.IsError()) e = Reopen(lease);
      if (e.IsError()) return e;
      rc = session_->Call([&] { return libssh2_sftp_read(handle_, into, want); });
      return rc < 0 ? session_->Fail(FX_LOC, rc, "Cannot read file", path_) : CZoError::Success();
    };
    if (sizeHint_ > pos_) {
      // The size is known: libssh2 keeps four times the buffer it is given in flight, so the
      // buffer given is at most a quarter of what is left, and no request goes past the end.
      // The data goes straight into the caller's buffer.
      unsigned int got = 0;
      while (got < size && sizeHint_ > pos_) {
        const long long left = sizeHint_ - pos_;
        const size_t want = static_cast<size_t>(
            std::min<long long>({static_cast<long long>(size - got), static_cast<long long>(kReadChunk),
                                 std::max<long long>(1, left / 4)}));
        long rc = 0;
        err = call(out + got, want, rc);
        if (err.IsError()) return err;
        if (rc == 0) {
          sizeHint_ = pos_;  // shorter than it was: the end is here
          break;
        }
        got += static_cast<unsigned int>(rc);
        pos_ += rc;
      }
      if (bytesRead) *bytesRead = got;
      return CZoError::Success();
    }
    // At the known end one request tells whether the file ended there (the usual answer) or
    // grew; beyond that, or with no size known, libssh2 reads ahead from 1 MiB reads.
    const bool atEnd = sizeHint_ >= 0 && sizeHint_ == pos_;
    const size_t want = atEnd ? kEndProbe : kReadChunk;
    const bool direct = !atEnd && size >= want;
    if (!direct && rbuf_.size() < want) rbuf_.resize(want);
    long rc = 0;
    err = call(direct ? out : rbuf_.data(), want, rc);
    if (err.IsError()) return err;
    if (atEnd && rc > 0) sizeHint_ = -1;  // it grew: read on without a size
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
  auto fstat = [&] { return libssh2_sftp_fstat_ex(handle_, &a, 0); };
  long rc = 0;
  if (pos_ == 0 && rhead_ == rtail_ && !wrote_ && sizeHint_ > 0 && sizeHint_ <= static_cast<long long>(kPrefetch)) {
    // A small file just opened for reading is asked for its size and type (what a reader
    // checks before it reads) and for its first bytes in one round trip: the reads go out
    // behind the fstat, up to the size its open saw, and what they bring is read ahead.
    // Nothing of it reaches a caller who refuses what the fstat says.
    rc = session_->Send(fstat);
    if (rc == LIBSSH2_ERROR_EAGAIN) {
      const size_t want = static_cast<size_t>(std::max<long long>(1, sizeHint_ / 4));
      if (rbuf_.size() < want) rbuf_.resize(want);
      const long got = session_->Call([&] { return libssh2_sftp_read(handle_, rbuf_.data(), want); });
      rc = session_->Call(fstat);
      if (got > 0 && rc == 0) {
        rhead_ = 0;
        rtail_ = static_cast<size_t>(got);
      } else if (got >= 0 && rc == 0) {
        sizeHint_ = 0;  // ended before the size its open saw
      } else if (rc == 0) {
        rc = got;  // the read's failure is the file's
      }
      // Bytes not kept must be read again by the caller's reads, from where it stands.
      if (rhead_ == rtail_ && got != 0) libssh2_sftp_seek64(handle_, static_cast<libssh2_uint64_t>(pos_));
    }
  } else {
    rc = session_->Call(fstat);
  }
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

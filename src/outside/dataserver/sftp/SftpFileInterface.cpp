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

uint32_t SftpFlags(int f) {
  uint32_t out = 0;
  int acc = f & O_ACCMODE;
  if (acc == O_RDONLY || acc == O_RDWR) out |= sftp::kFxfRead;
  if (acc == O_WRONLY || acc == O_RDWR) out |= sftp::kFxfWrite;
  if (f & O_CREAT) out |= sftp::kFxfCreat;
  if (f & O_EXCL) out |= sftp::kFxfExcl;
  if (f & O_TRUNC) out |= sftp::kFxfTrunc;
  if (f & O_APPEND) out |= sftp::kFxfAppend;
  return out;
}

// A probe at the known end asks for this much: a file that grew gives its first bytes.
constexpr uint32_t kProbe = 32768;


}  // namespace

SftpFileInterface::SftpFileInterface(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority,
                                     std::shared_ptr<SftpConnection> connection, std::shared_ptr<SharedMountPath> cache)
    : tree_(params, std::move(authority), std::move(cache)), connection_(std::move(connection)) {}

SftpFileInterface::~SftpFileInterface() {
  if (handle_.empty()) return;
  auto lock = SftpConnection::Lock(slot_);
  Release();
}

void SftpFileInterface::Release() {
  if (session_ != nullptr) {
    SftpChannel& c = session_->Sftp();
    for (uint32_t id : writes_) c.Forget(id);
    if (!handle_.empty()) c.Close(handle_);
  }
  writes_.clear();
  handle_.clear();
  session_.reset();
  path_.clear();
  serverPath_.clear();
  std::vector<char>().swap(wbuf_);
  std::vector<char>().swap(rbuf_);
  rhead_ = rtail_ = 0;
  pos_ = 0;
  sizeHint_ = -1;
  endSeen_ = false;
  writeFailed_ = false;
  writeError_ = CZoError::Success();
}

CZoError SftpFileInterface::NotOpen(const FXCodeLocation& where) const {
  return FXErrorUtil::ErrorErrNo(where, EBADF, "No file is open");
}

CZoError SftpFileInterface::OpenOn(SshSession& s, const std::string& serverPath, int uFlags, int uMode) {
  std::string handle;
  long rc = s.Sftp().Open(serverPath, SftpFlags(uFlags), static_cast<uint32_t>(uMode & 07777), handle);
  if (rc == 0) {
    handle_ = std::move(handle);
    return CZoError::Success();
  }
  int e = 0;
  if (s.StatusOf(rc) == sftp::kFailure) {
    // OpenSSH says "failure" for most causes; a look at the name tells which. The look's own
    // status must not stand for the open's: an exclusive create that met a name removed just
    // after is EEXIST (a writer racing a lock's release), never "no such file".
    const bool exclusive = (uFlags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
    SftpAttrs a {};
    const long looked = SftpTree::StatFollow(s, serverPath, a);
    if (looked == 0) {
      e = exclusive ? EEXIST : SftpTree::IsFolderAttr(a) ? EISDIR : EIO;
    } else {
      e = exclusive && s.StatusOf(looked) == sftp::kNoSuchFile ? EEXIST : EIO;
    }
  }
  return s.Fail(FX_LOC, rc, "Cannot open file", path_, e);
}

CZoError SftpFileInterface::Open(std::string path, int uFlags, int uMode, int /*shFlag*/) {
  if (!handle_.empty()) return FXErrorUtil::ErrorErrNo(FX_LOC, EBUSY, "Another file is open already [%s]", path_.c_str());
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
      SftpAttrs a {};
      if (SftpTree::Lstat(s, target, a) == 0 && SftpTree::IsLinkAttr(a)) {
        if ((uFlags & O_EXCL) != 0) return s.Refuse(FX_LOC, EEXIST, "Cannot open file", path);
        e = tree_.Resolve(s, t, target, "Cannot open file");
        if (e.IsError()) return e;
      }
    } else {
      // A stat of the name just before (a reader's check of what it is) is the look.
      SftpAttrs a {};
      e = tree_.ResolveWith(s, t, target, "Cannot open file", a, true);
      if (e.IsError()) return e;
      // What the file holds when it is opened for reading: reads ask for that much and no more.
      const bool sized = (a.flags & sftp::kAttrSize) && a.IsRegular();
      sizeHint_ = (uFlags & O_ACCMODE) == O_RDONLY && sized ? static_cast<long long>(a.size) : -1;
      endSeen_ = false;
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
  synced_ = false;
  return CZoError::Success();
}

CZoError SftpFileInterface::Use(SftpConnection::Lease& lease, bool reopen) {
  if (handle_.empty()) return NotOpen(FX_LOC);
  CZoError err = connection_->Acquire(slot_, lease);
  if (err.IsError()) return err;
  if (lease.Shared() == session_ && !session_->Broken()) return CZoError::Success();
  if (!reopen) {
    return lease.Session().Refuse(FX_LOC, ECONNRESET, "The connection was lost while this file was open", path_);
  }
  return Reopen(lease);
}

CZoError SftpFileInterface::Reopen(SftpConnection::Lease& lease) {
  session_->Sftp().Close(handle_);  // fails at once: the session is broken
  handle_.clear();
  session_.reset();
  DropReadAhead();
  SshSession& s = lease.Session();
  CZoError err = OpenOn(s, serverPath_, flags_ & ~(O_CREAT | O_EXCL | O_TRUNC), 0);
  if (err.IsError()) return err;
  session_ = lease.Shared();
  return CZoError::Success();
}

void SftpFileInterface::DropReadAhead() {
  rhead_ = rtail_ = 0;
  endSeen_ = false;
}

CZoError SftpFileInterface::Send(const char* data, size_t size, long long offset) {
  SftpChannel& c = session_->Sftp();
  const size_t most = c.MaxWrite();
  for (size_t done = 0; done < size;) {
    const size_t n = std::min(most, size - done);
    writes_.push_back(c.SendWrite(handle_, static_cast<uint64_t>(offset) + done, data + done, n));
    done += n;
    CZoError err = TakeWrites(false);
    if (err.IsError()) return err;
  }
  // The data leaves the caller's buffer now; the answers are taken later.
  const long rc = c.Flush();
  if (rc != 0) return WriteFailed(FX_LOC, rc, "Cannot write file");
  return TakeWrites(false);
}

CZoError SftpFileInterface::TakeWrites(bool all) {
  SftpChannel& c = session_->Sftp();
  while (!writes_.empty() && (all || writes_.size() > kWritesInFlight || c.Answered(writes_.front()))) {
    const long rc = c.TakeStatus(writes_.front());
    writes_.pop_front();
    if (rc != 0 && !writeFailed_) {
      writeFailed_ = true;
      writeError_ = WriteFailed(FX_LOC, rc, "Cannot write file");
    }
  }
  return writeFailed_ ? writeError_ : CZoError::Success();
}

CZoError SftpFileInterface::WriteFailed(const FXCodeLocation& where, long rc, const char* what) {
  // OpenSSH answers a full disk with a bare "failure": its free space tells the two apart.
  SshSession& s = *session_;
  SftpStatvfs v;
  const std::string folder = serverPath_.substr(0, serverPath_.rfind('/') + 1);
  if (s.StatusOf(rc) == sftp::kFailure && s.HasExtension("statvfs@openssh.com") && s.Sftp().Statvfs(folder, v) == 0 &&
      v.bavail == 0) {
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
  CZoError err = Send(wbuf_.data(), wbuf_.size(), pos_ - static_cast<long long>(wbuf_.size()));
  wbuf_.clear();
  return err;
}

CZoError SftpFileInterface::Close() {
  if (handle_.empty()) return CZoError::Success();
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
  SftpChannel& c = s.Sftp();
  if (!wrote_ && (flags_ & O_ACCMODE) == O_RDONLY) {
    // Nothing to make durable, and a read-only close has nothing to report: its answer is
    // not waited for.
    s.CloseLater(handle_);
    handle_.clear();
    Release();
    return CZoError::Success();
  }
  if (synced_ && wbuf_.empty() && writes_.empty()) {
    // Durable since its last write (see Stat): a close has nothing left to report of the data
    // (an fsync would have told of a failed write-back first), so it is not waited for, and a
    // rename sent next reaches the server after it.
    s.CloseLater(handle_);
    handle_.clear();
    Release();
    return CZoError::Success();
  }
  // The writes' answers, the fsync and the close in one round trip: the server handles a
  // session's requests in order, so the fsync follows the writes and the close the fsync.
  CZoError dataErr = PushWrites();
  uint32_t sync = 0;
  if (!dataErr.IsError() && wrote_) sync = c.SendFsync(handle_);
  const uint32_t close = c.SendHandle(sftp::kClose, handle_);
  if (!dataErr.IsError()) dataErr = TakeWrites(true);
  const long syncRc = sync != 0 ? c.TakeStatus(sync) : 0;
  const long closeRc = c.TakeStatus(close);
  handle_.clear();
  if (!dataErr.IsError() && syncRc != 0) dataErr = WriteFailed(FX_LOC, syncRc, "Cannot make the data durable of file");
  CZoError closeErr = closeRc != 0 ? s.Fail(FX_LOC, closeRc, "Cannot close file", path_) : CZoError::Success();
  Release();
  return dataErr.IsError() ? dataErr : closeErr;
}

void SftpFileInterface::SendReads(Reads& r, char* dst, size_t n, bool probe) {
  SftpChannel& c = session_->Sftp();
  const size_t most = c.MaxRead();
  r = Reads();
  r.dst = dst;
  for (size_t done = 0; done < n;) {
    const uint32_t want = static_cast<uint32_t>(std::min(most, n - done));
    r.asked.emplace_back(c.SendRead(handle_, static_cast<uint64_t>(pos_) + done, want, dst + done), want);
    done += want;
  }
  if (probe) {
    // Into the read-ahead (which the caller sized when it is dst): what a grown file gives
    // there comes right after dst's bytes.
    const bool ahead = dst == rbuf_.data();
    if (!ahead && rbuf_.size() < kProbe) rbuf_.resize(kProbe);
    r.probe = c.SendRead(handle_, static_cast<uint64_t>(pos_) + n, kProbe, rbuf_.data() + (ahead ? n : 0));
  }
}

long SftpFileInterface::TakeReads(const Reads& r, size_t& got, size_t& grown) {
  // Every answer is taken, whatever comes first: a read left pending would write into a
  // buffer given back.
  SftpChannel& c = session_->Sftp();
  got = grown = 0;
  long failed = 0;
  bool whole = true;
  for (const auto& [id, want] : r.asked) {
    const long rc = c.TakeData(id);
    if (rc < 0 && failed == 0 && whole) failed = rc;
    if (whole && rc >= 0) got += static_cast<size_t>(rc);
    whole = whole && rc == static_cast<long>(want);
  }
  if (r.probe != 0) {
    const long rc = c.TakeData(r.probe);
    if (whole && failed == 0) {
      if (rc < 0) failed = rc;
      if (rc == 0) endSeen_ = true;
      if (rc > 0) {
        // It grew: the bytes found are the next ones, and reads go on without a size.
        grown = static_cast<size_t>(rc);
        sizeHint_ = -1;
      }
    }
  }
  return failed;
}

CZoError SftpFileInterface::Fetch(SftpConnection::Lease& lease, char* dst, size_t n, size_t& got, size_t& grown) {
  // A known size bounds the requests, and the last of them goes with a look one past the
  // end; with none known (or past it), one request.
  const bool readOnly = (flags_ & O_ACCMODE) == O_RDONLY;
  for (int attempt = 0;; ++attempt) {
    Reads r;
    size_t ask = std::min(n, session_->Sftp().MaxRead());
    bool probe = false;
    if (sizeHint_ >= 0 && sizeHint_ >= pos_) {
      ask = static_cast<size_t>(std::min<long long>(static_cast<long long>(n), sizeHint_ - pos_));
      probe = ask == static_cast<size_t>(sizeHint_ - pos_);
    }
    SendReads(r, dst, ask, probe);
    const long rc = TakeReads(r, got, grown);
    if (rc == 0) {
      if (got < ask && sizeHint_ >= 0) sizeHint_ = pos_ + static_cast<long long>(got);  // shorter than at the open
      return CZoError::Success();
    }
    CZoError e = session_->Fail(FX_LOC, rc, "Cannot read file", path_);
    if (attempt > 0 || !readOnly || !SshSession::IsDrop(e) || lease.Fresh()) return e;
    // A dropped connection of a read-only file is renewed once and the reads made again.
    e = lease.Renew();
    if (!e.IsError()) e = Reopen(lease);
    if (e.IsError()) return e;
  }
}

CZoError SftpFileInterface::Read(void* buffer, unsigned int size, unsigned int* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (handle_.empty()) return NotOpen(FX_LOC);
  if (buffer == nullptr && size != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Read into no buffer");
  const bool readOnly = (flags_ & O_ACCMODE) == O_RDONLY;
  SftpConnection::Lease lease;
  CZoError err = Use(lease, readOnly);
  if (!err.IsError()) err = PushWrites();
  if (!err.IsError()) err = TakeWrites(true);
  if (err.IsError()) return err;
  char* out = static_cast<char*>(buffer);
  if (rhead_ == rtail_ && size > 0) {
    rhead_ = rtail_ = 0;
    if (endSeen_ && sizeHint_ >= 0 && pos_ >= sizeHint_) return CZoError::Success();
    const size_t most = session_->Sftp().MaxRead();
    size_t got = 0, grown = 0;
    if (size >= most) {
      // A buffer as large as the server's reads takes them straight.
      err = Fetch(lease, out, size, got, grown);
      if (err.IsError()) return err;
      rtail_ = grown;  // what a grown file gave past the old end comes next
      pos_ += static_cast<long long>(got);
      if (got > 0 || grown == 0) {
        if (bytesRead) *bytesRead = static_cast<unsigned int>(got);
        return CZoError::Success();
      }
    } else {
      // A small one is served from a read-ahead of the server's largest reads (no larger than
      // what is left of a file of known size).
      size_t ahead = most * kReadAhead;
      if (sizeHint_ >= pos_) ahead = std::min(ahead, static_cast<size_t>(sizeHint_ - pos_));
      if (rbuf_.size() < ahead + kProbe) rbuf_.resize(ahead + kProbe);
      err = Fetch(lease, rbuf_.data(), ahead, got, grown);
      if (err.IsError()) return err;
      rtail_ = got + grown;
    }
  }
  const size_t n = std::min<size_t>(size, rtail_ - rhead_);
  if (n > 0) std::memcpy(out, rbuf_.data() + rhead_, n);
  rhead_ += n;
  pos_ += static_cast<long long>(n);
  if (bytesRead) *bytesRead = static_cast<unsigned int>(n);
  return CZoError::Success();
}

CZoError SftpFileInterface::Write(const void* buffer, unsigned int size, unsigned int* bytesWritten) {
  if (bytesWritten) *bytesWritten = 0;
  if (handle_.empty()) return NotOpen(FX_LOC);
  if (buffer == nullptr && size != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Write from no buffer");
  SftpConnection::Lease lease;
  CZoError err = Use(lease, false);
  if (err.IsError()) return err;
  DropReadAhead();
  const char* data = static_cast<const char*>(buffer);
  // Small writes gather into one large send; Close, Flush and every other call send them.
  // Large ones go from the caller's buffer.
  if (wbuf_.size() + size > kGather || size >= session_->Sftp().MaxWrite()) {
    err = PushWrites();
    if (err.IsError()) return err;
  }
  if (size >= session_->Sftp().MaxWrite()) {
    err = Send(data, size, pos_);
  } else {
    if (wbuf_.capacity() < kGather) wbuf_.reserve(kGather);
    wbuf_.insert(wbuf_.end(), data, data + size);
  }
  if (err.IsError()) return err;
  wrote_ = true;
  synced_ = false;
  pos_ += size;
  if (bytesWritten) *bytesWritten = size;
  return CZoError::Success();
}

CZoError SftpFileInterface::Settle(SftpConnection::Lease& lease, bool reopen) {
  CZoError err = Use(lease, reopen);
  if (!err.IsError()) err = PushWrites();
  if (!err.IsError()) err = TakeWrites(true);
  if (!err.IsError()) DropReadAhead();
  return err;
}

CZoError SftpFileInterface::Seek(long long offset, int whence, int /*reserved*/) {
  if (handle_.empty()) return NotOpen(FX_LOC);
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
  return CZoError::Success();
}

CZoError SftpFileInterface::Tell(long long& position) {
  position = 0;
  if (handle_.empty()) return NotOpen(FX_LOC);
  position = pos_;
  return CZoError::Success();
}

CZoError SftpFileInterface::Truncate(long long size) {
  if (handle_.empty()) return NotOpen(FX_LOC);
  if (size < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Negative file size %lld", size);
  SftpConnection::Lease lease;
  CZoError err = Settle(lease, false);
  if (err.IsError()) return err;
  SftpAttrs a {};
  a.flags = sftp::kAttrSize;
  a.size = static_cast<uint64_t>(size);
  SftpChannel& c = session_->Sftp();
  long rc = c.TakeStatus(c.SendFsetstat(handle_, a));
  if (rc != 0) return session_->Fail(FX_LOC, rc, "Cannot truncate file", path_);
  wrote_ = true;
  synced_ = false;
  return CZoError::Success();
}

CZoError SftpFileInterface::Stat(SZoFileStat& st) {
  std::memset(&st, 0, sizeof st);
  if (handle_.empty()) return NotOpen(FX_LOC);
  SftpConnection::Lease lease;
  CZoError err = Use(lease, (flags_ & O_ACCMODE) == O_RDONLY);
  if (!err.IsError()) err = PushWrites();
  if (err.IsError()) return err;
  SftpChannel& c = session_->Sftp();
  SftpAttrs a {};
  // The writes' answers come with the fstat's: one round trip.
  const uint32_t fstat = c.SendHandle(sftp::kFstat, handle_);
  long rc = 0;
  if (pos_ == 0 && rhead_ == rtail_ && !wrote_ && sizeHint_ > 0 && sizeHint_ <= static_cast<long long>(kPrefetch)) {
    // A small file just opened for reading is asked for its size and type (what a reader
    // checks before it reads) and for its bytes in one round trip: the reads go out behind
    // the fstat, up to the size its open saw and one past it, and what they bring is read
    // ahead. Nothing of it reaches a caller who refuses what the fstat says.
    const size_t n = static_cast<size_t>(sizeHint_);
    if (rbuf_.size() < n + kProbe) rbuf_.resize(n + kProbe);
    Reads r;
    SendReads(r, rbuf_.data(), n, true);
    rc = c.TakeAttrs(fstat, a);
    size_t got = 0, grown = 0;
    const long readRc = TakeReads(r, got, grown);
    if (rc == 0 && readRc == 0) {
      rhead_ = 0;
      rtail_ = got + grown;
      if (got < n) sizeHint_ = static_cast<long long>(got);  // ended before the size its open saw
    } else {
      rhead_ = rtail_ = 0;
      endSeen_ = false;
      if (rc == 0) rc = readRc;  // the read's failure is the file's
    }
  } else {
    // A written file is asked for its size the moment before its commit: the fsync goes with
    // the fstat, so the check and the durability cost one round trip, and the close after it
    // none (see Close).
    const uint32_t sync = wrote_ && (flags_ & O_ACCMODE) != O_RDONLY ? c.SendFsync(handle_) : 0;
    rc = c.TakeAttrs(fstat, a);
    err = TakeWrites(true);
    const long syncRc = sync != 0 ? c.TakeStatus(sync) : 0;
    if (rc == 0 && err.IsError()) return err;
    if (rc == 0 && syncRc != 0) return WriteFailed(FX_LOC, syncRc, "Cannot make the data durable of file");
    if (rc == 0 && sync != 0) synced_ = true;
  }
  if (rc != 0) return session_->Fail(FX_LOC, rc, "Cannot stat file", path_);
  SftpTree::ToStat(a, st);
  return CZoError::Success();
}

CZoError SftpFileInterface::Flush() {
  if (handle_.empty()) return NotOpen(FX_LOC);
  SftpConnection::Lease lease;
  CZoError err = Use(lease, false);
  if (!err.IsError()) err = PushWrites();
  if (err.IsError()) return err;
  SftpChannel& c = session_->Sftp();
  const uint32_t sync = c.SendFsync(handle_);
  err = TakeWrites(true);
  long rc = c.TakeStatus(sync);
  if (err.IsError()) return err;
  if (rc != 0) return WriteFailed(FX_LOC, rc, "Cannot make the data durable of file");
  synced_ = true;
  return CZoError::Success();
}

CZoError SftpFileInterface::Reserved12() {
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSYS, "Operation not supported by the data server");
}

CZoError SftpFileInterface::Reserved13() {
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSYS, "Operation not supported by the data server");
}

CZoError SftpFileInterface::Lock(int mode) {
  if (handle_.empty()) return NotOpen(FX_LOC);
  if ((mode & ~3) != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Unknown lock mode %d", mode);
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSYS, "Files on storage hosts reached over SFTP cannot be locked [%s]",
                                 path_.c_str());
}

CZoError SftpFileInterface::Unlock() {
  if (handle_.empty()) return NotOpen(FX_LOC);
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSYS, "Files on storage hosts reached over SFTP cannot be locked [%s]",
                                 path_.c_str());
}

}  // namespace kxmp::dataserver

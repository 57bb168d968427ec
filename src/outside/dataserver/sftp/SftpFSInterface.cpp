#include "outside/dataserver/sftp/SftpFSInterface.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstring>

#include "outside/error/FXErrorUtil.h"

namespace kxmp::dataserver {

namespace {

CZoError NotSupported(const FXCodeLocation& where) {
  return FXErrorUtil::ErrorErrNo(where, ENOSYS, "Operation not supported by the data server");
}


}  // namespace

SftpFSInterface::SftpFSInterface(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority,
                                 std::shared_ptr<SftpConnection> connection, std::shared_ptr<SharedMountPath> cache)
    : tree_(params, std::move(authority), std::move(cache)), connection_(std::move(connection)) {}

template <typename F>
CZoError SftpFSInterface::Run(bool retry, F&& body) {
  SftpConnection::Lease lease;
  CZoError err = connection_->Acquire(lease);
  if (err.IsError()) return err;
  err = tree_.Connect(lease.Session());
  if (!err.IsError()) err = body(lease.Session());
  if (retry && err.IsError() && SshSession::IsDrop(err) && !lease.Fresh()) {
    err = lease.Renew();
    if (err.IsError()) return err;
    err = tree_.Connect(lease.Session());
    if (!err.IsError()) err = body(lease.Session());
  }
  return err;
}

template <typename F>
CZoError SftpFSInterface::OnPath(const std::string& path, bool retry, F&& body) {
  SftpTree::Target t;
  CZoError err = tree_.Check(path, t);
  if (err.IsError()) return err;
  return Run(retry, [&](SshSession& s) { return body(s, t); });
}

CZoError SftpFSInterface::Connect() {
  return Run(true, [](SshSession&) { return CZoError::Success(); });
}

CZoError SftpFSInterface::Disconnect() { return CZoError::Success(); }  // the pool keeps the connection

CZoError SftpFSInterface::Exists(std::string path, bool& exists) {
  exists = false;
  return OnPath(path, true, [&](SshSession& s, const SftpTree::Target& t) {
    std::string real;
    CZoError e = tree_.Resolve(s, t, real, "Cannot check");
    exists = !e.IsError();
    if (FXErrorUtil::IsErrNo(e, ENOENT) || FXErrorUtil::IsErrNo(e, ENOTDIR)) return CZoError::Success();
    // A folder on the way that is a file: the server's realpath fails without a cause.
    if (FXErrorUtil::IsErrNo(e, EIO) && !s.Broken()) return CZoError::Success();
    return e;
  });
}

CZoError SftpFSInterface::CreateFolder(std::string path, int flag) {
  if (flag != 0 && flag != 1) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Unknown CreateFolder flag %d", flag);
  return OnPath(path, false, [&](SshSession& s, const SftpTree::Target& t) { return tree_.MakeFolders(s, t, flag == 1); });
}

CZoError SftpFSInterface::GetVolumeSize(const char* path, unsigned long long* total, unsigned long long* free) {
  if (total) *total = 0;
  if (free) *free = 0;
  std::string shown = path ? path : "";
  SftpTree::Target t;
  if (!shown.empty()) {
    CZoError err = tree_.Check(shown, t);
    if (err.IsError()) return err;
  } else {
    shown = tree_.RootText();
  }
  return Run(true, [&](SshSession& s) {
    std::string real;
    CZoError err = t.comps.empty() ? tree_.VolumePath(s, real) : tree_.Resolve(s, t, real, "Cannot open");
    if (err.IsError()) return err;
    if (!s.HasExtension("statvfs@openssh.com")) {
      return s.Refuse(FX_LOC, ENOTSUP, "No statvfs@openssh.com to learn the volume size of", shown);
    }
    SftpStatvfs v;
    long rc = s.Sftp().Statvfs(real, v);
    if (rc != 0) return s.Fail(FX_LOC, rc, "Cannot read the volume size of", shown);
    unsigned long long unit = v.frsize ? v.frsize : v.bsize;
    if (total) *total = v.blocks * unit;
    if (free) *free = v.bavail * unit;
    return CZoError::Success();
  });
}

CZoError SftpFSInterface::Lstat(std::string path, SZoFileStat& st) {
  std::memset(&st, 0, sizeof st);
  return OnPath(path, true, [&](SshSession& s, const SftpTree::Target& t) {
    std::string entry;
    SftpAttrs a {};
    if (tree_.IsMountPath(t)) {
      CZoError e = tree_.ResolveWith(s, t, entry, "Cannot stat", a);
      if (!e.IsError()) SftpTree::ToStat(a, st);
      return e;
    }
    CZoError e = tree_.EntryPath(s, t, entry, "Cannot stat");
    long rc = 0;
    if (!e.IsError()) e = tree_.LstatRecovering(s, entry, a, rc);
    if (e.IsError()) return e;
    if (rc != 0) return s.Fail(FX_LOC, rc, "Cannot stat", path);
    SftpTree::ToStat(a, st);
    return CZoError::Success();
  });
}

CZoError SftpFSInterface::Stat(std::string path, SZoFileStat& st) {
  std::memset(&st, 0, sizeof st);
  return OnPath(path, true, [&](SshSession& s, const SftpTree::Target& t) {
    std::string real;
    SftpAttrs a {};
    CZoError e = tree_.ResolveWith(s, t, real, "Cannot stat", a);
    if (e.IsError()) return e;
    SftpTree::ToStat(a, st);
    return CZoError::Success();
  });
}

CZoError SftpFSInterface::Reserved10() { return NotSupported(FX_LOC); }
CZoError SftpFSInterface::Reserved16() { return NotSupported(FX_LOC); }
CZoError SftpFSInterface::Reserved17() { return NotSupported(FX_LOC); }
CZoError SftpFSInterface::Reserved18() { return NotSupported(FX_LOC); }

CZoError SftpFSInterface::RemoveFile(std::string path, int flag) {
  if (flag != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Unknown remove flag %d", flag);
  return OnPath(path, false, [&](SshSession& s, const SftpTree::Target& t) {
    std::string entry;
    CZoError e = tree_.EntryPath(s, t, entry, "Cannot remove");
    if (!e.IsError()) e = tree_.Recover(s, entry);
    if (e.IsError()) return e;
    long rc = s.Sftp().Remove(entry);
    if (rc == 0) return CZoError::Success();
    SftpAttrs a {};
    if (s.StatusOf(rc) == sftp::kFailure && SftpTree::Lstat(s, entry, a) == 0 && SftpTree::IsFolderAttr(a)) {
      return s.Refuse(FX_LOC, EISDIR, "Cannot remove", path);
    }
    return s.Fail(FX_LOC, rc, "Cannot remove", path);
  });
}

CZoError SftpFSInterface::RemoveFolder(std::string path, int flag) {
  if (flag != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Unknown remove flag %d", flag);
  return OnPath(path, false, [&](SshSession& s, const SftpTree::Target& t) {
    std::string entry;
    CZoError e = tree_.EntryPath(s, t, entry, "Cannot remove");
    if (e.IsError()) return e;
    long rc = s.Sftp().Rmdir(entry);
    if (rc == 0) return CZoError::Success();
    SftpAttrs a {};
    if (s.StatusOf(rc) == sftp::kFailure && SftpTree::Lstat(s, entry, a) == 0) {
      return s.Refuse(FX_LOC, SftpTree::IsFolderAttr(a) ? ENOTEMPTY : ENOTDIR, "Cannot remove", path);
    }
    return s.Fail(FX_LOC, rc, "Cannot remove", path);
  });
}

CZoError SftpFSInterface::List(SshSession& s, const std::string& serverPath, const std::string& shown,
                               std::vector<Entry>& out) {
  out.clear();
  SftpChannel& c = s.Sftp();
  std::string h;
  long rc = c.OpenDir(serverPath, h);
  if (rc != 0) {
    SftpAttrs a {};
    // The server reports a file as no such folder (or a failure): tell the two apart.
    const long status = s.StatusOf(rc);
    if ((status == sftp::kFailure || status == sftp::kNoSuchFile) && SftpTree::StatFollow(s, serverPath, a) == 0 &&
        !SftpTree::IsFolderAttr(a)) {
      return s.Refuse(FX_LOC, ENOTDIR, "Cannot read folder", shown);
    }
    return s.Fail(FX_LOC, rc, "Cannot read folder", shown);
  }
  CZoError err = CZoError::Success();
  bool sawAside = false;
  std::vector<SftpName> names;
  for (;;) {
    rc = c.TakeNames(c.SendHandle(sftp::kReaddir, h), names);
    if (rc == 0) break;
    if (rc < 0) {
      err = s.Fail(FX_LOC, rc, "Cannot read folder", shown);
      break;
    }
    for (SftpName& n : names) {
      if (n.name == "." || n.name == "..") continue;
      std::string owner;
      sawAside = sawAside || SftpTree::AsideOwner(n.name, owner);
      out.push_back(Entry{std::move(n.name), SftpTree::IsFolderAttr(n.attrs)});
    }
  }
  s.CloseLater(h);
  if (err.IsError() || !sawAside) return err;
  // A replacing Move stopped half-way here: finish it, then read the folder again.
  SftpTree::NoteAside(s, serverPath);
  for (const Entry& e : out) {
    std::string base;
    if (!SftpTree::AsideOwner(e.name, base)) continue;
    err = tree_.Recover(s, (serverPath == "/" ? "" : serverPath) + "/" + base);
    if (err.IsError()) return err;
  }
  std::vector<Entry> again;
  err = List(s, serverPath, shown, again);
  out.swap(again);
  return err;
}

CZoError SftpFSInterface::GetDirContents(std::string path, std::vector<std::string>& files,
                                         std::vector<std::string>& folders) {
  files.clear();
  folders.clear();
  return OnPath(path, true, [&](SshSession& s, const SftpTree::Target& t) {
    files.clear();
    folders.clear();
    std::string real;
    CZoError e = tree_.Resolve(s, t, real, "Cannot open folder");
    std::vector<Entry> entries;
    if (!e.IsError()) e = List(s, real, path, entries);
    if (e.IsError()) return e;
    for (Entry& en : entries) (en.isFolder ? folders : files).push_back(std::move(en.name));
    return CZoError::Success();
  });
}

CZoError SftpFSInterface::WalkDir(std::string path, void* context, int level, bool filesOnly, WalkerFunc cb,
                                  int /*reserved*/) {
  if (cb == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "WalkDir needs a callback");
  std::string real;
  CZoError err = OnPath(path, true, [&](SshSession& s, const SftpTree::Target& t) {
    return tree_.Resolve(s, t, real, "Cannot open folder");
  });
  if (err.IsError()) return err;
  // Each folder is listed under the connection's lease; the callback runs without it, so it
  // may use the storage host itself. An explicit stack: one listing per open level.
  auto list = [&](const std::string& server, const std::string& shown, std::vector<Entry>& out) {
    return Run(true, [&](SshSession& s) { return List(s, server, shown, out); });
  };
  std::string top = path;
  while (top.size() > 1 && top.back() == '/') top.pop_back();
  struct Frame {
    std::string shown;
    std::string server;
    std::vector<Entry> entries;
    size_t next;
    int depth;
  };
  std::vector<Frame> stack;
  stack.push_back(Frame{top, real, {}, 0, 0});
  err = list(real, top, stack.back().entries);
  if (err.IsError()) return err;
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.entries.size()) {
      stack.pop_back();
      continue;
    }
    const Entry en = f.entries[f.next++];
    if (!en.isFolder || !filesOnly) {
      CZoError r = cb(f.shown.c_str(), en.name.c_str(), en.isFolder, context);
      if (r.IsError()) return r;
    }
    if (!en.isFolder || (level >= 0 && f.depth >= level)) continue;
    Frame sub{f.shown + (f.shown == "/" ? "" : "/") + en.name, (f.server == "/" ? "" : f.server) + "/" + en.name, {}, 0,
              f.depth + 1};
    err = list(sub.server, sub.shown, sub.entries);
    if (FXErrorUtil::IsErrNo(err, ENOENT) || FXErrorUtil::IsErrNo(err, ENOTDIR)) continue;  // removed meanwhile
    if (err.IsError()) return err;
    stack.push_back(std::move(sub));  // invalidates f
  }
  return CZoError::Success();
}

CZoError SftpFSInterface::Chmod(std::string path, int mode) {
  return OnPath(path, false, [&](SshSession& s, const SftpTree::Target& t) {
    std::string real;
    CZoError e = tree_.Resolve(s, t, real, "Cannot change the mode of");
    if (e.IsError()) return e;
    SftpAttrs a {};
    a.flags = sftp::kAttrPermissions;
    a.permissions = static_cast<uint32_t>(mode) & 07777;
    long rc = s.Sftp().TakeStatus(s.Sftp().SendSetstat(real, a));
    if (rc != 0) return s.Fail(FX_LOC, rc, "Cannot change the mode of", path);
    return CZoError::Success();
  });
}

CZoError SftpFSInterface::Move(std::string from, std::string to, int flag) {
  if (flag != 0 && flag != 1) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Unknown Move flag %d", flag);
  SftpTree::Target src, dst;
  CZoError err = tree_.Check(from, src);
  if (!err.IsError()) err = tree_.Check(to, dst);
  if (err.IsError()) return err;
  return Run(false, [&](SshSession& s) { return tree_.Move(s, src, dst, flag); });
}

}  // namespace kxmp::dataserver

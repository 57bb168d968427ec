#include "outside/dataserver/sftp/SftpTree.h"

#include "outside/dataserver/ContextState.h"

#include <errno.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "outside/error/FXErrorUtil.h"
#include "outside/util/Fnv1a.h"

namespace kxmp::dataserver {

namespace {

bool IsPrefix(const std::vector<std::string>& prefix, const std::vector<std::string>& comps) {
  return prefix.size() <= comps.size() && std::equal(prefix.begin(), prefix.end(), comps.begin());
}

std::string Join(const std::vector<std::string>& comps, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += "/" + comps[i];
  return out.empty() ? "/" : out;
}

std::string ParentOf(const std::string& serverPath) {
  size_t cut = serverPath.rfind('/');
  return cut == 0 || cut == std::string::npos ? "/" : serverPath.substr(0, cut);
}

constexpr char kAsideSuffix[] = ".kxmp-replaced.tmp";
constexpr char kLongAsideSuffix[] = ".kxmp-long-replaced.tmp";
constexpr size_t kNameMax = 255;

bool EndsWith(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return s.size() > n && s.compare(s.size() - n, n, suffix) == 0;
}

bool Below(const std::string& real, const std::string& base) {
  if (base == "/") return true;
  return real == base || (real.size() > base.size() && real.compare(0, base.size(), base) == 0 && real[base.size()] == '/');
}


}  // namespace

SftpTree::SftpTree(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority,
                   std::shared_ptr<SharedMountPath> cache)
    : ServedPath(params), authority_(std::move(authority)), cache_(std::move(cache)) {}

std::shared_ptr<SharedMountPath> SftpTree::CacheOf(const CFSInitParams& params,
                                                 const std::shared_ptr<const void>& owner) {
  std::shared_ptr<ContextState> state = FindContextState(params);
  return state ? state->Piece<SharedMountPath>(owner) : nullptr;
}

CZoError SftpTree::Check(const std::string& path, Target& out) const {
  out.text = path;
  int e = SplitAbsolute(path, out.comps);
  if (e == EINVAL) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Path holds a NUL character");
  if (e != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "Refused path [%s] of storage host [%s]: not absolute or with a '..' component",
                                   path.c_str(), host_.c_str());
  }
  if (rootCheck_ != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "The served tree [%s] of storage host [%s] is not an absolute path",
                                   rootText_.c_str(), host_.c_str());
  }
  if (!IsPrefix(rootComps_, out.comps)) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "Refused path [%s] of storage host [%s]: outside the served tree [%s]",
                                   path.c_str(), host_.c_str(), rootText_.c_str());
  }
  return CZoError::Success();
}

CZoError SftpTree::Connect(SshSession& s) {
  if (!located_) {
    if (rootCheck_ != 0) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "The served tree [%s] of storage host [%s] is not an absolute path",
                                     rootText_.c_str(), host_.c_str());
    }
    if (!authority_) return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "No mount path authority for [%s]", host_.c_str());
    MountPathChoice choice;
    CZoError err = FindMountPath(authority_.get(), cache_.get(), choice);
    if (err.IsError()) return err;
    mountDepth_ = choice.depth;
    mountText_ = Join(rootComps_, mountDepth_);
    located_ = true;
  }
  if (checkedOn_ == &s) return CZoError::Success();
  // M is resolved and checked once per session; later objects on it take the answer.
  const std::string key = "M\n" + mountText_;
  std::string real = s.Resolved(key);
  if (!real.empty()) {
    mountReal_ = real;
    rootReal_ = s.Resolved("R\n" + rootText_);
    checkedOn_ = &s;
    return CZoError::Success();
  }
  CZoError err = RealPath(s, mountText_, real, "Cannot resolve mount path", mountText_);
  SftpAttrs a {};
  long rc = 0;
  if (!err.IsError()) rc = StatFollow(s, real, a);
  if (FXErrorUtil::IsErrNo(err, ENOENT) || (!err.IsError() && (s.StatusOf(rc) == sftp::kNoSuchFile ||
                                                                (rc == 0 && !IsFolderAttr(a))))) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENODEV, "Mount path [%s] is not present on %s", mountText_.c_str(),
                                   s.Where().c_str());
  }
  if (err.IsError()) return err;
  if (rc != 0) return s.Fail(FX_LOC, rc, "Cannot stat mount path", mountText_);
  mountReal_ = real;
  rootReal_.clear();
  checkedOn_ = &s;
  s.Remember(key, real);
  return CZoError::Success();
}

CZoError SftpTree::RealPath(SshSession& s, const std::string& serverPath, std::string& out, const char* what,
                            const std::string& shown) {
  long rc = s.Sftp().RealPath(serverPath, out);
  if (rc != 0) return s.Fail(FX_LOC, rc, what, shown);
  return CZoError::Success();
}

CZoError SftpTree::Base(SshSession& s, const Target& t, std::string& base) {
  if (t.comps.size() <= rootComps_.size()) {
    base = mountReal_;
    return CZoError::Success();
  }
  if (rootReal_.empty()) {
    std::string real;
    CZoError err = RealPath(s, Join(rootComps_, rootComps_.size()), real, "Cannot resolve the served tree", rootText_);
    if (err.IsError()) return err;
    if (!Below(real, mountReal_)) return s.Refuse(FX_LOC, EACCES, "The served tree leads out of its mount path", rootText_);
    rootReal_ = real;
    s.Remember("R\n" + rootText_, real);
  }
  base = rootReal_;
  return CZoError::Success();
}

std::string SftpTree::ServerText(const std::vector<std::string>& comps, size_t count) const { return Join(comps, count); }

CZoError SftpTree::EntryPath(SshSession& s, const Target& t, std::string& out, const char* what) {
  if (t.comps.size() <= mountDepth_) return s.Refuse(FX_LOC, EACCES, "The mount path itself cannot be changed", t.text);
  std::string base, parent;
  CZoError err = Base(s, t, base);
  if (err.IsError()) return err.Push(FX_LOC, "%s [%s]", what, t.text.c_str());
  if (t.comps.size() == rootComps_.size() + 1) {
    // An entry directly in the served tree (a log file, its temporary name): the tree's
    // resolution, made once per session, is its folder's.
    parent = base;
  } else {
    err = RealPath(s, ServerText(t.comps, t.comps.size() - 1), parent, what, t.text);
    if (err.IsError()) return err;
  }
  if (!Below(parent, base)) return s.Refuse(FX_LOC, EACCES, "A link leads out of the served tree at", t.text);
  out = (parent == "/" ? "" : parent) + "/" + t.comps.back();
  return CZoError::Success();
}

CZoError SftpTree::Resolve(SshSession& s, const Target& t, std::string& out, const char* what) {
  SftpAttrs a {};
  return ResolveWith(s, t, out, what, a);
}

CZoError SftpTree::ResolveWith(SshSession& s, const Target& t, std::string& out, const char* what,
                               SftpAttrs& a, bool reuse) {
  std::string entry;
  if (t.comps.size() <= mountDepth_) {
    entry = mountReal_;
  } else {
    CZoError err = EntryPath(s, t, entry, what);
    if (err.IsError()) return err;
  }
  // A link's resolution was checked against the looker's tree, which may be another: asked again.
  if (reuse && s.LastLook(entry, out, a) && out == entry) return CZoError::Success();
  long rc = 0;
  CZoError err = LstatRecovering(s, entry, a, rc);
  if (err.IsError()) return err;
  if (rc != 0) return s.Fail(FX_LOC, rc, what, t.text);
  if (!IsLinkAttr(a)) {
    out = entry;
    s.NoteLook(entry, out, a);
    return CZoError::Success();
  }
  std::string base, real;
  err = Base(s, t, base);
  if (err.IsError()) return err;
  err = RealPath(s, entry, real, what, t.text);
  if (err.IsError()) return err;
  if (!Below(real, base)) return s.Refuse(FX_LOC, EACCES, "A link leads out of the served tree at", t.text);
  rc = StatFollow(s, real, a);
  if (rc != 0) return s.Fail(FX_LOC, rc, what, t.text);
  out = real;
  s.NoteLook(entry, out, a);
  return CZoError::Success();
}

CZoError SftpTree::VolumePath(SshSession& s, std::string& out) {
  Target root;
  root.text = rootText_;
  root.comps = rootComps_;
  SftpAttrs a {};
  CZoError err = ResolveWith(s, root, out, "Cannot resolve", a);
  if (FXErrorUtil::IsErrNo(err, ENOENT)) {
    out = mountReal_;
    return CZoError::Success();
  }
  return err;
}

long SftpTree::Lstat(SshSession& s, const std::string& p, SftpAttrs& a) { return s.Sftp().Lstat(p, a); }

long SftpTree::StatFollow(SshSession& s, const std::string& p, SftpAttrs& a) { return s.Sftp().Stat(p, a); }

bool SftpTree::IsFolderAttr(const SftpAttrs& a) { return a.IsFolder(); }

bool SftpTree::IsLinkAttr(const SftpAttrs& a) { return a.IsLink(); }

void SftpTree::ToStat(const SftpAttrs& a, SZoFileStat& st) {
  std::memset(&st, 0, sizeof st);
  if (a.flags & sftp::kAttrPermissions) st.st_mode = static_cast<mode_t>(a.permissions);
  if (a.flags & sftp::kAttrSize) st.st_size = static_cast<off_t>(a.size);
  if (a.flags & sftp::kAttrUidGid) {
    st.st_uid = static_cast<uid_t>(a.uid);
    st.st_gid = static_cast<gid_t>(a.gid);
  }
  if (a.flags & sftp::kAttrAcModTime) {
    st.st_atime = static_cast<time_t>(a.atime);
    st.st_mtime = static_cast<time_t>(a.mtime);
    st.st_ctime = static_cast<time_t>(a.mtime);
  }
  st.st_nlink = 1;
  st.st_blksize = 32768;
  st.st_blocks = (st.st_size + 511) / 512;
}

CZoError SftpTree::SyncFolder(SshSession& s, const std::string& serverPath, const std::string& shown, bool keep) {
  SftpChannel& c = s.Sftp();
  long rc = 0;
  if (const std::string kept = keep ? s.KeptFolder(serverPath) : std::string(); !kept.empty()) {
    // fsync of a folder's handle makes every entry it holds now durable, however long it has
    // been open.
    rc = c.Fsync(kept);
    if (rc == 0) return CZoError::Success();
    if (s.Broken()) return s.Fail(FX_LOC, rc, "Cannot sync the folder", shown);
    s.DropFolder(serverPath);  // opened afresh below
  }
  std::string h;
  rc = c.Open(serverPath, sftp::kFxfRead, 0, h);
  if (rc != 0) return s.Fail(FX_LOC, rc, "Cannot open for syncing the folder", shown);
  if (keep) {
    rc = c.Fsync(h);
    if (rc == 0) {
      s.KeepFolder(serverPath, h);
      return CZoError::Success();
    }
    const long closeRc = c.Close(h);
    return s.Fail(FX_LOC, rc != 0 ? rc : closeRc, "Cannot sync the folder", shown);
  }
  // The fsync and the close in one round trip: the server answers them in order.
  const SftpChannel::Id sync = c.SendFsync(h);
  const SftpChannel::Id close = c.SendHandle(sftp::kClose, h);
  rc = c.TakeStatus(sync);
  const long closeRc = c.TakeStatus(close);
  if (rc != 0) return s.Fail(FX_LOC, rc, "Cannot sync the folder", shown);
  if (closeRc != 0) return s.Fail(FX_LOC, closeRc, "Cannot close the folder", shown);
  return CZoError::Success();
}

std::string SftpTree::AsideOf(const std::string& serverPath) {
  const size_t slash = serverPath.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  const std::string name = serverPath.substr(start);
  if (name.size() + sizeof kAsideSuffix - 1 <= kNameMax) return serverPath + kAsideSuffix;
  char hash[20];
  std::snprintf(hash, sizeof hash, ".%016llx", static_cast<unsigned long long>(Fnv1a64(name)));
  const size_t keep = kNameMax - (sizeof kLongAsideSuffix - 1) - std::strlen(hash);
  return serverPath.substr(0, start) + name.substr(0, keep) + hash + kLongAsideSuffix;
}

bool SftpTree::AsideOwner(const std::string& name, std::string& owner) {
  if (!EndsWith(name, kAsideSuffix)) return false;
  owner = name.substr(0, name.size() - (sizeof kAsideSuffix - 1));
  return true;
}

CZoError SftpTree::LstatRecovering(SshSession& s, const std::string& serverPath, SftpAttrs& a, long& rc) {
  rc = Lstat(s, serverPath, a);
  // Present: what a stopped replacing Move may have left aside is older, and is cleared by the
  // next change of the name or listing of its folder; reading the name needs none of that.
  if (rc == 0 || s.StatusOf(rc) != sftp::kNoSuchFile) return CZoError::Success();
  bool may = true;
  CZoError err = MayHaveAside(s, ParentOf(serverPath), may);
  if (err.IsError() || !may) return err;
  const std::string aside = AsideOf(serverPath);
  SftpAttrs b {};
  const long asideRc = Lstat(s, aside, b);
  if (s.StatusOf(asideRc) == sftp::kNoSuchFile) return CZoError::Success();  // absent indeed
  err = Recover(s, serverPath);
  if (err.IsError()) return err;
  rc = Lstat(s, serverPath, a);
  return CZoError::Success();
}

CZoError SftpTree::MayHaveAside(SshSession& s, const std::string& folder, bool& may) {
  const std::string key = "A\n" + folder;
  const std::string known = s.Resolved(key);
  may = known != "none";
  if (!known.empty()) return CZoError::Success();
  // Once per session and folder: a listing that shows no set-aside entry spares every later
  // look for one there. A folder too large to list cheaply is looked at entry by entry.
  constexpr size_t kListed = 5000;
  SftpChannel& c = s.Sftp();
  std::string h;
  long rc = c.OpenDir(folder, h);
  if (rc != 0) return s.Broken() ? s.Fail(FX_LOC, rc, "Cannot read folder", folder) : CZoError::Success();
  bool seen = false;
  size_t count = 0;
  std::vector<SftpName> names;
  while (!seen) {
    rc = c.TakeNames(c.SendHandle(sftp::kReaddir, h), names);
    if (rc <= 0) break;
    for (const SftpName& n : names) {
      if (EndsWith(n.name, kAsideSuffix) || EndsWith(n.name, kLongAsideSuffix) || ++count > kListed) {
        seen = true;
        break;
      }
    }
  }
  s.CloseLater(h);
  if (rc < 0 && !seen) return s.Broken() ? s.Fail(FX_LOC, rc, "Cannot read folder", folder) : CZoError::Success();
  may = seen;
  s.Remember(key, seen ? "some" : "none");
  return CZoError::Success();
}

void SftpTree::NoteAside(SshSession& s, const std::string& folder) { s.Remember("A\n" + folder, "some"); }

CZoError SftpTree::Recover(SshSession& s, const std::string& serverPath) {
  bool may = true;
  CZoError err = MayHaveAside(s, ParentOf(serverPath), may);
  if (err.IsError() || !may) return err;
  const std::string aside = AsideOf(serverPath);
  SftpAttrs a {}, b {};
  long rc = Lstat(s, aside, a);
  if (s.StatusOf(rc) == sftp::kNoSuchFile) return CZoError::Success();
  if (rc != 0) return s.Fail(FX_LOC, rc, "Cannot check for a replaced entry", aside);
  rc = Lstat(s, serverPath, b);
  if (rc == 0) {
    // The new version is in place: the old one is no longer needed.
    rc = IsFolderAttr(a) ? s.Sftp().Rmdir(aside) : s.Sftp().Remove(aside);
    if (rc != 0) return s.Fail(FX_LOC, rc, "Cannot remove the replaced entry", aside);
  } else if (s.StatusOf(rc) == sftp::kNoSuchFile) {
    // Stopped before the new version came in: the old one goes back.
    rc = s.Sftp().Rename(aside, serverPath);
    if (rc != 0) return s.Fail(FX_LOC, rc, "Cannot put back the replaced entry", serverPath);
  } else {
    return s.Fail(FX_LOC, rc, "Cannot check", serverPath);
  }
  return SyncFolder(s, ParentOf(serverPath), ParentOf(serverPath));
}

CZoError SftpTree::MakeFolders(SshSession& s, const Target& t, bool withParents) {
  const size_t n = t.comps.size();
  auto existing = [&](const Target& at) {
    std::string real;
    SftpAttrs a {};
    CZoError err = ResolveWith(s, at, real, "Cannot create folder", a);
    if (err.IsError() && !FXErrorUtil::IsErrNo(err, ENOENT)) return err;
    int e = !err.IsError() && IsFolderAttr(a) ? EEXIST : ENOTDIR;
    return s.Refuse(FX_LOC, e, "Cannot create folder", t.text);
  };
  if (n <= mountDepth_) return existing(t);
  size_t first = n;  // the first component to create
  if (withParents) {
    // The deepest existing folder on the way down from M (which exists).
    for (first = mountDepth_ + 1; first <= n; ++first) {
      Target prefix;
      prefix.comps.assign(t.comps.begin(), t.comps.begin() + static_cast<long>(first));
      prefix.text = Join(prefix.comps, first);
      std::string real;
      SftpAttrs a {};
      CZoError err = ResolveWith(s, prefix, real, "Cannot create folder", a);
      if (FXErrorUtil::IsErrNo(err, ENOENT)) break;
      if (err.IsError()) return err;
      if (!IsFolderAttr(a)) return s.Refuse(FX_LOC, ENOTDIR, "Cannot create folder", t.text);
    }
    if (first > n) return s.Refuse(FX_LOC, EEXIST, "Cannot create folder", t.text);
  }
  for (size_t i = first; i <= n; ++i) {
    Target level;
    level.comps.assign(t.comps.begin(), t.comps.begin() + static_cast<long>(i));
    level.text = Join(level.comps, i);
    std::string entry;
    CZoError err = EntryPath(s, level, entry, "Cannot create folder");
    if (FXErrorUtil::IsErrNo(err, ENOENT) || FXErrorUtil::IsErrNo(err, EIO)) {
      // The folder holding it is missing (ENOENT) or not a folder (the server's realpath fails).
      Target parent = level;
      parent.comps.pop_back();
      parent.text = Join(parent.comps, parent.comps.size());
      std::string real;
      SftpAttrs a {};
      CZoError perr = ResolveWith(s, parent, real, "Cannot create folder", a);
      if (!perr.IsError() && !IsFolderAttr(a)) return s.Refuse(FX_LOC, ENOTDIR, "Cannot create folder", t.text);
      return err;
    }
    if (err.IsError()) return err;
    long rc = s.Sftp().Mkdir(entry, 0750);
    if (rc != 0) {
      if (s.StatusOf(rc) != sftp::kFailure && s.StatusOf(rc) != sftp::kFileAlreadyExists) {
        return s.Fail(FX_LOC, rc, "Cannot create folder", level.text);
      }
      CZoError ex = existing(level);
      if (i == n || !FXErrorUtil::IsErrNo(ex, EEXIST)) return ex;
      continue;  // made meanwhile by someone else
    }
    err = SyncFolder(s, ParentOf(entry), Join(level.comps, i - 1));
    if (err.IsError()) return err;
  }
  return CZoError::Success();
}

CZoError SftpTree::Move(SshSession& s, const Target& from, const Target& to, int flag) {
  std::string src, dst;
  CZoError err = EntryPath(s, from, src, "Cannot move");
  if (!err.IsError()) err = EntryPath(s, to, dst, "Cannot move to");
  // A version of the target that a stopped replacing Move left aside comes back first, so
  // that it is neither lost under a new file nor taken for a free name.
  if (!err.IsError()) err = Recover(s, dst);
  if (err.IsError()) return err;
  auto rename = [&](const std::string& a, const std::string& b) { return s.Sftp().Rename(a, b); };
  auto moveFailed = [&](long why) {
    SftpAttrs now {};
    int e = Lstat(s, dst, now) == 0 && s.StatusOf(why) == sftp::kFailure ? EEXIST : 0;
    return s.Fail(FX_LOC, why, "Cannot move", from.text + "] to [" + to.text, e);
  };
  auto syncFolders = [&] {
    // The new name and the removal of the old one must both reach the disk.
    CZoError synced = SyncFolder(s, ParentOf(dst), to.text, Kept(ParentOf(dst)));
    if (!synced.IsError() && ParentOf(src) != ParentOf(dst)) {
      synced = SyncFolder(s, ParentOf(src), from.text, Kept(ParentOf(src)));
    }
    return synced;
  };
  if (flag == 1 && src != dst) {
    // The plain rename never replaces: the server's refusal and the rename are one step.
    // Within a kept folder its fsync goes out behind the rename (one round trip); the
    // server handles them in order, so it syncs what the rename did.
    const std::string kept = ParentOf(src) == ParentOf(dst) ? s.KeptFolder(ParentOf(dst)) : std::string();
    SftpChannel& c = s.Sftp();
    const SftpChannel::Id renamed = c.SendRename(src, dst);
    long synced = -1;
    if (!kept.empty()) {
      const SftpChannel::Id sync = c.SendFsync(kept);
      const long rc = c.TakeStatus(renamed);
      synced = c.TakeStatus(sync);
      if (rc != 0) return moveFailed(rc);
    } else {
      const long rc = c.TakeStatus(renamed);
      if (rc != 0) return moveFailed(rc);
    }
    if (synced == 0) return CZoError::Success();
    return syncFolders();  // not sent, or failed: the folder is synced on its own
  }

  err = Recover(s, src);
  if (err.IsError()) return err;
  SftpAttrs sa {}, da {};
  long rc = Lstat(s, src, sa);
  if (rc != 0) return s.Fail(FX_LOC, rc, "Cannot move", from.text);
  if (src == dst) return CZoError::Success();

  rc = Lstat(s, dst, da);
  const bool replace = rc == 0;
  if (rc != 0 && s.StatusOf(rc) != sftp::kNoSuchFile) return s.Fail(FX_LOC, rc, "Cannot move to", to.text);
  if (replace && flag == 1) return s.Refuse(FX_LOC, EEXIST, "Cannot move", from.text + "] to [" + to.text);
  if (!replace) {
    rc = rename(src, dst);
    if (rc != 0) return moveFailed(rc);
  } else {
    // The same rules as rename(2) for what may replace what.
    if (IsFolderAttr(da) && !IsFolderAttr(sa)) return s.Refuse(FX_LOC, EISDIR, "Cannot move a file over the folder", to.text);
    if (!IsFolderAttr(da) && IsFolderAttr(sa)) return s.Refuse(FX_LOC, ENOTDIR, "Cannot move a folder over the file", to.text);
    const std::string aside = AsideOf(dst);
    NoteAside(s, ParentOf(dst));  // should this stop half-way, the folder is looked at again
    rc = rename(dst, aside);
    if (rc != 0) return s.Fail(FX_LOC, rc, "Cannot set aside the entry to replace", to.text);
    rc = rename(src, dst);
    if (rc != 0) {
      CZoError moveErr = s.Fail(FX_LOC, rc, "Cannot move", from.text + "] to [" + to.text);
      if (!s.Broken()) rename(aside, dst);  // the old version back under its name
      return moveErr;
    }
    rc = IsFolderAttr(da) ? s.Sftp().Rmdir(aside) : s.Sftp().Remove(aside);
    if (rc != 0) return s.Fail(FX_LOC, rc, "Moved, but cannot remove the replaced entry", to.text);
  }
  return syncFolders();
}

}  // namespace kxmp::dataserver

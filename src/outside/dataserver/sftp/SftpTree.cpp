#include "outside/dataserver/sftp/SftpTree.h"

#include "outside/dataserver/ContextState.h"

#include <errno.h>

#include <algorithm>
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
    rootReal_ = rootComps_.size() == mountDepth_ ? real : s.Resolved(RootKey());
    checkedOn_ = &s;
    return CZoError::Success();
  }
  // Its realpath and its stat (by the same path, which the server resolves alike) in one
  // round trip, with the first looks every run makes below it (see SendAhead).
  SftpChannel& c = s.Sftp();
  const SftpChannel::Id resolving = c.SendPath(sftp::kRealpath, mountText_);
  const SftpChannel::Id looking = c.SendPath(sftp::kStat, mountText_);
  Ahead ahead;
  SendAhead(s, ahead);
  std::vector<SftpName> names;
  const long realRc = c.TakeNames(resolving, names);
  SftpAttrs a {};
  long rc = c.TakeAttrs(looking, a);
  CZoError err = CZoError::Success();
  if (realRc < 0) {
    err = s.Fail(FX_LOC, realRc, "Cannot resolve mount path", mountText_);
  } else if (names.size() != 1) {
    err = s.Refuse(FX_LOC, EPROTO, "The server broke the SFTP protocol resolving", mountText_);
  } else {
    real = names[0].name;
  }
  bool present = true;
  if (FXErrorUtil::IsErrNo(err, ENOENT) || (!err.IsError() && (s.StatusOf(rc) == sftp::kNoSuchFile ||
                                                                (rc == 0 && !IsFolderAttr(a))))) {
    present = false;
  } else if (!err.IsError() && rc != 0) {
    err = s.Fail(FX_LOC, rc, "Cannot stat mount path", mountText_);
  }
  if (!present || err.IsError()) {
    DropAhead(s, ahead);
    if (!present) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENODEV, "Mount path [%s] is not present on %s", mountText_.c_str(),
                                     s.Where().c_str());
    }
    return err;
  }
  mountReal_ = real;
  s.Remember(key, real);
  TakeAhead(s, ahead);
  rootReal_ = rootComps_.size() == mountDepth_ ? real : s.Resolved(RootKey());
  checkedOn_ = &s;
  return CZoError::Success();
}

void SftpTree::SendAhead(SshSession& s, Ahead& ahead) {
  // Every run looks next at the served tree (its folder's realpath, the tree, its set-aside
  // name) and makes it when missing: those looks go out now, with each folder between M and
  // the tree (to see what is missing), and the tree opened to be kept for syncing. Answers are
  // keyed by the paths as written: where a link makes the server's paths differ they simply
  // go unused.
  const size_t depth = rootComps_.size();
  if (depth <= mountDepth_) return;
  SftpChannel& c = s.Sftp();
  if (depth - 1 > mountDepth_ && s.Resolved("R\n" + Join(rootComps_, depth - 1)).empty()) {
    ahead.parentText = Join(rootComps_, depth - 1);
    ahead.parent = c.SendPath(sftp::kRealpath, ahead.parentText);
  }
  for (size_t level = mountDepth_ + 1; level <= depth; ++level) {
    const std::string text = Join(rootComps_, level);
    ahead.looks.emplace_back(text, c.SendPath(sftp::kLstat, text));
  }
  ahead.looks.emplace_back(AsideOf(RootPath()), c.SendPath(sftp::kLstat, AsideOf(RootPath())));
  ahead.open = c.SendOpen(RootPath(), sftp::kFxfRead, SftpAttrs {});
}

void SftpTree::DropAhead(SshSession& s, Ahead& ahead) {
  SftpChannel& c = s.Sftp();
  if (ahead.parent != 0) c.Forget(ahead.parent);
  for (const auto& look : ahead.looks) c.Forget(look.second);
  std::string h;
  if (ahead.open != 0 && c.TakeHandle(ahead.open, h) == 0) s.CloseLater(h);
  ahead = Ahead {};
}

void SftpTree::TakeAhead(SshSession& s, Ahead& ahead) {
  if (ahead.looks.empty()) return;
  SftpChannel& c = s.Sftp();
  // The folder holding the tree: kept for the session when it lies inside M, as FolderReal
  // would keep it.
  std::string parentReal = ahead.parent == 0 ? (rootComps_.size() - 1 == mountDepth_ ? mountReal_ : std::string()) : "";
  if (ahead.parent != 0) {
    std::vector<SftpName> names;
    if (c.TakeNames(ahead.parent, names) >= 0 && names.size() == 1 && Below(names[0].name, mountReal_)) {
      parentReal = names[0].name;
      s.Remember("R\n" + ahead.parentText, parentReal);
    }
  }
  std::map<std::string, SshSession::AheadLook> looks;
  for (const auto& [path, id] : ahead.looks) {
    SshSession::AheadLook look;
    look.rc = c.TakeAttrs(id, look.attrs);
    if (s.Broken()) break;
    looks[path] = look;
  }
  std::string h;
  const long openRc = c.TakeHandle(ahead.open, h);
  ahead = Ahead {};
  if (s.Broken()) return;
  // The tree's handle is kept when it is the very folder its path names within M: a plain
  // folder in a folder that resolves to its own path.
  const std::string root = RootPath();
  const auto it = looks.find(root);
  const bool plain = it != looks.end() && it->second.rc == 0 && IsFolderAttr(it->second.attrs) &&
                     parentReal + "/" + rootComps_.back() == root;
  if (openRc == 0) {
    if (plain && s.KeptFolder(root).empty()) {
      s.KeepFolder(root, h);
    } else {
      s.CloseLater(h);
    }
  }
  s.NoteAhead(std::move(looks));
}

std::string SftpTree::RootKey() const { return "R\n" + RootPath(); }

std::string SftpTree::RootPath() const { return Join(rootComps_, rootComps_.size()); }

CZoError SftpTree::RealPath(SshSession& s, const std::string& serverPath, std::string& out, const char* what,
                            const std::string& shown) {
  long rc = s.Sftp().RealPath(serverPath, out);
  if (rc != 0) return s.Fail(FX_LOC, rc, what, shown);
  return CZoError::Success();
}

CZoError SftpTree::Base(SshSession& s, const Target& t, std::string& base) { return BaseAt(s, t.comps.size(), base); }

CZoError SftpTree::BaseAt(SshSession& s, size_t depth, std::string& base) {
  if (depth <= rootComps_.size()) {
    base = mountReal_;
    return CZoError::Success();
  }
  if (rootReal_.empty()) {
    std::string real;
    CZoError err = RealPath(s, Join(rootComps_, rootComps_.size()), real, "Cannot resolve the served tree", rootText_);
    if (err.IsError()) return err;
    if (!Below(real, mountReal_)) return s.Refuse(FX_LOC, EACCES, "The served tree leads out of its mount path", rootText_);
    rootReal_ = real;
    s.Remember(RootKey(), real);
  }
  base = rootReal_;
  return CZoError::Success();
}

CZoError SftpTree::FolderReal(SshSession& s, const Target& t, size_t count, std::string& real) {
  if (count <= mountDepth_) {
    real = mountReal_;
    return CZoError::Success();
  }
  if (count == rootComps_.size()) return BaseAt(s, count + 1, real);
  // The folders between M and R hold R: within a session they are taken as they were first
  // resolved, as R itself is. Deeper ones are the served tree's own and asked each time.
  const std::string text = Join(t.comps, count);
  const std::string key = "R\n" + text;
  if (count < rootComps_.size()) {
    real = s.Resolved(key);
    if (!real.empty()) return CZoError::Success();
  }
  std::string base;
  CZoError err = BaseAt(s, count, base);
  if (!err.IsError()) err = RealPath(s, text, real, "Cannot resolve", text);
  if (err.IsError()) return err;
  if (!Below(real, base)) return s.Refuse(FX_LOC, EACCES, "A link leads out of the served tree at", text);
  if (count < rootComps_.size()) s.Remember(key, real);
  return CZoError::Success();
}

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
    err = FolderReal(s, t, t.comps.size() - 1, parent);
    if (err.IsError()) return err.Push(FX_LOC, "%s [%s]", what, t.text.c_str());
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
    // R or a folder above it, found as a folder in a resolved folder: that is its realpath.
    const size_t depth = t.comps.size();
    if (depth > mountDepth_ && depth <= rootComps_.size() && IsFolderAttr(a)) {
      if (depth == rootComps_.size()) rootReal_ = entry;
      s.Remember(depth == rootComps_.size() ? RootKey() : "R\n" + Join(t.comps, depth), entry);
    }
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

long SftpTree::Lstat(SshSession& s, const std::string& p, SftpAttrs& a) {
  SshSession::AheadLook look;
  if (s.Ahead(p, look)) {
    a = look.attrs;
    return look.rc;
  }
  return s.Sftp().Lstat(p, a);
}

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
  FolderSync sync{h, shown};
  uint32_t ids[2];
  SendSync(s, sync, ids);
  return FinishSync(s, sync, ids);
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
  if (known == "none" || known == "some") return CZoError::Success();
  // Outside the served tree's own folder a name is often looked up once a session: the first
  // look is at the aside name itself, a second one in the folder lists it.
  if (known.empty() && !Kept(folder)) {
    s.Remember(key, "once");
    return CZoError::Success();
  }
  // Once per session and folder: a listing that shows no set-aside entry spares every later
  // look for one there. A folder too large to list cheaply is looked at entry by entry.
  constexpr size_t kListed = 5000;
  SftpChannel& c = s.Sftp();
  std::string h;
  long rc = c.OpenDir(folder, h);
  if (rc != 0) {
    if (s.Broken()) return s.Fail(FX_LOC, rc, "Cannot read folder", folder);
    may = s.StatusOf(rc) != sftp::kNoSuchFile;  // no folder holds nothing
    return CZoError::Success();
  }
  bool seen = false;
  size_t count = 0;
  std::vector<SftpName> names;
  // Two pages asked at a time: a small folder's names and its end come in one round trip.
  for (bool more = true; more && !seen;) {
    const SftpChannel::Id pages[2] = {c.SendHandle(sftp::kReaddir, h), c.SendHandle(sftp::kReaddir, h)};
    for (const SftpChannel::Id page : pages) {
      if (!more || seen) {
        c.Forget(page);
        continue;
      }
      rc = c.TakeNames(page, names);
      more = rc > 0;
      for (size_t i = 0; more && i < names.size() && !seen; ++i) {
        seen = EndsWith(names[i].name, kAsideSuffix) || EndsWith(names[i].name, kLongAsideSuffix) || ++count > kListed;
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

void SftpTree::SendSync(SshSession& s, FolderSync& sync, uint32_t ids[2]) {
  ids[0] = ids[1] = 0;
  if (sync.handle.empty()) return;
  ids[0] = s.Sftp().SendFsync(sync.handle);
  ids[1] = s.Sftp().SendHandle(sftp::kClose, sync.handle);
}

CZoError SftpTree::FinishSync(SshSession& s, FolderSync& sync, const uint32_t ids[2]) {
  if (ids[0] == 0) return CZoError::Success();
  const long rc = s.Sftp().TakeStatus(ids[0]);
  const long closeRc = s.Sftp().TakeStatus(ids[1]);
  const std::string shown = sync.shown;
  sync = FolderSync{};
  if (rc != 0) return s.Fail(FX_LOC, rc, "Cannot sync the folder", shown);
  if (closeRc != 0) return s.Fail(FX_LOC, closeRc, "Cannot close the folder", shown);
  return CZoError::Success();
}

CZoError SftpTree::MakeLevel(SshSession& s, const Target& t, size_t level, bool withParents, std::string& real,
                             bool& existed, FolderSync& sync) {
  Target at;
  at.comps.assign(t.comps.begin(), t.comps.begin() + static_cast<long>(level));
  at.text = Join(at.comps, level);
  const std::string parentText = Join(at.comps, level - 1);
  // Whatever fails on the way: a folder on the way that is a file is ENOTDIR, as locally.
  auto refined = [&](CZoError err) {
    if (s.Broken() || !(FXErrorUtil::IsErrNo(err, ENOENT) || FXErrorUtil::IsErrNo(err, EIO))) return err;
    Target parent = at;
    parent.comps.pop_back();
    parent.text = parentText;
    std::string r;
    SftpAttrs a {};
    CZoError perr = ResolveWith(s, parent, r, "Cannot create folder", a);
    if (!perr.IsError() && !IsFolderAttr(a)) return s.Refuse(FX_LOC, ENOTDIR, "Cannot create folder", t.text);
    return err;
  };
  // What was made or found: the folders between M and R are taken as they are for the session.
  auto found = [&](const std::string& r, bool was) {
    real = r;
    existed = was;
    if (level == rootComps_.size()) rootReal_ = r;
    if (level <= rootComps_.size()) s.Remember(level == rootComps_.size() ? RootKey() : "R\n" + at.text, r);
  };
  const bool parents = withParents && level - 1 > mountDepth_;
  std::string parent;
  CZoError err = FolderReal(s, at, level - 1, parent);
  bool again = parents;
  if (parents && FXErrorUtil::IsErrNo(err, ENOENT) && !s.Broken()) {
    bool parentExisted = false;
    err = MakeLevel(s, t, level - 1, true, parent, parentExisted, sync);
    again = false;
  }
  if (err.IsError()) return refined(err);
  std::string entry = (parent == "/" ? "" : parent) + "/" + at.comps.back();
  SftpChannel& c = s.Sftp();
  for (;; again = false) {
    // The previous level's sync, this folder's parent opened for its own, and the mkdir go out
    // together; the parent's fsync follows once the mkdir is answered (at once when kept).
    uint32_t prev[2];
    SendSync(s, sync, prev);
    const std::string kept = s.KeptFolder(parent);
    const SftpChannel::Id open = kept.empty() ? c.SendOpen(parent, sftp::kFxfRead, SftpAttrs {}) : 0;
    const SftpChannel::Id made = c.SendMkdir(entry, 0750);
    const SftpChannel::Id keptSync = kept.empty() ? 0 : c.SendFsync(kept);
    CZoError prevErr = FinishSync(s, sync, prev);
    std::string h;
    const long openRc = open != 0 ? c.TakeHandle(open, h) : 0;
    const long rc = c.TakeStatus(made);
    const long keptRc = keptSync != 0 ? c.TakeStatus(keptSync) : 0;
    if (rc != 0 && open != 0 && openRc == 0) s.CloseLater(h);
    if (prevErr.IsError()) {
      if (rc == 0 && open != 0 && openRc == 0) s.CloseLater(h);
      return prevErr;
    }
    if (rc == 0) {
      found(entry, false);
      // A folder just made holds nothing set aside.
      s.Remember("A\n" + entry, "none");
      if (open != 0 && openRc == 0) {
        sync = FolderSync{h, parentText};
        return CZoError::Success();
      }
      if (!kept.empty() && keptRc == 0) return CZoError::Success();
      return SyncFolder(s, parent, parentText);
    }
    if (s.StatusOf(rc) == sftp::kNoSuchFile && again) {
      // The parent is missing: made first (or found made meanwhile), then this level again.
      bool parentExisted = false;
      err = MakeLevel(s, t, level - 1, true, parent, parentExisted, sync);
      if (err.IsError()) return err;
      entry = (parent == "/" ? "" : parent) + "/" + at.comps.back();
      continue;
    }
    if (s.StatusOf(rc) != sftp::kFailure && s.StatusOf(rc) != sftp::kFileAlreadyExists) {
      return refined(s.Fail(FX_LOC, rc, "Cannot create folder", at.text));
    }
    break;
  }
  // Refused: one look at what is there (a folder, or a link to one inside).
  SftpAttrs a {};
  const long rc = Lstat(s, entry, a);
  if (rc != 0) return refined(s.Fail(FX_LOC, rc, "Cannot create folder", at.text));
  std::string resolved = entry;
  if (IsLinkAttr(a)) {
    std::string base;
    err = BaseAt(s, level, base);
    if (!err.IsError()) err = RealPath(s, entry, resolved, "Cannot create folder", at.text);
    if (err.IsError()) return err;
    if (!Below(resolved, base)) return s.Refuse(FX_LOC, EACCES, "A link leads out of the served tree at", at.text);
    const long src = StatFollow(s, resolved, a);
    if (src != 0) return s.Fail(FX_LOC, src, "Cannot create folder", at.text);
  }
  if (!IsFolderAttr(a)) return s.Refuse(FX_LOC, ENOTDIR, "Cannot create folder", t.text);
  found(resolved, true);
  return CZoError::Success();
}

CZoError SftpTree::MakeFolders(SshSession& s, const Target& t, bool withParents) {
  const size_t n = t.comps.size();
  if (n <= mountDepth_) {
    std::string real;
    SftpAttrs a {};
    CZoError err = ResolveWith(s, t, real, "Cannot create folder", a);
    if (err.IsError() && !FXErrorUtil::IsErrNo(err, ENOENT)) return err;
    int e = !err.IsError() && IsFolderAttr(a) ? EEXIST : ENOTDIR;
    return s.Refuse(FX_LOC, e, "Cannot create folder", t.text);
  }
  bool made = false;
  CZoError chained = MakeChain(s, t, withParents, made);
  if (chained.IsError() || made) return chained;
  // From the target up only as far as folders are missing: the common case makes one folder.
  FolderSync sync;
  std::string real;
  bool existed = false;
  CZoError err = MakeLevel(s, t, n, withParents, real, existed, sync);
  uint32_t ids[2];
  SendSync(s, sync, ids);
  CZoError synced = FinishSync(s, sync, ids);
  if (err.IsError()) return err;
  if (synced.IsError()) return synced;
  if (existed) return s.Refuse(FX_LOC, EEXIST, "Cannot create folder", t.text);
  return CZoError::Success();
}

CZoError SftpTree::MakeChain(SshSession& s, const Target& t, bool withParents, bool& made) {
  made = false;
  // Only where the session's first looks answered for every folder from M down to the target,
  // on paths the server takes as written (M is its own realpath, every folder found is a plain
  // one): the missing ones are then known without asking.
  const size_t n = t.comps.size();
  if (mountReal_ != mountText_) return CZoError::Success();
  size_t have = mountDepth_;  // the deepest folder that exists
  for (size_t level = mountDepth_ + 1; level <= n; ++level) {
    SshSession::AheadLook look;
    if (!s.Ahead(Join(t.comps, level), look, true)) return CZoError::Success();
    if (look.rc == 0 && IsFolderAttr(look.attrs) && have == level - 1) {
      have = level;
    } else if (s.StatusOf(look.rc) != sftp::kNoSuchFile || have == level) {
      return CZoError::Success();  // anything else is told apart as ever
    }
  }
  if (have == n || (!withParents && have + 1 < n)) return CZoError::Success();
  // One batch: the deepest present folder opened (unless kept), the mkdirs in order, and each
  // new folder opened behind its mkdir; a second batch syncs every folder that got an entry.
  // The server runs them in order, so each open and fsync sees the mkdirs before it.
  SftpChannel& c = s.Sftp();
  const std::string base = Join(t.comps, have);
  const std::string kept = s.KeptFolder(base);
  const SftpChannel::Id baseOpen = kept.empty() ? c.SendOpen(base, sftp::kFxfRead, SftpAttrs {}) : 0;
  std::vector<SftpChannel::Id> mkdirs, opens;
  for (size_t level = have + 1; level <= n; ++level) mkdirs.push_back(c.SendMkdir(Join(t.comps, level), 0750));
  const bool keepTarget = n == rootComps_.size() && s.KeptFolder(RootPath()).empty();
  for (size_t level = have + 1; level <= n; ++level) {
    opens.push_back(level < n || keepTarget ? c.SendOpen(Join(t.comps, level), sftp::kFxfRead, SftpAttrs {}) : 0);
  }
  std::string baseHandle = kept;
  const long baseRc = baseOpen != 0 ? c.TakeHandle(baseOpen, baseHandle) : 0;
  std::vector<long> mkdirRc;
  for (const SftpChannel::Id id : mkdirs) mkdirRc.push_back(c.TakeStatus(id));
  std::vector<std::string> handles(opens.size());
  for (size_t i = 0; i < opens.size(); ++i) {
    if (opens[i] != 0 && c.TakeHandle(opens[i], handles[i]) != 0) handles[i].clear();
  }
  if (baseRc != 0) baseHandle.clear();
  // The syncs: the folder holding each new one, on the handle opened for it (the deepest
  // present folder's may be the session's kept handle, which stays open).
  struct Sync {
    FolderSync folder;
    uint32_t ids[2] = {0, 0};
    bool kept = false;
  };
  std::vector<Sync> syncs;
  for (size_t i = 0; i < mkdirs.size(); ++i) {
    if (mkdirRc[i] != 0) continue;
    Sync sync;
    sync.folder.shown = Join(t.comps, have + i);
    sync.folder.handle = i == 0 ? baseHandle : handles[i - 1];
    sync.kept = i == 0 && baseOpen == 0;
    syncs.push_back(sync);
  }
  for (Sync& sync : syncs) {
    if (!sync.kept) {
      SendSync(s, sync.folder, sync.ids);
    } else if (!sync.folder.handle.empty()) {
      sync.ids[0] = c.SendFsync(sync.folder.handle);
    }
  }
  // What was opened and not synced here is closed without waiting.
  if (baseOpen != 0 && !baseHandle.empty() && (mkdirs.empty() || mkdirRc[0] != 0)) s.CloseLater(baseHandle);
  for (size_t i = 0; i + 1 < handles.size(); ++i) {
    if (!handles[i].empty() && mkdirRc[i + 1] != 0) s.CloseLater(handles[i]);
  }
  CZoError err = CZoError::Success();
  for (Sync& sync : syncs) {
    const std::string shown = sync.folder.shown;
    CZoError synced = CZoError::Success();
    if (sync.ids[0] == 0) {
      synced = SyncFolder(s, shown, shown);  // its open failed: on its own
    } else if (!sync.kept) {
      synced = FinishSync(s, sync.folder, sync.ids);
    } else if (c.TakeStatus(sync.ids[0]) != 0) {
      s.DropFolder(shown);  // a kept handle that failed: synced afresh
      synced = SyncFolder(s, shown, shown);
    }
    if (!err.IsError()) err = synced;
  }
  const std::string target = handles.empty() ? std::string() : handles.back();
  const bool allMade = std::all_of(mkdirRc.begin(), mkdirRc.end(), [](long rc) { return rc == 0; });
  if (keepTarget && !target.empty()) {
    if (allMade && !err.IsError()) {
      s.KeepFolder(RootPath(), target);
    } else {
      s.CloseLater(target);
    }
  }
  for (size_t i = 0; i < mkdirRc.size() && mkdirRc[i] == 0; ++i) {
    // What was made: the folders between M and R are taken as they are for the session, and
    // a folder just made holds nothing set aside.
    const size_t level = have + 1 + i;
    const std::string text = Join(t.comps, level);
    if (level == rootComps_.size()) rootReal_ = text;
    if (level <= rootComps_.size()) s.Remember(level == rootComps_.size() ? RootKey() : "R\n" + text, text);
    s.Remember("A\n" + text, "none");
  }
  if (err.IsError()) return err;
  // A mkdir refused (made meanwhile by another writer, or anything else): the folder-by-folder
  // way tells what is there, as it does without the first looks.
  made = allMade;
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
  // A server that lists posix-rename@openssh.com but refuses it (sftp-server -P) is taken
  // round the set-aside road for the rest of the session.
  const std::string kRefused = "X\nposix-rename";
  if (src != dst && s.HasExtension("posix-rename@openssh.com") && s.Resolved(kRefused).empty()) {
    // rename(2) on the server: the name holds the old version or the new one, never nothing.
    // The folder's fsync goes out behind it when kept, as for the plain rename.
    const std::string kept = ParentOf(src) == ParentOf(dst) ? s.KeptFolder(ParentOf(dst)) : std::string();
    SftpChannel& c = s.Sftp();
    const SftpChannel::Id renamed = c.SendExtended("posix-rename@openssh.com", src, dst);
    const SftpChannel::Id sync = kept.empty() ? 0 : c.SendFsync(kept);
    const long rc = c.TakeStatus(renamed);
    const long synced = sync != 0 ? c.TakeStatus(sync) : -1;
    if (rc == 0) return synced == 0 ? CZoError::Success() : syncFolders();
    const long status = s.StatusOf(rc);
    if (status == sftp::kOpUnsupported || status == sftp::kPermissionDenied) {
      s.Remember(kRefused, "yes");
    } else {
      // The server reports most causes as a bare failure or as no such file (ENOTDIR):
      // told apart as rename(2) tells them.
      SftpAttrs sa {}, da {};
      const long srcRc = s.Broken() ? rc : Lstat(s, src, sa);
      if (srcRc != 0) return s.Fail(FX_LOC, srcRc, "Cannot move", from.text);
      if (!s.Broken() && Lstat(s, dst, da) == 0) {
        if (IsFolderAttr(da) && !IsFolderAttr(sa)) return s.Refuse(FX_LOC, EISDIR, "Cannot move a file over the folder", to.text);
        if (!IsFolderAttr(da) && IsFolderAttr(sa)) return s.Refuse(FX_LOC, ENOTDIR, "Cannot move a folder over the file", to.text);
        if (IsFolderAttr(da)) return s.Refuse(FX_LOC, ENOTEMPTY, "Cannot move a folder over the folder", to.text);
      }
      return s.Fail(FX_LOC, rc, "Cannot move", from.text + "] to [" + to.text);
    }
  }
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

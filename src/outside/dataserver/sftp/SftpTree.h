#pragma once
// The confinement of one SFTP interface object, and the requests both interfaces share.
//
// A path is first checked lexically (absolute, no "..", at or below the served tree R, the
// CFSHost mount path), R must lie below a mount path M the authority lists for the storage
// host (deepest wins). Then it is resolved on the server: the server's realpath of the path
// (or of its folder, for operations on an entry itself) must lie at or below the server's
// realpath of R (paths below R) or of M (paths at or above R), so a link leading out is
// refused (EACCES). Checks made by a client race with changes on the server; the server's
// chroot is the fence, this keeps honest mistakes and planted links out.
//
// M missing on the host: ENODEV for every operation; M is never created, moved or removed.
//
// Moves: the plain SFTP rename (OpenSSH links and unlinks regular files) refuses an existing
// target, which is exactly the non-replacing Move. A replacing Move is posix-rename@openssh.com
// where the server offers it (rename(2): the name never missing). Without it the old entry is
// renamed aside first (AsideOf), the new one renamed in and the aside name removed. A crash in
// between leaves the old version under the aside name (and nothing or the new one under the
// name); Recover, run by every operation on that name, puts it back or removes it, so the name
// always ends with one whole version. Aside names end in ".tmp", which no stored log file's
// name does.

#include <memory>
#include <string>
#include <vector>

#include "outside/dataserver/CFSInitParams.h"
#include "outside/dataserver/CFSInterface.h"
#include "outside/dataserver/MountPathAuthority.h"
#include "outside/dataserver/ServedPath.h"
#include "outside/dataserver/sftp/SshSession.h"
#include "outside/error/CZoError.h"

namespace kxmp::dataserver {

// The lexical half (the served tree, the choice of M) is ServedPath's, as for every backend.
class SftpTree : public ServedPath {
 public:
  SftpTree(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority,
           std::shared_ptr<SharedMountPath> cache = nullptr);
  // The authority's answer kept by the live context with these parameters (owner: the
  // backend), or null: asked once per context, not once per object.
  static std::shared_ptr<SharedMountPath> CacheOf(const CFSInitParams& params, const std::shared_ptr<const void>& owner);

  // Lexical check of a path (EACCES, EINVAL for a NUL).
  CZoError Check(const std::string& path, Target& out) const;
  // Finds M and checks that it exists on the server (ENODEV when not). Per session.
  CZoError Connect(SshSession& s);

  // Server path of the target with links resolved, checked to stay inside; ENOENT when
  // it does not exist.
  CZoError Resolve(SshSession& s, const Target& t, std::string& out, const char* what);
  // The same, with the attributes of what it resolved to. With reuse, a look at the same
  // entry that was the session's last call stands for a new one (see SshSession::LastLook).
  CZoError ResolveWith(SshSession& s, const Target& t, std::string& out, const char* what, SftpAttrs& a,
                       bool reuse = false);
  // Server path of the entry itself: its folder resolved and checked, plus its name.
  // EACCES for M itself and anything above it.
  CZoError EntryPath(SshSession& s, const Target& t, std::string& out, const char* what);
  bool IsMountPath(const Target& t) const { return t.comps.size() == mountDepth_; }
  // The server path of the served tree, or of M while R does not exist.
  CZoError VolumePath(SshSession& s, std::string& out);

  // Creates the target folder (with withParents the missing ones between M and it), syncing
  // each folder that received an entry. mkdir comes first; a refusal is answered by one look
  // at what is there.
  CZoError MakeFolders(SshSession& s, const Target& t, bool withParents);
  // Moves, replacing (flag 0) or refusing (flag 1) an existing target; syncs the folders.
  CZoError Move(SshSession& s, const Target& from, const Target& to, int flag);
  // Puts a replaced entry back, or removes it, after a Move that stopped half-way. Only
  // where one may be (see MayHaveAside), or after NoteAside (a listing showed one).
  CZoError Recover(SshSession& s, const std::string& serverPath);
  // Something may be set aside in the folder: every entry there is looked at again.
  static void NoteAside(SshSession& s, const std::string& folder);
  // Lstat of an entry (the raw result in rc); only when it is missing is a version that a
  // stopped replacing Move left aside looked for and put back (one request for a present
  // entry, two for a missing one where MayHaveAside). The error is the recovery's.
  CZoError LstatRecovering(SshSession& s, const std::string& serverPath, SftpAttrs& a, long& rc);

  // Requests on server paths. Lstat/Stat answer the raw result (SftpChannel).
  static long Lstat(SshSession& s, const std::string& serverPath, SftpAttrs& a);
  static long StatFollow(SshSession& s, const std::string& serverPath, SftpAttrs& a);
  // Opens the folder for reading and fsyncs that handle; with keep the handle stays open on
  // the session for the next sync of that folder.
  static CZoError SyncFolder(SshSession& s, const std::string& serverPath, const std::string& shown, bool keep = false);
  static void ToStat(const SftpAttrs& a, SZoFileStat& st);
  static bool IsFolderAttr(const SftpAttrs& a);
  static bool IsLinkAttr(const SftpAttrs& a);

  // "<name>.kxmp-replaced.tmp" beside the entry; a name too long for that keeps a cut prefix and
  // a hash of the whole name ("<cut>.<16 hex>.kxmp-long-replaced.tmp"), so every name up to 255
  // bytes has an aside name that is itself a valid name.
  static std::string AsideOf(const std::string& serverPath);
  // The entry name whose aside name `name` is, when it is one of a whole name (a listing
  // recovers those); false otherwise.
  static bool AsideOwner(const std::string& name, std::string& owner);

 private:
  CZoError RealPath(SshSession& s, const std::string& serverPath, std::string& out, const char* what,
                    const std::string& shown);
  bool Inside(const std::string& real, const Target& t) const;
  CZoError Base(SshSession& s, const Target& t, std::string& base);
  // The server path of the folder made of the first count components of t, resolved and
  // checked (M's, R's and the folders between them asked once per session).
  CZoError FolderReal(SshSession& s, const Target& t, size_t count, std::string& real);
  // The folder a path at or above R (depth at most R's) must lie in once resolved, else R's.
  CZoError BaseAt(SshSession& s, size_t depth, std::string& base);
  // A folder whose fsync and close go out with the next requests (MakeFolders, SyncFolder).
  struct FolderSync {
    std::string handle;
    std::string shown;
  };
  // Makes (or finds) the folder of the first level components of t; real is its server path.
  CZoError MakeLevel(SshSession& s, const Target& t, size_t level, bool withParents, std::string& real,
                     bool& existed, FolderSync& sync);
  // Makes the missing folders down to t in two round trips when the session's first looks
  // (Connect) showed which are missing; made is false when it did not (or not all): the
  // folder-by-folder way then goes on from what is there.
  CZoError MakeChain(SshSession& s, const Target& t, bool withParents, bool& made);
  // Sends a pending FolderSync's fsync and close; Finish takes their answers.
  static void SendSync(SshSession& s, FolderSync& sync, uint32_t ids[2]);
  static CZoError FinishSync(SshSession& s, FolderSync& sync, const uint32_t ids[2]);
  std::string RootKey() const;
  std::string RootPath() const;
  // The looks sent with the session's first requests (Connect): their ids until taken.
  struct Ahead {
    std::string parentText;
    SftpChannel::Id parent = 0;
    std::vector<std::pair<std::string, SftpChannel::Id>> looks;
    SftpChannel::Id open = 0;
  };
  void SendAhead(SshSession& s, Ahead& ahead);
  void TakeAhead(SshSession& s, Ahead& ahead);
  static void DropAhead(SshSession& s, Ahead& ahead);
  // Whether a stopped replacing Move may have left an entry aside in the folder: false only
  // when this session made it, or its listing showed none (and it set nothing aside there
  // since), or the folder is missing. Outside R's folder the first look is by name (true).
  CZoError MayHaveAside(SshSession& s, const std::string& folder, bool& may);
  // The served tree's own folder, where the files and their temporary names live, is kept
  // open for syncing.
  bool Kept(const std::string& folder) const { return !rootReal_.empty() && folder == rootReal_; }

  std::shared_ptr<MountPathAuthority> authority_;
  std::shared_ptr<SharedMountPath> cache_;

  bool located_ = false;
  size_t mountDepth_ = 0;
  std::string mountText_;
  SshSession* checkedOn_ = nullptr;  // the session M was checked on
  std::string mountReal_;
  std::string rootReal_;
};

}  // namespace kxmp::dataserver

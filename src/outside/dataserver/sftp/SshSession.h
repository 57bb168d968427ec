#pragma once
// One SSH connection to a storage host with its SFTP channel (SftpChannel: our own client of
// the protocol; libssh carries the SSH transport and the login; the host key is judged here
// against the known-hosts file, SshFiles). The session is non-blocking: every libssh call
// runs through Call, and the channel through Wait, which wait on the socket ourselves, each
// wait bounded by the connect timeout while connecting and by the I/O timeout afterwards.
// A timed-out or failed transport marks the session broken (its socket is shut down, so
// later calls fail at once); the owner then drops it and connects again.
//
// libssh reads nothing of the user's: no ssh configuration, no known-hosts file of its own,
// no default identities; every option is set here.
//
// Not thread-safe: the owner (SftpConnection) serialises all use under its mutex.

#include <libssh/libssh.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "outside/dataserver/SshFiles.h"
#include "outside/dataserver/StorageHostNotices.h"
#include "outside/dataserver/sftp/SftpChannel.h"
#include "outside/dataserver/sftp/SftpSettings.h"
#include "outside/error/CZoError.h"

namespace kxmp::dataserver {

class SshSession {
 public:
  using Extensions = std::vector<std::pair<std::string, std::string>>;

  // Connects, verifies the host key against the known-hosts file, authenticates with the
  // identity file (or the agent), lists the server's SFTP extensions and starts SFTP. A
  // server without fsync@openssh.com is refused: nothing written there could be made durable.
  // A host key that is listed as revoked, or that differs from the one listed, also fills
  // mismatch (when given): the operator hears of it as a security matter.
  static CZoError Open(const SftpSettings& settings, const std::string& hostName, std::unique_ptr<SshSession>& out,
                       HostKeyMismatch* mismatch = nullptr);
  ~SshSession();
  SshSession(const SshSession&) = delete;
  SshSession& operator=(const SshSession&) = delete;

  SftpChannel& Sftp() const { return *sftp_; }
  bool Broken() const { return broken_; }
  // Whether a wait for the server expired (the host stopped answering), and why the session
  // broke, for the operator.
  bool TimedOut() const { return timedOut_; }
  const std::string& BrokenBecause() const { return brokenBecause_; }
  // Shuts the socket down: later calls fail at once.
  void MarkBroken();
  const Extensions& ServerExtensions() const { return extensions_; }
  bool HasExtension(const char* name) const;
  const std::string& HostKeyType() const { return hostKeyType_; }
  const std::string& HostKeyFingerprint() const { return fingerprint_; }
  const std::string& Banner() const { return banner_; }
  // "storage host NAME (ADDRESS:PORT)", for messages.
  const std::string& Where() const { return where_; }

  // Runs f until it stops answering `again` (SSH_AGAIN; SSH_AUTH_AGAIN for logins). Returns
  // its result, or SftpChannel::kTimedOut when the server did not answer within the bound
  // (the session is then broken).
  template <typename F>
  long Call(F&& f, long again = SSH_AGAIN) {
    ++calls_;
    for (;;) {
      long rc = static_cast<long>(f());
      if (rc != again) return rc;
      if (!Wait()) return SftpChannel::kTimedOut;
    }
  }

  // The errno a failed call stands for (SFTP status or transport), and its reason text.
  int ErrnoOf(long rc, std::string& reason);
  // The SFTP status behind rc (sftp::k*), or -1 when rc is no SFTP status.
  static long StatusOf(long rc) { return SftpChannel::StatusOf(rc); }
  // An errno-kind error "<what> [<path>] on <where>: <reason>"; transport failures break the
  // session. err overrides the errno when not 0.
  CZoError Fail(const FXCodeLocation& loc, long rc, const char* what, const std::string& path, int err = 0);
  // An errno-kind error "<what> [<path>] on <where>: <strerror>" for a cause found here.
  CZoError Refuse(const FXCodeLocation& loc, int err, const char* what, const std::string& path) const;
  // Whether the failure was the connection going away (worth one reconnect).
  static bool IsDrop(const CZoError& err);

  // Sends a keepalive when one is due; false when the connection is gone.
  bool KeepAlive();

  // What the server resolved a mount path or served tree to on this session ("" when not
  // asked yet): asked once per session, not once per operation.
  std::string Resolved(const std::string& key) const {
    auto it = resolved_.find(key);
    return it == resolved_.end() ? std::string() : it->second;
  }
  void Remember(const std::string& key, const std::string& real) { resolved_[key] = real; }

  // The last look at an entry (its server path, what it resolved to, its attributes), good
  // only while no other call was made on the session since: an open right after a stat of
  // the same entry takes its answer instead of asking again, which is no older than the
  // open's own look would be.
  void NoteLook(const std::string& entry, const std::string& resolved, const SftpAttrs& a) {
    look_ = Look{calls_, entry, resolved, a};
  }
  bool LastLook(const std::string& entry, std::string& resolved, SftpAttrs& a) const {
    if (look_.calls != calls_ || look_.entry != entry || entry.empty()) return false;
    resolved = look_.resolved;
    a = look_.attrs;
    return true;
  }

  // Looks sent ahead with the session's first requests (lstat answers by server path: the raw
  // result and the attributes), good only while no other call was made on the session since,
  // as LastLook: they are no older than a look made then would be. Each answers one look
  // only (a plan made from them, such as which folders to make, may peek: keep): a later
  // look asks the server (which may have gone since).
  struct AheadLook {
    long rc = 0;
    SftpAttrs attrs {};
    bool used = false;
  };
  void NoteAhead(std::map<std::string, AheadLook> looks) {
    ahead_ = std::move(looks);
    aheadCalls_ = calls_;
  }
  bool Ahead(const std::string& serverPath, AheadLook& out, bool keep = false) {
    if (aheadCalls_ != calls_) return false;
    auto it = ahead_.find(serverPath);
    if (it == ahead_.end() || (!keep && it->second.used)) return false;
    out = it->second;
    if (!keep) it->second.used = true;
    return true;
  }

  // Closes a read-only handle without waiting: its answer is dropped when it comes (a
  // read-only close has nothing to report), so the next file's requests go out at once.
  void CloseLater(const std::string& handle);

  // A folder kept open for syncing while the session lives (null when none): each commit in
  // it then costs one fsync request, not an open, an fsync and a close. Closed with the session.
  std::string KeptFolder(const std::string& serverPath) const {
    auto it = folders_.find(serverPath);
    return it == folders_.end() ? std::string() : it->second;
  }
  void KeepFolder(const std::string& serverPath, const std::string& handle) { folders_[serverPath] = handle; }
  // Closes a kept folder (one whose sync failed is not trusted again).
  void DropFolder(const std::string& serverPath);

 private:
  SshSession() = default;
  CZoError Connect(const SftpSettings& settings);
  CZoError SetOptions(const SftpSettings& settings, const std::string& user, const KnownHostsInfo& known);
  CZoError VerifyHostKey(const SftpSettings& settings, const KnownHostsInfo& known, HostKeyMismatch* mismatch);
  CZoError Authenticate(const SftpSettings& settings, const std::string& user);
  // Waits until the socket has input, or room for output while libssh holds some unsent;
  // false when the bound expired or the wait was interrupted.
  bool Wait();
  // Waits (within the bound) until what libssh holds unsent has left; false when it failed.
  bool Settle();
  friend class SftpChannel;

  int fd_ = -1;  // the socket: ours to close, libssh only uses it
  ssh_session session_ = nullptr;
  std::chrono::steady_clock::time_point keepAliveDue_ {};
  std::chrono::seconds keepAliveEvery_ {15};
  std::unique_ptr<SftpChannel> sftp_;
  bool broken_ = false;
  bool timedOut_ = false;
  std::string brokenBecause_;
  bool interrupted_ = false;  // a wait ended because the program was told to stop
  std::chrono::milliseconds waitBound_ {10000};
  int connectTimeoutSec_ = 10;
  std::chrono::steady_clock::time_point connectDeadline_ {};
  bool connecting_ = true;
  std::string where_;
  std::string banner_;
  std::string hostKeyType_;
  std::string fingerprint_;
  Extensions extensions_;
  std::map<std::string, std::string> resolved_;
  std::map<std::string, std::string> folders_;
  unsigned long long calls_ = 0;  // calls made on the session, so a kept look knows it is the last
  std::map<std::string, AheadLook> ahead_;
  unsigned long long aheadCalls_ = ~0ull;
  struct Look {
    unsigned long long calls = ~0ull;
    std::string entry;
    std::string resolved;
    SftpAttrs attrs {};
  } look_;
};

}  // namespace kxmp::dataserver

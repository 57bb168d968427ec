#pragma once
// One SSH connection to a storage host with its SFTP channel. The session is non-blocking:
// every libssh2 call runs through Call/CallPtr, which wait on the socket, each wait bounded by
// the connect timeout while connecting and by the I/O timeout afterwards. A timed-out or
// failed transport marks the session broken (its socket is shut down, so later calls fail at
// once); the owner then drops it and connects again.
//
// Not thread-safe: the owner (SftpConnection) serialises all use under its mutex.

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "outside/dataserver/StorageHostNotices.h"
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

  LIBSSH2_SFTP* Sftp() const { return sftp_; }
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

  // Runs f until it stops answering EAGAIN. Returns its result, or LIBSSH2_ERROR_TIMEOUT
  // when the server did not answer within the bound (the session is then broken).
  template <typename F>
  long Call(F&& f) {
    for (;;) {
      long rc = static_cast<long>(f());
      if (rc != LIBSSH2_ERROR_EAGAIN) return rc;
      if (!Wait()) return LIBSSH2_ERROR_TIMEOUT;
    }
  }
  // The same for calls that return a pointer (null with EAGAIN as the session's last error).
  template <typename T, typename F>
  T* CallPtr(F&& f, long& rc) {
    for (;;) {
      T* p = f();
      if (p != nullptr) {
        rc = 0;
        return p;
      }
      rc = libssh2_session_last_errno(session_);
      if (rc != LIBSSH2_ERROR_EAGAIN) return nullptr;
      if (!Wait()) {
        rc = LIBSSH2_ERROR_TIMEOUT;
        return nullptr;
      }
    }
  }

  // Runs f until its request is wholly sent; EAGAIN then means its answer is still due, to be
  // taken with Call(f). Requests sent this way one after another share one round trip; only
  // when RoomFor(their size) is the order they reach the server certain (a spent channel
  // window would hold one back while a later one goes).
  template <typename F>
  long Send(F&& f) {
    for (;;) {
      long rc = static_cast<long>(f());
      if (rc != LIBSSH2_ERROR_EAGAIN || !(libssh2_session_block_directions(session_) & LIBSSH2_SESSION_BLOCK_OUTBOUND)) {
        return rc;
      }
      if (!Wait()) return LIBSSH2_ERROR_TIMEOUT;
    }
  }
  bool RoomFor(size_t bytes) const {
    return sftp_ != nullptr && libssh2_channel_window_write(libssh2_sftp_get_channel(sftp_)) >= bytes;
  }

  // The errno a failed call stands for (SFTP status or transport), and its reason text.
  int ErrnoOf(long rc, std::string& reason);
  // The SFTP status behind rc (LIBSSH2_FX_*), or -1 when rc is no SFTP status.
  long StatusOf(long rc) const;
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

  // A folder kept open for syncing while the session lives (null when none): each commit in
  // it then costs one fsync request, not an open, an fsync and a close. Closed with the session.
  LIBSSH2_SFTP_HANDLE* KeptFolder(const std::string& serverPath) const {
    auto it = folders_.find(serverPath);
    return it == folders_.end() ? nullptr : it->second;
  }
  void KeepFolder(const std::string& serverPath, LIBSSH2_SFTP_HANDLE* h) { folders_[serverPath] = h; }
  // Closes a kept folder (one whose sync failed is not trusted again).
  void DropFolder(const std::string& serverPath);

 private:
  SshSession() = default;
  CZoError Connect(const SftpSettings& settings);
  struct KnownHostsFile;
  CZoError ReadKnownHosts(const SftpSettings& settings, LIBSSH2_KNOWNHOSTS* hosts, KnownHostsFile& file);
  CZoError VerifyHostKey(const SftpSettings& settings, LIBSSH2_KNOWNHOSTS* hosts, const KnownHostsFile& file,
                         HostKeyMismatch* mismatch);
  CZoError Authenticate(const SftpSettings& settings);
  CZoError ReadExtensions();
  bool Wait();

  int fd_ = -1;
  LIBSSH2_SESSION* session_ = nullptr;
  LIBSSH2_SFTP* sftp_ = nullptr;
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
  std::map<std::string, LIBSSH2_SFTP_HANDLE*> folders_;
};

}  // namespace kxmp::dataserver

#pragma once
// A real OpenSSH server for tests: sshd on a loopback address and an unprivileged port, with
// generated ed25519 host and user keys, a known-hosts file, public keys only, and every
// session chrooted into internal-sftp. The chroot folder must be owned by root and writable
// by no one else on every step of its path, so it lives below a secure base folder (not /tmp)
// and is removed afterwards. Through Chroot() the test sees what the server serves as "/":
// that is the probe of the storage host, never the code under test.

#include <sys/types.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kxmp::test {

class SshServer {
 public:
  explicit SshServer(std::string address = "127.0.0.2");
  ~SshServer();  // stops the server and removes its folders
  SshServer(const SshServer&) = delete;
  SshServer& operator=(const SshServer&) = delete;

  // Why no server can run here ("" when one can): sshd missing, not root, no secure folder.
  static std::string WhyUnavailable();

  // Makes the keys and the configuration (once) and starts sshd; waits (bounded) until it
  // accepts connections. False with the reason in why.
  bool Start(std::string& why);
  // SIGTERM, then SIGKILL when it lingers; the session processes too. Idempotent.
  void Stop();
  // The listener and its session processes: SIGSTOP / SIGCONT / SIGKILL (reaped).
  void Pause();
  void Resume();
  void Kill();
  // Kills the session processes only: open connections drop, the server goes on.
  void DropSessions();
  // Options for internal-sftp (e.g. "-P fsync@openssh.com" to refuse a request); before Start.
  void SetSftpOptions(std::string options) { sftpOptions_ = std::move(options); }
  // Records every SFTP request the server handles (internal-sftp at DEBUG3 logging to the
  // chroot's /dev/log, a socket this object reads); before Start.
  void LogRequests() { logRequests_ = true; }
  // The requests recorded from the offset `from` of the record on, counted by name
  // ("open", "write", "realpath" ...); RequestLogSize() is the offset of the record's end.
  std::map<std::string, size_t> Requests(size_t from = 0);
  size_t RequestLogSize();
  // The same requests one by one, in the order the server handled them: the session (its
  // process id), the name, and what the server said it touched (the line after the request's,
  // e.g. "open \"/disk1/x\" flags READ mode 0100000"; the request's own line for reads and writes).
  struct Request {
    std::string session, name, what;
  };
  std::vector<Request> RequestList(size_t from = 0);
  // Also serve an ECDSA host key that the known-hosts file does not list; before Start.
  void AddUnlistedEcdsaHostKey() { unlistedEcdsa_ = true; }
  bool Running() const { return pid_ > 0; }

  const std::string& Address() const { return address_; }
  int Port() const { return port_; }
  // The folder the server shows as "/".
  const std::string& Chroot() const { return chroot_; }
  const std::string& IdentityFile() const { return identity_; }
  const std::string& KnownHostsFile() const { return knownHosts_; }
  // The user the sessions run as (this process's user).
  std::string User() const;
  // "SHA256:..." of the host key, as ssh-keygen prints it.
  const std::string& HostKeyFingerprint() const { return fingerprint_; }
  // Writes a known-hosts file that lists another key for this server (a changed host key).
  std::string WriteWrongKnownHosts(const std::string& name);
  // The line of the known-hosts file that lists this server's key, with a marker before it
  // ("@revoked", "@cert-authority") when one is given.
  std::string KnownHostsLine(const std::string& marker = "") const;
  // Lets the public key in pubFile log in too.
  bool AuthorizeKey(const std::string& pubFile);
  // sshd's log (stderr).
  std::string Log() const;

 private:
  bool Prepare(std::string& why);
  std::vector<pid_t> Tree() const;
  void SignalTree(int sig) const;

  std::string address_;
  int port_ = 0;
  pid_t pid_ = -1;
  std::string base_;  // secure folder holding keys, config, log and the chroot
  std::string chroot_;
  std::string identity_;
  std::string knownHosts_;
  std::string config_;
  std::string logFile_;
  std::string hostPub_;
  std::string fingerprint_;
  std::string sftpOptions_;
  bool logRequests_ = false;
  // The request record: a socket at <chroot>/dev/log, drained by a thread (a full socket
  // would stall the server).
  void StartRequestLog();
  void DrainRequestLog();
  int logSocket_ = -1;
  std::mutex logMutex_;
  std::string requestLog_;
  std::atomic<bool> stopLog_{false};
  std::thread logThread_;
  bool unlistedEcdsa_ = false;
};

}  // namespace kxmp::test

#include "outside/dataserver/sftp/SshSession.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "outside/error/FXErrorUtil.h"
#include "outside/util/Endian.h"
#include "outside/util/Interruption.h"

namespace kxmp::dataserver {

namespace {

using Clock = std::chrono::steady_clock;

// Ciphers with a built-in MAC first: they cost a fraction of a cipher and an HMAC apart.
constexpr const char* kCiphers =
    "aes128-gcm@openssh.com,aes256-gcm@openssh.com,chacha20-poly1305@openssh.com,aes128-ctr,aes256-ctr";
constexpr const char* kMacs =
    "hmac-sha2-256-etm@openssh.com,hmac-sha2-512-etm@openssh.com,hmac-sha2-256,hmac-sha2-512";
// Asked for when the known-hosts file lists no key type for the host (it is then refused,
// naming the key it offered).
constexpr const char* kAnyHostKey =
    "ssh-ed25519,ecdsa-sha2-nistp256,ecdsa-sha2-nistp384,ecdsa-sha2-nistp521,rsa-sha2-512,rsa-sha2-256";

// Once per process, before the first session (libssh's set-up is not thread-safe).
void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { ssh_init(); });
}

std::string Base64(const unsigned char* data, size_t n) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < n; i += 3) {
    unsigned v = data[i] << 16;
    if (i + 1 < n) v |= data[i + 1] << 8;
    if (i + 2 < n) v |= data[i + 2];
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    if (i + 1 < n) out.push_back(kAlphabet[(v >> 6) & 63]);
    if (i + 2 < n) out.push_back(kAlphabet[v & 63]);
  }
  return out;  // unpadded, as ssh-keygen prints fingerprints
}

// Hashed known-hosts names: HMAC-SHA1 keyed with the entry's salt.
std::string HmacSha1(const std::string& salt, const std::string& name) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  if (HMAC(EVP_sha1(), salt.data(), static_cast<int>(salt.size()), reinterpret_cast<const unsigned char*>(name.data()),
           name.size(), mac, &len) == nullptr) {
    return std::string();
  }
  return std::string(reinterpret_cast<const char*>(mac), len);
}

// The host-key algorithms that yield a key of the types listed; RSA keys sign with SHA-2.
std::string HostKeyAlgorithms(const std::vector<std::string>& types) {
  std::string out;
  for (const std::string& type : types) {
    std::string algorithms;
    if (type == "ssh-rsa") {
      algorithms = "rsa-sha2-512,rsa-sha2-256";
    } else if (type == "ssh-ed25519" || type.rfind("ecdsa-sha2-nistp", 0) == 0) {
      algorithms = type;
    } else {
      continue;  // a type this client cannot check a host by
    }
    if (out.find(algorithms) != std::string::npos) continue;
    out += (out.empty() ? "" : ",") + algorithms;
  }
  return out.empty() ? kAnyHostKey : out;
}

struct KeyFree {
  void operator()(ssh_key k) const { ssh_key_free(k); }
};
using KeyPtr = std::unique_ptr<std::remove_pointer_t<ssh_key>, KeyFree>;

}  // namespace

SshSession::~SshSession() {
  if (session_ != nullptr) {
    // A healthy session is closed politely within a short bound; a broken one fails at once.
    waitBound_ = std::chrono::milliseconds(broken_ ? 0 : 1000);
    if (sftp_ != nullptr) {
      if (!broken_) {
        for (const auto& kept : folders_) sftp_->Forget(sftp_->SendHandle(sftp::kClose, kept.second));
      }
      sftp_->Shutdown();
      sftp_.reset();  // the channel goes before its session
    }
    // libssh writes the goodbye at once only when told the socket has room (it drops what it
    // still holds on disconnecting).
    pollfd p {fd_, POLLOUT, 0};
    if (!broken_ && Settle() && ::poll(&p, 1, static_cast<int>(waitBound_.count())) > 0) {
      ssh_set_fd_towrite(session_);
      ssh_disconnect(session_);
    }
    ssh_free(session_);  // leaves the socket, which is ours, open
  }
  if (fd_ >= 0) ::close(fd_);
}

void SshSession::DropFolder(const std::string& serverPath) {
  auto it = folders_.find(serverPath);
  if (it == folders_.end()) return;
  const std::string h = it->second;
  folders_.erase(it);
  sftp_->Close(h);
}

void SshSession::CloseLater(const std::string& handle) {
  // The answer is dropped when it comes; the request goes out with the next ones at the latest.
  sftp_->Forget(sftp_->SendHandle(sftp::kClose, handle));
}

void SshSession::MarkBroken() {
  if (!broken_ && fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  broken_ = true;
}

bool SshSession::HasExtension(const char* name) const {
  for (const auto& e : extensions_) {
    if (e.first == name) return true;
  }
  return false;
}

bool SshSession::Wait() {
  if (broken_ && waitBound_.count() == 0) return false;
  auto bound = waitBound_;
  if (connecting_) {
    bound = std::chrono::duration_cast<std::chrono::milliseconds>(connectDeadline_ - Clock::now());
    if (bound.count() <= 0) return false;
  }
  // Input is always awaited (answers, window adjustments, the key exchange); room for output
  // only while libssh holds some unsent, which the next call on the session then sends.
  // libssh's flag for that outlives the output it stood for: a flush (one round, which sends
  // what the socket takes now) tells whether anything is left.
  pollfd p {fd_, POLLIN, 0};
  if (session_ != nullptr && !broken_ && (ssh_get_poll_flags(session_) & SSH_WRITE_PENDING) != 0 &&
      ssh_blocking_flush(session_, 0) == SSH_AGAIN) {
    p.events |= POLLOUT;
  }
  const auto begin = Clock::now(), deadline = begin + bound;
  for (;;) {
    // In slices, so that a stop asked for while another thread took the signal ends the wait.
    if (InterruptionRequested() && Clock::now() - begin >= kInterruptGrace) {
      interrupted_ = true;
      MarkBroken();
      return false;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0) left = 0;
    int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 250)));
    if (rc > 0) return true;
    if ((rc == 0 && left <= 250) || (rc < 0 && errno != EINTR)) {
      timedOut_ = timedOut_ || rc == 0;
      MarkBroken();
      return false;
    }
  }
}

bool SshSession::Settle() {
  while (session_ != nullptr && !broken_ && (ssh_get_poll_flags(session_) & SSH_WRITE_PENDING) != 0) {
    const int rc = ssh_blocking_flush(session_, 0);  // one round: sends what the socket takes now
    if (rc == SSH_OK) return true;
    if (rc == SSH_ERROR) {
      MarkBroken();
      return false;
    }
    if (!Wait()) return false;
  }
  return !broken_;
}

int SshSession::ErrnoOf(long rc, std::string& reason) {
  long status = StatusOf(rc);
  if (status >= 0) {
    reason = "SFTP status " + std::to_string(status) + " (" + SftpStatusText(static_cast<uint32_t>(status)) + ")";
    int e = SftpStatusErrno(static_cast<uint32_t>(status));
    if (e == ECONNRESET) MarkBroken();
    return e;
  }
  if (rc == SftpChannel::kBadPacket) {
    // The server broke the protocol: nothing more is read from it on this session.
    reason = "the server broke the SFTP protocol (" + (sftp_ ? sftp_->ProtocolError() : std::string()) + ")";
    MarkBroken();
    return EPROTO;
  }
  const char* msg = session_ != nullptr ? ssh_get_error(session_) : nullptr;
  if (rc == SftpChannel::kTimedOut) {
    if (interrupted_) {
      reason = "stopped while waiting for the storage host";
      return EINTR;
    }
    reason = connecting_ ? "no answer within the connect timeout of " + std::to_string(connectTimeoutSec_) + " s"
                         : "no answer within the I/O timeout of " + std::to_string(waitBound_.count() / 1000) + " s";
    MarkBroken();
    return ETIMEDOUT;
  }
  reason = std::string("connection failed (") + (msg && *msg ? msg : "SSH error") + ", " + std::to_string(rc) + ")";
  MarkBroken();
  return ECONNRESET;
}

CZoError SshSession::Fail(const FXCodeLocation& loc, long rc, const char* what, const std::string& path, int err) {
  std::string reason;
  int e = ErrnoOf(rc, reason);
  if (broken_ && brokenBecause_.empty()) brokenBecause_ = std::string(what) + " [" + path + "]: " + reason;
  if (err != 0) e = err;
  if (e == 0) e = EIO;
  return FXErrorUtil::ErrorErrNo(loc, e, "%s [%s] on %s: %s", what, path.c_str(), where_.c_str(), reason.c_str());
}

CZoError SshSession::Refuse(const FXCodeLocation& loc, int err, const char* what, const std::string& path) const {
  return FXErrorUtil::ErrorErrNo(loc, err, "%s [%s] on %s: %s", what, path.c_str(), where_.c_str(), std::strerror(err));
}

bool SshSession::IsDrop(const CZoError& err) { return FXErrorUtil::IsErrNo(err, ECONNRESET); }

bool SshSession::KeepAlive() {
  if (broken_) return false;
  if (sftp_ != nullptr && !sftp_->Idle()) return true;  // output under way: the next request goes first
  const auto now = Clock::now();
  if (now < keepAliveDue_) return true;
  keepAliveDue_ = now + keepAliveEvery_;
  // An ignore message: no answer to wait for, and a connection that is gone fails the send.
  if (ssh_send_ignore(session_, "") == SSH_ERROR) {
    MarkBroken();
    return false;
  }
  return true;
}

CZoError SshSession::Connect(const SftpSettings& s) {
  addrinfo hints {};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  std::string port = std::to_string(s.port);
  int gai = ::getaddrinfo(s.address.c_str(), port.c_str(), &hints, &list);
  if (gai != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EHOSTUNREACH, "Cannot resolve the address of %s: %s", where_.c_str(),
                                   ::gai_strerror(gai));
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(list, ::freeaddrinfo);
  int lastErr = EHOSTUNREACH;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
      lastErr = errno;
      continue;
    }
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p {fd, POLLOUT, 0};
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(connectDeadline_ - Clock::now()).count();
      int pr;
      do {
        pr = ::poll(&p, 1, static_cast<int>(left < 0 ? 0 : left));
      } while (pr < 0 && errno == EINTR);
      int soErr = ETIMEDOUT;
      socklen_t len = sizeof soErr;
      if (pr > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0) soErr = errno;
      rc = soErr == 0 ? 0 : -1;
      errno = soErr;
    }
    if (rc == 0) {
      // Requests are small and each waits for its answer: without this, a request sent
      // while an earlier segment is unacknowledged waits for the peer's delayed ACK.
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fd_ = fd;
      return CZoError::Success();
    }
    lastErr = errno;
    ::close(fd);
  }
  return FXErrorUtil::ErrorErrNo(FX_LOC, lastErr, "Cannot connect to %s: %s", where_.c_str(), std::strerror(lastErr));
}

CZoError SshSession::SetOptions(const SftpSettings& s, const std::string& user, const KnownHostsInfo& known) {
  // libssh reads no configuration and no known-hosts file of the user's, and is not told the
  // host's name (it has the socket; its name checks are stricter than the resolver's); the
  // host-key types
  // asked for are those stored for this host, so that a host stored with one type is not
  // offered another and read as a changed key.
  const bool no = false;
  const int port = s.port;
  const long timeout = connectTimeoutSec_;
  const std::string hostKeys = HostKeyAlgorithms(KnownHostKeyTypes(known, s.address, s.port, HmacSha1));
  struct {
    ssh_options_e option;
    const void* value;
  } const options[] = {
      {SSH_OPTIONS_PROCESS_CONFIG, &no},
      {SSH_OPTIONS_PORT, &port},
      {SSH_OPTIONS_USER, user.c_str()},
      {SSH_OPTIONS_KNOWNHOSTS, "/dev/null"},
      {SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/dev/null"},
      {SSH_OPTIONS_TIMEOUT, &timeout},
      {SSH_OPTIONS_CIPHERS_C_S, kCiphers},
      {SSH_OPTIONS_CIPHERS_S_C, kCiphers},
      {SSH_OPTIONS_HMAC_C_S, kMacs},
      {SSH_OPTIONS_HMAC_S_C, kMacs},
      {SSH_OPTIONS_HOSTKEYS, hostKeys.c_str()},
  };
  for (const auto& o : options) {
    if (ssh_options_set(session_, o.option, o.value) != SSH_OK) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Cannot set up an SSH session for %s: %s", where_.c_str(),
                                     ssh_get_error(session_));
    }
  }
  return CZoError::Success();
}

CZoError SshSession::VerifyHostKey(const SftpSettings& s, const KnownHostsInfo& known, HostKeyMismatch* mismatch) {
  ssh_key raw = nullptr;
  if (ssh_get_server_publickey(session_, &raw) != SSH_OK) raw = nullptr;
  KeyPtr key(raw);
  char* text = nullptr;
  std::string offered, bytes;  // the key's blob in base64 (unpadded, as files list it) and as bytes
  if (key != nullptr && ssh_pki_export_pubkey_base64(key.get(), &text) == SSH_OK) {
    offered = text;
    ssh_string_free_char(text);
    offered.resize(offered.find_last_not_of('=') + 1);
    if (!Base64Decode(offered, bytes)) bytes.clear();
  }
  // The blob begins with its type, the name known-hosts files list it under.
  const uint32_t typeLen = bytes.size() >= 4 ? BigEndian32(reinterpret_cast<const unsigned char*>(bytes.data())) : 0;
  if (typeLen == 0 || typeLen > bytes.size() - 4) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "The host key of %s has an unknown type; refused", where_.c_str());
  }
  hostKeyType_ = bytes.substr(4, typeLen);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned digestLen = 0;
  fingerprint_ = EVP_Digest(bytes.data(), bytes.size(), digest, &digestLen, EVP_sha256(), nullptr) == 1
                     ? "SHA256:" + Base64(digest, digestLen)
                     : "unknown";
  auto fillMismatch = [&] {
    if (mismatch == nullptr) return;
    mismatch->address = s.address + ":" + std::to_string(s.port);
    mismatch->keyType = hostKeyType_;
    mismatch->fingerprint = fingerprint_;
    mismatch->knownHostsFile = s.knownHostsFile;
  };
  for (const std::string& revoked : known.revoked) {
    if (revoked == offered) {
      fillMismatch();
      return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES,
                                     "REVOKED HOST KEY: the host key of %s (offered %s %s) is listed as revoked in "
                                     "[%s]; refused",
                                     where_.c_str(), hostKeyType_.c_str(), fingerprint_.c_str(),
                                     s.knownHostsFile.c_str());
    }
  }
  switch (MatchKnownHost(known, s.address, s.port, hostKeyType_, offered, HmacSha1)) {
    case KnownHostVerdict::kListed: return CZoError::Success();
    case KnownHostVerdict::kChanged:
      fillMismatch();
      return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES,
                                     "The host key of %s has changed: it does not match the one in [%s] (offered %s "
                                     "%s); refused",
                                     where_.c_str(), s.knownHostsFile.c_str(), hostKeyType_.c_str(),
                                     fingerprint_.c_str());
    case KnownHostVerdict::kNotListed: break;
  }
  return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "The host key of %s is not in [%s] (offered %s %s)%s; refused",
                                 where_.c_str(), s.knownHostsFile.c_str(), hostKeyType_.c_str(), fingerprint_.c_str(),
                                 known.certAuthority
                                     ? "; the file names a certificate authority (@cert-authority), but host "
                                       "certificates are not supported: list the host's key itself"
                                     : "");
}

CZoError SshSession::Authenticate(const SftpSettings& s, const std::string& user) {
  if (!s.identityFile.empty()) {
    PrivateKeyInfo keyInfo;
    CZoError err = InspectPrivateKey(s.identityFile, keyInfo);
    if (err.IsError()) return err.Push(FX_LOC, "Cannot log in to %s", where_.c_str());
    err = CheckOwnerOnly(s.identityFile, keyInfo.mode, "identity file");
    if (err.IsError()) return err.Push(FX_LOC, "Cannot log in to %s", where_.c_str());
    std::string passphrase;
    if (!s.passphraseFile.empty()) {
      err = ReadPassphraseFile(s.passphraseFile, passphrase);
      if (err.IsError()) return err.Push(FX_LOC, "Cannot log in to %s", where_.c_str());
    } else if (keyInfo.encrypted) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES,
                                     "The identity file [%s] for %s is protected by a passphrase: give its passphrase "
                                     "file (kxmp storage-host set --passphrase-file) or use the ssh agent "
                                     "(--agent)",
                                     s.identityFile.c_str(), where_.c_str());
    }
    // No prompt callback: a key that needs a passphrase not given fails here, never asks.
    ssh_key raw = nullptr;
    const int imported = ssh_pki_import_privkey_file(s.identityFile.c_str(),
                                                     passphrase.empty() ? nullptr : passphrase.c_str(), nullptr,
                                                     nullptr, &raw);
    KeyPtr key(imported == SSH_OK ? raw : nullptr);
    if (key == nullptr) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "Cannot use the identity file [%s] for %s: %s%s",
                                     s.identityFile.c_str(), where_.c_str(),
                                     imported == SSH_EOF ? "it cannot be read" : "it holds no private key that can be read",
                                     keyInfo.encrypted ? " (is the passphrase in the passphrase file right?)" : "");
    }
    const long rc = Call([&] { return ssh_userauth_publickey(session_, nullptr, key.get()); }, SSH_AUTH_AGAIN);
    if (rc == SSH_AUTH_SUCCESS) return CZoError::Success();
    if (rc == SftpChannel::kTimedOut || rc == SSH_AUTH_ERROR) return Fail(FX_LOC, rc, "Cannot authenticate as", user);
    const char* msg = ssh_get_error(session_);
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "%s refused the key [%s] of user [%s]: %s", where_.c_str(),
                                   s.identityFile.c_str(), user.c_str(),
                                   msg != nullptr && *msg ? msg : "the server denied it");
  }
  // No identity file: the keys the ssh agent holds.
  const char* agent = std::getenv("SSH_AUTH_SOCK");
  if (agent == nullptr || *agent == '\0') {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "No identity file for %s and no usable ssh agent", where_.c_str());
  }
  const long rc = Call([&] { return ssh_userauth_agent(session_, nullptr); }, SSH_AUTH_AGAIN);
  if (rc == SSH_AUTH_SUCCESS) return CZoError::Success();
  if (broken_ || rc == SftpChannel::kTimedOut) return Fail(FX_LOC, rc, "Cannot authenticate as", user);
  if (rc == SSH_AUTH_ERROR) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "No identity file for %s and no usable ssh agent (%s)",
                                   where_.c_str(), ssh_get_error(session_));
  }
  return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "%s refused every key of the ssh agent for user [%s]", where_.c_str(),
                                 user.c_str());
}

CZoError SshSession::Open(const SftpSettings& s, const std::string& hostName, std::unique_ptr<SshSession>& out,
                          HostKeyMismatch* mismatch) {
  InitLibrary();
  std::unique_ptr<SshSession> self(new SshSession());
  self->where_ = "storage host " + hostName + " (" + s.address + ":" + std::to_string(s.port) + ")";
  self->connectDeadline_ = Clock::now() + std::chrono::seconds(s.connectTimeoutSec > 0 ? s.connectTimeoutSec : 10);
  self->waitBound_ = std::chrono::seconds(s.ioTimeoutSec > 0 ? s.ioTimeoutSec : 30);
  self->connectTimeoutSec_ = s.connectTimeoutSec > 0 ? s.connectTimeoutSec : 10;
  if (s.address.empty()) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "No address for %s", self->where_.c_str());
  if (s.knownHostsFile.empty()) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "No known-hosts file for %s: its host key cannot be checked",
                                   self->where_.c_str());
  }
  KnownHostsInfo known;
  CZoError err = ReadKnownHostsFile(s.knownHostsFile, s.address, s.port, known);
  if (err.IsError()) return err.Push(FX_LOC, "The host key of %s cannot be checked", self->where_.c_str());
  std::string user = s.user;
  if (user.empty()) {
    struct passwd* pw = ::getpwuid(::geteuid());
    if (pw != nullptr) user = pw->pw_name;
  }
  err = self->Connect(s);
  if (err.IsError()) return err;
  self->session_ = ssh_new();
  if (self->session_ == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Cannot make an SSH session");
  ssh_set_blocking(self->session_, 0);
  err = self->SetOptions(s, user, known);
  if (err.IsError()) return err;
  // libssh works on our socket and leaves it open: we close it after the session.
  socket_t fd = self->fd_;
  if (ssh_options_set(self->session_, SSH_OPTIONS_FD, &fd) != SSH_OK) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Cannot set up an SSH session for %s: %s", self->where_.c_str(),
                                   ssh_get_error(self->session_));
  }
  long rc = self->Call([&] { return ssh_connect(self->session_); });
  if (rc == SSH_ERROR && !self->broken_) {
    const char* msg = ssh_get_error(self->session_);
    self->MarkBroken();
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPROTO, "No SSH server answers at %s: the SSH handshake failed (%s)",
                                   self->where_.c_str(), msg && *msg ? msg : "no SSH greeting");
  }
  if (rc != SSH_OK) return self->Fail(FX_LOC, rc, "SSH handshake failed", s.address);
  if (const char* banner = ssh_get_serverbanner(self->session_)) self->banner_ = banner;
  err = self->VerifyHostKey(s, known, mismatch);
  if (err.IsError()) return err;
  err = self->Authenticate(s, user);
  if (err.IsError()) return err;
  self->sftp_.reset(new SftpChannel(self.get()));
  rc = self->sftp_->Start();
  if (rc != 0) return self->Fail(FX_LOC, rc, "Cannot start SFTP", "/");
  self->extensions_ = self->sftp_->ServerExtensions();
  if (!self->HasExtension("fsync@openssh.com")) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOTSUP,
                                   "%s offers no fsync@openssh.com: data written there could not be made durable; "
                                   "refused",
                                   self->where_.c_str());
  }
  self->connecting_ = false;
  self->keepAliveEvery_ = std::chrono::seconds(std::max(1, std::min(15, s.ioTimeoutSec / 2)));
  self->keepAliveDue_ = Clock::now() + self->keepAliveEvery_;
  out = std::move(self);
  return CZoError::Success();
}

}  // namespace kxmp::dataserver

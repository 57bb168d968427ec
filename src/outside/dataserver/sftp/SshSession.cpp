#include "outside/dataserver/sftp/SshSession.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "outside/dataserver/SshFiles.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/util/Interruption.h"

namespace kxmp::dataserver {

namespace {

using Clock = std::chrono::steady_clock;

// libssh2_init is not thread-safe; once per process.
void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { libssh2_init(0); });
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

struct KeyKind {
  int hostKeyType;  // LIBSSH2_HOSTKEY_TYPE_*
  int knownHostBit;  // LIBSSH2_KNOWNHOST_KEY_*
  const char* methods;  // host-key methods to ask for when this type is stored
  const char* name;
};

const KeyKind kKinds[] = {
    {LIBSSH2_HOSTKEY_TYPE_ED25519, LIBSSH2_KNOWNHOST_KEY_ED25519, "ssh-ed25519", "ssh-ed25519"},
    {LIBSSH2_HOSTKEY_TYPE_ECDSA_256, LIBSSH2_KNOWNHOST_KEY_ECDSA_256, "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp256"},
    {LIBSSH2_HOSTKEY_TYPE_ECDSA_384, LIBSSH2_KNOWNHOST_KEY_ECDSA_384, "ecdsa-sha2-nistp384", "ecdsa-sha2-nistp384"},
    {LIBSSH2_HOSTKEY_TYPE_ECDSA_521, LIBSSH2_KNOWNHOST_KEY_ECDSA_521, "ecdsa-sha2-nistp521", "ecdsa-sha2-nistp521"},
    {LIBSSH2_HOSTKEY_TYPE_RSA, LIBSSH2_KNOWNHOST_KEY_SSHRSA, "rsa-sha2-512,rsa-sha2-256,ssh-rsa", "ssh-rsa"},
    {LIBSSH2_HOSTKEY_TYPE_DSS, LIBSSH2_KNOWNHOST_KEY_SSHDSS, "ssh-dss", "ssh-dss"},
};

const KeyKind* KindOfHostKey(int type) {
  for (const KeyKind& k : kKinds) {
    if (k.hostKeyType == type) return &k;
  }
  return nullptr;
}

const KeyKind* KindOfKnownHost(int typemask) {
  for (const KeyKind& k : kKinds) {
    if ((typemask & LIBSSH2_KNOWNHOST_KEY_MASK) == k.knownHostBit) return &k;
  }
  return nullptr;
}

struct KnownHosts {
  explicit KnownHosts(LIBSSH2_SESSION* s) : hosts(libssh2_knownhost_init(s)) {}
  ~KnownHosts() {
    if (hosts) libssh2_knownhost_free(hosts);
  }
  LIBSSH2_KNOWNHOSTS* hosts;
};

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
      sftp_.reset();
    }
    if (!broken_) Call([&] { return libssh2_session_disconnect(session_, "closing"); });
    libssh2_session_free(session_);
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

bool SshSession::Wait(int directions) {
  if (broken_ && waitBound_.count() == 0) return false;
  auto bound = waitBound_;
  if (connecting_) {
    bound = std::chrono::duration_cast<std::chrono::milliseconds>(connectDeadline_ - Clock::now());
    if (bound.count() <= 0) return false;
  }
  int dirs = directions != 0 ? directions : libssh2_session_block_directions(session_);
  pollfd p {fd_, 0, 0};
  if (dirs & LIBSSH2_SESSION_BLOCK_INBOUND) p.events |= POLLIN;
  if (dirs & LIBSSH2_SESSION_BLOCK_OUTBOUND) p.events |= POLLOUT;
  if (p.events == 0) p.events = POLLIN;
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
  char* msg = nullptr;
  if (session_ != nullptr) libssh2_session_last_error(session_, &msg, nullptr, 0);
  switch (rc) {
    case LIBSSH2_ERROR_TIMEOUT:
    case LIBSSH2_ERROR_SOCKET_TIMEOUT:
      if (interrupted_) {
        reason = "stopped while waiting for the storage host";
        return EINTR;
      }
      reason = connecting_ ? "no answer within the connect timeout of " + std::to_string(connectTimeoutSec_) + " s"
                           : "no answer within the I/O timeout of " + std::to_string(waitBound_.count() / 1000) + " s";
      MarkBroken();
      return ETIMEDOUT;
    case LIBSSH2_ERROR_ALLOC:
      reason = "out of memory";
      return ENOMEM;
    default:
      reason = std::string("connection failed (") + (msg && *msg ? msg : "libssh2 error") + ", " +
               std::to_string(rc) + ")";
      MarkBroken();
      return ECONNRESET;
  }
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
  int next = 0;
  int rc = libssh2_keepalive_send(session_, &next);
  if (rc != 0 && rc != LIBSSH2_ERROR_EAGAIN) {
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

struct SshSession::KnownHostsFile {
  KnownHostsInfo info;
};

CZoError SshSession::ReadKnownHosts(const SftpSettings& s, LIBSSH2_KNOWNHOSTS* hosts, KnownHostsFile& file) {
  CZoError err = ReadKnownHostsFile(s.knownHostsFile, s.address, s.port, file.info);
  if (err.IsError()) return err.Push(FX_LOC, "The host key of %s cannot be checked", where_.c_str());
  // libssh2 knows no markers: the plain entries are given to it one by one, and the revoked
  // keys and certificate authorities are judged here.
  for (const std::string& line : file.info.lines) {
    libssh2_knownhost_readline(hosts, line.c_str(), line.size(), LIBSSH2_KNOWNHOST_FILE_OPENSSH);
  }
  return CZoError::Success();
}

CZoError SshSession::VerifyHostKey(const SftpSettings& s, LIBSSH2_KNOWNHOSTS* hosts, const KnownHostsFile& file,
                                   HostKeyMismatch* mismatch) {
  size_t len = 0;
  int type = 0;
  const char* key = libssh2_session_hostkey(session_, &len, &type);
  const KeyKind* kind = KindOfHostKey(type);
  if (key == nullptr || kind == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "The host key of %s has an unknown type; refused", where_.c_str());
  }
  hostKeyType_ = kind->name;
  const char* hash = libssh2_hostkey_hash(session_, LIBSSH2_HOSTKEY_HASH_SHA256);
  fingerprint_ = hash ? "SHA256:" + Base64(reinterpret_cast<const unsigned char*>(hash), 32) : "unknown";
  auto fillMismatch = [&] {
    if (mismatch == nullptr) return;
    mismatch->address = s.address + ":" + std::to_string(s.port);
    mismatch->keyType = hostKeyType_;
    mismatch->fingerprint = fingerprint_;
    mismatch->knownHostsFile = s.knownHostsFile;
  };
  const std::string offered = Base64(reinterpret_cast<const unsigned char*>(key), len);
  for (const std::string& revoked : file.info.revoked) {
    if (revoked == offered) {
      fillMismatch();
      return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES,
                                     "REVOKED HOST KEY: the host key of %s (offered %s %s) is listed as revoked in "
                                     "[%s]; refused",
                                     where_.c_str(), hostKeyType_.c_str(), fingerprint_.c_str(),
                                     s.knownHostsFile.c_str());
    }
  }
  libssh2_knownhost* found = nullptr;
  int check = libssh2_knownhost_checkp(hosts, s.address.c_str(), s.port, key, len,
                                       LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW | kind->knownHostBit,
                                       &found);
  switch (check) {
    case LIBSSH2_KNOWNHOST_CHECK_MATCH: return CZoError::Success();
    case LIBSSH2_KNOWNHOST_CHECK_MISMATCH:
      fillMismatch();
      return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES,
                                     "The host key of %s has changed: it does not match the one in [%s] (offered %s "
                                     "%s); refused",
                                     where_.c_str(), s.knownHostsFile.c_str(), hostKeyType_.c_str(),
                                     fingerprint_.c_str());
    case LIBSSH2_KNOWNHOST_CHECK_NOTFOUND:
      return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "The host key of %s is not in [%s] (offered %s %s)%s; refused",
                                     where_.c_str(), s.knownHostsFile.c_str(), hostKeyType_.c_str(),
                                     fingerprint_.c_str(),
                                     file.info.certAuthority
                                         ? "; the file names a certificate authority (@cert-authority), but host "
                                           "certificates are not supported: list the host's key itself"
                                         : "");
    default:
      return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "Cannot check the host key of %s (offered %s %s); refused",
                                     where_.c_str(), hostKeyType_.c_str(), fingerprint_.c_str());
  }
}

CZoError SshSession::Authenticate(const SftpSettings& s) {
  std::string user = s.user;
  if (user.empty()) {
    struct passwd* pw = ::getpwuid(::geteuid());
    if (pw != nullptr) user = pw->pw_name;
  }
  const unsigned userLen = static_cast<unsigned>(user.size());
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
    long rc = Call([&] {
      return libssh2_userauth_publickey_fromfile_ex(session_, user.c_str(), userLen, nullptr, s.identityFile.c_str(),
                                                    passphrase.empty() ? nullptr : passphrase.c_str());
    });
    if (rc == 0) return CZoError::Success();
    if (rc == LIBSSH2_ERROR_TIMEOUT || rc == LIBSSH2_ERROR_SOCKET_RECV || rc == LIBSSH2_ERROR_SOCKET_SEND) {
      return Fail(FX_LOC, rc, "Cannot authenticate as", user);
    }
    char* msg = nullptr;
    libssh2_session_last_error(session_, &msg, nullptr, 0);
    if (rc == LIBSSH2_ERROR_FILE) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "Cannot use the identity file [%s] for %s: %s%s",
                                     s.identityFile.c_str(), where_.c_str(), msg ? msg : "",
                                     keyInfo.encrypted ? " (is the passphrase in the passphrase file right?)" : "");
    }
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "%s refused the key [%s] of user [%s]: %s%s", where_.c_str(),
                                   s.identityFile.c_str(), user.c_str(), msg ? msg : "",
                                   keyInfo.rsa ? "; RSA keys cannot log in to OpenSSH 8.8 or later through this SSH "
                                                 "library, which signs only with SHA-1 (ssh-rsa): use an ed25519 or "
                                                 "ECDSA key"
                                               : "");
  }
  // No identity file: the keys the ssh agent holds.
  LIBSSH2_AGENT* agent = libssh2_agent_init(session_);
  if (agent == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "No identity file for %s and no ssh agent", where_.c_str());
  }
  std::unique_ptr<LIBSSH2_AGENT, void (*)(LIBSSH2_AGENT*)> guard(agent, [](LIBSSH2_AGENT* a) {
    libssh2_agent_disconnect(a);
    libssh2_agent_free(a);
  });
  if (libssh2_agent_connect(agent) != 0 || libssh2_agent_list_identities(agent) != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "No identity file for %s and no usable ssh agent", where_.c_str());
  }
  libssh2_agent_publickey* prev = nullptr;
  libssh2_agent_publickey* id = nullptr;
  while (libssh2_agent_get_identity(agent, &id, prev) == 0) {
    long rc = Call([&] { return libssh2_agent_userauth(agent, user.c_str(), id); });
    if (rc == 0) return CZoError::Success();
    if (broken_) return Fail(FX_LOC, rc, "Cannot authenticate as", user);
    prev = id;
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
  CZoError err = self->Connect(s);
  if (err.IsError()) return err;
  self->session_ = libssh2_session_init();
  if (self->session_ == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Cannot make an SSH session");
  libssh2_session_set_blocking(self->session_, 0);

  KnownHosts known(self->session_);
  if (known.hosts == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Cannot make an SSH session");
  KnownHostsFile knownFile;
  err = self->ReadKnownHosts(s, known.hosts, knownFile);
  if (err.IsError()) return err;
  // Ask for the key types stored for this host, so that a host stored with one type is not
  // offered another and read as a changed key.
  const std::string plain = s.port == 22 ? s.address : "[" + s.address + "]:" + std::to_string(s.port);
  std::string methods;
  libssh2_knownhost* entry = nullptr;
  libssh2_knownhost* prev = nullptr;
  while (libssh2_knownhost_get(known.hosts, &entry, prev) == 0) {
    prev = entry;
    const KeyKind* kind = KindOfKnownHost(entry->typemask);
    bool hashed = (entry->typemask & LIBSSH2_KNOWNHOST_TYPE_MASK) != LIBSSH2_KNOWNHOST_TYPE_PLAIN;
    bool mine = entry->name != nullptr && (plain == entry->name || s.address == entry->name);
    if (kind == nullptr || !(mine || hashed)) continue;
    if (methods.find(kind->methods) != std::string::npos) continue;
    if (!methods.empty()) methods += ",";
    methods += kind->methods;
  }
  if (!methods.empty()) libssh2_session_method_pref(self->session_, LIBSSH2_METHOD_HOSTKEY, methods.c_str());

  long rc = self->Call([&] { return libssh2_session_handshake(self->session_, self->fd_); });
  if (rc == LIBSSH2_ERROR_BANNER_RECV || rc == LIBSSH2_ERROR_BANNER_SEND || rc == LIBSSH2_ERROR_SOCKET_DISCONNECT ||
      rc == LIBSSH2_ERROR_PROTO || rc == LIBSSH2_ERROR_KEX_FAILURE) {
    char* msg = nullptr;
    libssh2_session_last_error(self->session_, &msg, nullptr, 0);
    self->MarkBroken();
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPROTO, "No SSH server answers at %s: the SSH handshake failed (%s)",
                                   self->where_.c_str(), msg && *msg ? msg : "no SSH greeting");
  }
  if (rc != 0) return self->Fail(FX_LOC, rc, "SSH handshake failed", s.address);
  if (const char* banner = libssh2_session_banner_get(self->session_)) self->banner_ = banner;
  err = self->VerifyHostKey(s, known.hosts, knownFile, mismatch);
  if (err.IsError()) return err;
  err = self->Authenticate(s);
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
  int keepalive = std::max(1, std::min(15, s.ioTimeoutSec / 2));
  libssh2_keepalive_config(self->session_, 1, static_cast<unsigned>(keepalive));
  out = std::move(self);
  return CZoError::Success();
}

}  // namespace kxmp::dataserver

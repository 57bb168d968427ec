#pragma once
// How to reach one storage host over SSH/SFTP. The registry keeps these under
// DataServer/Hosts/<NAME> (NAME: the host's plain name, the first part of its mangled name):
//   sTransport "sftp", sAddress, nPort, sUser, sIdentityFile, sPassphraseFile,
//   sKnownHostsFile, nConnectTimeoutSec, nIoTimeoutSec.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/dataserver/Backend.h"
#include "outside/dataserver/MountPathAuthority.h"
#include "outside/error/CZoError.h"

namespace kxmp::dataserver {

struct SftpSettings {
  std::string address;         // name or IP address of the storage host's SSH server
  int port = 22;
  std::string user;            // empty: the user this process runs as
  std::string identityFile;    // private key file; empty: keys of the ssh agent
  std::string passphraseFile;  // file whose first line is the key's passphrase; empty: none
  std::string knownHostsFile;  // the host's key must be listed here (strict checking)
  int connectTimeoutSec = 10;  // bound of the TCP connect and the SSH handshake
  int ioTimeoutSec = 30;       // bound of every wait for the server afterwards
};

// A backend that serves the mount paths of one storage host over SFTP. plainHostName is the
// host's plain name (for messages); the authority lists the host's mount paths as the local
// backend's does (null: the catalog). Connections are pooled per (address, port, user) by the
// backend and shared by the objects it makes. Null (logged) when the SFTP module
// (libkxmp-sftp.so) cannot be loaded.
KXMP_EXPORT std::shared_ptr<Backend> MakeSftpBackend(const SftpSettings& settings, std::string plainHostName,
                                                     std::shared_ptr<MountPathAuthority> authority = nullptr);

// How many SSH sessions this process opens to one storage host at most (default 5). A
// session is opened only when every open one is busy, so a process that works on one thing at
// a time keeps one; `kxmp backup --jobs N` sets N.
constexpr int kDefaultSftpSessionsPerHost = 5;
KXMP_EXPORT void SetSftpSessionsPerHost(int sessions);
KXMP_EXPORT int SftpSessionsPerHost();

// For how long a storage host that stopped answering (a wait for it expired, or connecting to
// it failed) is not tried again by this process: its operations fail at once (with the
// errno of the failure), so every context on it fails over within one I/O timeout of the
// failure instead of each waiting out its own. 0 (the default, for long-lived hosts) tries
// every time; the tool's backup sets the length of its run.
KXMP_EXPORT void SetSftpDownPeriod(int seconds);
KXMP_EXPORT int SftpDownPeriod();

// What `kxmp storage-host check` prints: connects, verifies the host key, lists the server's
// SFTP extensions and measures one request's round trip.
struct SftpHostCheck {
  std::string hostKeyType;         // e.g. "ssh-ed25519"
  std::string hostKeyFingerprint;  // "SHA256:<base64>"
  std::string serverBanner;
  std::vector<std::pair<std::string, std::string>> extensions;  // name, version
  double roundTripMs = 0;          // one SFTP request (realpath of ".")
};
// Messages name the storage host by plainHostName.
KXMP_EXPORT CZoError CheckSftpHost(const SftpSettings& settings, const std::string& plainHostName, SftpHostCheck& out);

}  // namespace kxmp::dataserver

#pragma once
// What the files an SFTP storage host is reached with hold: the private key (its kind,
// whether a passphrase protects it, whether others may read it) and the known-hosts file
// (which lines name a host, which keys are revoked, whether certificate authorities are
// listed). Read by `kxmp storage-host set` to check what it is given, and by the SSH session
// before it logs in.

#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

namespace kxmp::dataserver {

struct PrivateKeyInfo {
  bool isPrivateKey = false;  // a PEM or OpenSSH private key
  bool isPublicKey = false;   // "ssh-ed25519 AAAA..." and the like: a .pub file
  bool encrypted = false;     // protected by a passphrase
  bool rsa = false;
  unsigned mode = 0;          // permission bits
};

// Reads at most 64 KiB of the file. Errors: the file cannot be opened or is no regular file.
KXMP_EXPORT CZoError InspectPrivateKey(const std::string& path, PrivateKeyInfo& out);
// EACCES naming the file and its mode when group or others may read or write it (OpenSSH
// refuses such a key, and so does kxmp); what is a key file or a passphrase file in `what`.
KXMP_EXPORT CZoError CheckOwnerOnly(const std::string& path, unsigned mode, const char* what);
// The first line of a passphrase file, checked to be the owner's only.
KXMP_EXPORT CZoError ReadPassphraseFile(const std::string& path, std::string& out);

struct KnownHostsInfo {
  std::vector<std::string> lines;    // the plain entries, as OpenSSH writes them (markers left out)
  std::vector<std::string> revoked;  // base64 key blobs of "@revoked" lines
  bool certAuthority = false;        // "@cert-authority" lines, which are not supported
  bool malformed = false;            // a line that is no known-hosts entry
  bool listsHost = false;            // an entry names the address (and port), or is hashed
};

// Reads a known-hosts file (at most 1 MiB) and tells whether it lists address:port.
KXMP_EXPORT CZoError ReadKnownHostsFile(const std::string& path, const std::string& address, int port,
                                        KnownHostsInfo& out);

}  // namespace kxmp::dataserver

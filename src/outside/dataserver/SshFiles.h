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

// Decodes base64 (padding and line breaks skipped); false on a character outside the alphabet.
KXMP_EXPORT bool Base64Decode(const std::string& in, std::string& out);

// HMAC-SHA1 of name keyed with salt (raw bytes), for hashed host fields; given by the caller
// that has a crypto library at hand. Without one a hashed field names no host.
using KnownHostHasher = std::string (*)(const std::string& salt, const std::string& name);

// The name a host is listed under: "address" on port 22, "[address]:port" elsewhere, in
// lower case.
KXMP_EXPORT std::string KnownHostName(const std::string& address, int port);
// Whether a line's host field names `name` (KnownHostName): comma-separated patterns with
// the wildcards * and ?, compared without regard to case; a negated pattern (!pattern) that
// matches rules the line out; a hashed field (|1|salt|hash) is compared through hasher.
KXMP_EXPORT bool KnownHostFieldNames(const std::string& field, const std::string& name, KnownHostHasher hasher);

enum class KnownHostVerdict {
  kListed,     // a line for the host holds this very key
  kChanged,    // lines for the host hold other keys of this type, none this one
  kNotListed,  // no line for the host holds a key of this type
};
// How a key offered by address:port (its type, "ssh-ed25519" and the like, and its blob in
// base64) stands against the plain entries of a known-hosts file.
KXMP_EXPORT KnownHostVerdict MatchKnownHost(const KnownHostsInfo& info, const std::string& address, int port,
                                            const std::string& keyType, const std::string& keyBase64,
                                            KnownHostHasher hasher);
// The key types listed for address:port, each once, in the file's order.
KXMP_EXPORT std::vector<std::string> KnownHostKeyTypes(const KnownHostsInfo& info, const std::string& address,
                                                       int port, KnownHostHasher hasher);

}  // namespace kxmp::dataserver

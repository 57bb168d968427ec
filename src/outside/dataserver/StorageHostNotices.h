#pragma once
// Why a storage host could not be used, told to the operator. A storage host reached over
// SFTP that cannot be connected to (nothing listening, no SSH there, a refused user or key, a
// key that cannot be used, a host key that is unknown, revoked or changed, an unreadable
// known-hosts file) is skipped: contexts fail over to the next mount path. Each such cause is
//   - an operator event 0x4A000576 (host, reason), and for a changed or revoked host key a
//     security event 0x4A000577 of its own (host, address:port, offered key type, SHA256
//     fingerprint, known-hosts file), each at most once per host and cause in ten minutes
//     (judged from the event log, which every process of the machine shares);
//   - a notice the tool takes after its work, to print a warning line naming the host and the
//     reason.

#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"

namespace kxmp::dataserver {

constexpr unsigned int kEventStorageHostUnusable = 0x4A000576;
constexpr unsigned int kEventHostKeyChanged = 0x4A000577;

struct StorageHostNotice {
  std::string host;    // the storage host's plain name
  std::string reason;  // one line
  bool security = false;  // a changed or revoked host key
};

// The details of a host key that does not match what the known-hosts file lists.
struct HostKeyMismatch {
  std::string address;  // "address:port"
  std::string keyType;
  std::string fingerprint;  // "SHA256:..."
  std::string knownHostsFile;
};

// A storage host could not be connected to, for the reason given (null mismatch: not a host
// key matter).
KXMP_EXPORT void NoteStorageHostUnusable(const std::string& host, const std::string& reason,
                                         const HostKeyMismatch* mismatch = nullptr);
// The notices recorded in this process since the last call, one per host and reason.
KXMP_EXPORT std::vector<StorageHostNotice> TakeStorageHostNotices();

}  // namespace kxmp::dataserver

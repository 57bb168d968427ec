#pragma once
// Who may open a session on the host's sockets, judged by the peer's credentials when it
// connects: the user that owns the socket (the server's effective user), root, and the
// members of one allowed group (primary or supplementary). Everybody else is closed at once.
//
// On the Unix socket the kernel tells the peer's credentials (SO_PEERCRED, SO_PEERGROUPS). A
// loopback TCP peer carries none: its socket is looked up by its address and port through the
// kernel's socket diagnostics (sock_diag), which name the user that made it; its groups are
// that user's groups from the group database. A peer whose socket cannot be found, or no
// longer belongs to a process, is refused.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"

namespace kxmp::session {

struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  std::vector<gid_t> groups;  // supplementary groups, when the kernel tells them
};

class KXMP_EXPORT PeerPolicy {
 public:
  // The socket's owner is the calling process's effective user; no group is allowed.
  PeerPolicy();
  PeerPolicy(uid_t owner, std::optional<gid_t> allowedGroup, std::string groupName = std::string());

  bool Allows(const PeerCredentials& peer) const;
  // True when only the peer's supplementary groups can still admit it.
  bool NeedsGroups(const PeerCredentials& peer) const;
  // Reads the peer's credentials from a connected Unix socket (the supplementary groups only
  // when asked: one more call); false (errno set) when the kernel cannot tell them.
  static bool ReadCredentials(int fd, bool withGroups, PeerCredentials& out);
  // The same for a connected loopback TCP socket: the user owning the peer's socket (pid 0:
  // unknown), with that user's groups when asked. False (errno set) when it cannot be told.
  static bool ReadTcpCredentials(int fd, bool withGroups, PeerCredentials& out);
  // "user 1000, root and group backup (34)": for log lines.
  std::string Describe() const;

  uid_t Owner() const { return owner_; }
  const std::optional<gid_t>& AllowedGroup() const { return group_; }

 private:
  uid_t owner_;
  std::optional<gid_t> group_;
  std::string groupName_;
};

}  // namespace kxmp::session

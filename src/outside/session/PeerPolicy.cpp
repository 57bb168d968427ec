#include "outside/session/PeerPolicy.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace kxmp::session {

PeerPolicy::PeerPolicy() : owner_(::geteuid()) {}

PeerPolicy::PeerPolicy(uid_t owner, std::optional<gid_t> allowedGroup, std::string groupName)
    : owner_(owner), group_(allowedGroup), groupName_(std::move(groupName)) {}

bool PeerPolicy::NeedsGroups(const PeerCredentials& peer) const {
  return group_ && peer.uid != owner_ && peer.uid != 0 && peer.gid != *group_;
}

bool PeerPolicy::Allows(const PeerCredentials& peer) const {
  if (peer.uid == owner_ || peer.uid == 0) return true;
  if (!group_) return false;
  return peer.gid == *group_ || std::find(peer.groups.begin(), peer.groups.end(), *group_) != peer.groups.end();
}

bool PeerPolicy::ReadCredentials(int fd, bool withGroups, PeerCredentials& out) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  out.pid = cred.pid;
  out.uid = cred.uid;
  out.gid = cred.gid;
  out.groups.clear();
#ifdef SO_PEERGROUPS
  if (!withGroups) return true;
  std::vector<gid_t> groups(32);
  for (int attempt = 0; attempt < 4; ++attempt) {
    socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
      groups.resize(bytes / sizeof(gid_t));
      out.groups = std::move(groups);
      break;
    }
    if (errno != ERANGE) break;  // an older kernel: the primary group alone decides
    groups.resize(bytes / sizeof(gid_t) + 1);
  }
#endif
  return true;
}

std::string PeerPolicy::Describe() const {
  std::string text = "user " + std::to_string(owner_) + ", root";
  if (group_) {
    text += " and group ";
    text += groupName_.empty() ? std::to_string(*group_) : groupName_ + " (" + std::to_string(*group_) + ")";
  }
  return text;
}

}  // namespace kxmp::session

#include "outside/session/PeerPolicy.h"

#include <errno.h>
#include <grp.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "outside/util/UniqueFd.h"

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

namespace {

uint16_t Port(const sockaddr_in& a) { return a.sin_port; }
uint16_t Port(const sockaddr_in6& a) { return a.sin6_port; }
const void* Address(const sockaddr_in& a) { return &a.sin_addr; }
const void* Address(const sockaddr_in6& a) { return &a.sin6_addr; }
constexpr size_t AddressSize(const sockaddr_in&) { return sizeof(in_addr); }
constexpr size_t AddressSize(const sockaddr_in6&) { return sizeof(in6_addr); }

// The four-tuple of the socket whose source is from and whose destination is to.
template <typename Sockaddr>
void FillTuple(const Sockaddr& from, const Sockaddr& to, inet_diag_sockid& id) {
  id.idiag_sport = Port(from);
  id.idiag_dport = Port(to);
  std::memcpy(id.idiag_src, Address(from), AddressSize(from));
  std::memcpy(id.idiag_dst, Address(to), AddressSize(to));
}

// The owner of the socket at the other end of a loopback TCP connection, by an exact look-up
// of its four-tuple. A time-wait or orphaned socket (the peer closed, or its process ended)
// has no owner (the kernel reports user 0 and no inode for it): refused, never taken for root.
bool TcpPeerOwner(int fd, uid_t& uid) {
  sockaddr_storage local{}, peer{};
  socklen_t localLen = sizeof local, peerLen = sizeof peer;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
      ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) {
    return false;
  }
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  inet_diag_req_v2& r = message.request;
  r.sdiag_family = static_cast<uint8_t>(local.ss_family);
  r.sdiag_protocol = IPPROTO_TCP;
  r.idiag_states = ~0u;
  r.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  r.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  // The peer's socket: its source is the peer's address and port, its destination ours.
  if (local.ss_family == AF_INET) {
    FillTuple(reinterpret_cast<const sockaddr_in&>(peer), reinterpret_cast<const sockaddr_in&>(local), r.id);
  } else if (local.ss_family == AF_INET6) {
    FillTuple(reinterpret_cast<const sockaddr_in6&>(peer), reinterpret_cast<const sockaddr_in6&>(local), r.id);
  } else {
    errno = EAFNOSUPPORT;
    return false;
  }
  kxmp::UniqueFd link(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!link.valid()) return false;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(link.get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    return false;
  }
  alignas(nlmsghdr) char reply[1024];
  ssize_t n;
  do {
    n = ::recv(link.get(), reply, sizeof reply, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  auto* header = reinterpret_cast<nlmsghdr*>(reply);
  if (!NLMSG_OK(header, static_cast<unsigned>(n))) {
    errno = EPROTO;
    return false;
  }
  if (header->nlmsg_type == NLMSG_ERROR) {
    const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
    errno = error->error < 0 ? -error->error : ENOENT;
    return false;
  }
  if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
    errno = EPROTO;
    return false;
  }
  const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
  if (found->idiag_inode == 0 || found->id.idiag_sport != r.id.idiag_sport || found->id.idiag_dport != r.id.idiag_dport) {
    errno = ESRCH;
    return false;
  }
  uid = found->idiag_uid;
  return true;
}

}  // namespace

bool PeerPolicy::ReadTcpCredentials(int fd, bool withGroups, PeerCredentials& out) {
  uid_t uid = 0;
  if (!TcpPeerOwner(fd, uid)) return false;
  out.pid = 0;
  out.uid = uid;
  out.gid = static_cast<gid_t>(-1);
  out.groups.clear();
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* user = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &user) != 0 || user == nullptr) return true;
  out.gid = user->pw_gid;
  if (!withGroups) return true;
  int count = 32;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) >= 0) {
      groups.resize(static_cast<size_t>(count));
      out.groups = std::move(groups);
      break;
    }
    groups.resize(static_cast<size_t>(count) + 1);
  }
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

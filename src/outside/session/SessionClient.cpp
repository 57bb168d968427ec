// The blocking client of the session socket.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "outside/error/FXErrorUtil.h"
#include "outside/session/FrameCodec.h"
#include "outside/session/FramedServer.h"

namespace kxmp::session {

SessionClient::~SessionClient() { Disconnect(); }

void SessionClient::Disconnect() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

CZoError SessionClient::ConnectUnix(const std::string& path) {
  Disconnect();
  sockaddr_un addr{};
  if (path.size() >= sizeof(addr.sun_path)) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENAMETOOLONG, "Socket path [%s] is too long", path.c_str());
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "socket: %s", std::strerror(errno));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno;
    ::close(fd);
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Failed to connect to [%s]: %s", path.c_str(), std::strerror(e));
  }
  fd_ = fd;
  return CZoError::Success();
}

CZoError SessionClient::ConnectTcp(const std::string& address, uint16_t port) {
  Disconnect();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Bad address [%s]", address.c_str());
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "socket: %s", std::strerror(errno));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno;
    ::close(fd);
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Failed to connect to [%s:%u]: %s", address.c_str(),
                                   static_cast<unsigned>(port), std::strerror(e));
  }
  fd_ = fd;
  return CZoError::Success();
}

CZoError SessionClient::SendRaw(const std::string& bytes) {
  if (fd_ < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOTCONN, "Not connected");
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "send: %s", std::strerror(errno));
    }
    done += static_cast<size_t>(n);
  }
  return CZoError::Success();
}

CZoError SessionClient::SendFrame(const std::string& document) { return SendRaw(EncodeFrame(document)); }

CZoError SessionClient::ReadExact(char* buf, size_t n, int timeoutMs) {
  size_t done = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (done < n) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0) return FXErrorUtil::ErrorErrNo(FX_LOC, ETIMEDOUT, "No answer within %d ms", timeoutMs);
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, left);
    if (r < 0) {
      if (errno == EINTR) continue;
      return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "poll: %s", std::strerror(errno));
    }
    if (r == 0) continue;
    ssize_t got = ::recv(fd_, buf + done, n - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "recv: %s", std::strerror(errno));
    }
    if (got == 0) return FXErrorUtil::ErrorErrNo(FX_LOC, ECONNRESET, "The server closed the session");
    done += static_cast<size_t>(got);
  }
  return CZoError::Success();
}

CZoError SessionClient::ReceiveFrame(std::string& document, int timeoutMs, size_t maxBytes) {
  if (fd_ < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOTCONN, "Not connected");
  unsigned char header[4];
  CZoError e = ReadExact(reinterpret_cast<char*>(header), 4, timeoutMs);
  if (e.IsError()) return e;
  uint32_t len = DecodeLength(header);
  if (len > maxBytes) return FXErrorUtil::ErrorErrNo(FX_LOC, EMSGSIZE, "Frame of %u bytes is too large", len);
  document.assign(len, '\0');
  if (len == 0) return CZoError::Success();
  return ReadExact(&document[0], len, timeoutMs);
}

CZoError SessionClient::Call(const std::string& request, std::string& response, int timeoutMs) {
  CZoError e = SendFrame(request);
  if (e.IsError()) {
    // A server that refuses the session says why in one frame before it closes; the request
    // then meets a closed socket, but the answer is there to read.
    if (!FXErrorUtil::IsErrNo(e, EPIPE) && !FXErrorUtil::IsErrNo(e, ECONNRESET)) return e;
    return ReceiveFrame(response, std::min(timeoutMs, 1000)).IsSuccess() ? CZoError::Success() : e;
  }
  return ReceiveFrame(response, timeoutMs);
}

bool SessionClient::WaitClosed(int timeoutMs) {
  if (fd_ < 0) return true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[4096];
  for (;;) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, left);
    if (r <= 0) continue;
    ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
    if (got == 0) return true;
    if (got < 0 && errno != EINTR && errno != EAGAIN) return true;
  }
}

}  // namespace kxmp::session

// The floor of the host's session socket: the same framing as kxmp-host (a 4-byte big-endian
// length and one XML document) and a fixed mount-point response, with no work between
// request and answer. One blocking thread per connection: recv the header, recv the body,
// send the answer. Whatever kxmp-host spends beyond this is its own.
//
//   floor_server SOCKET      prints "floor_server: serving SOCKET", serves until SIGINT/SIGTERM
#include <errno.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

const std::string kAnswer = "<MAMountPointResp><response errorCode=\"0\"/></MAMountPointResp>";

bool ReadExact(int fd, char* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t got = ::recv(fd, buf + done, n - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

void Serve(int fd) {
  std::string frame(4, '\0');
  const uint32_t n = static_cast<uint32_t>(kAnswer.size());
  frame[0] = static_cast<char>(n >> 24);
  frame[1] = static_cast<char>(n >> 16);
  frame[2] = static_cast<char>(n >> 8);
  frame[3] = static_cast<char>(n);
  frame += kAnswer;
  std::string body;
  unsigned char header[4];
  while (ReadExact(fd, reinterpret_cast<char*>(header), 4)) {
    const uint32_t len = (uint32_t(header[0]) << 24) | (uint32_t(header[1]) << 16) | (uint32_t(header[2]) << 8) |
                         uint32_t(header[3]);
    if (len == 0 || len > (1u << 20)) break;
    body.resize(len);
    if (!ReadExact(fd, &body[0], len)) break;
    if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) break;
  }
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: floor_server SOCKET\n");
    return 2;
  }
  sockaddr_un addr{};
  if (std::strlen(argv[1]) >= sizeof addr.sun_path) return 2;
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, argv[1]);
  ::unlink(argv[1]);
  int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, SOMAXCONN) != 0) {
    std::perror("floor_server");
    return 1;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::thread([listener] {
    for (;;) {
      int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) std::thread(Serve, fd).detach();
    }
  }).detach();
  std::printf("floor_server: serving %s\n", argv[1]);
  std::fflush(stdout);
  int sig = 0;
  while (sigwait(&stop, &sig) != 0) {
  }
  ::unlink(argv[1]);
  return 0;
}

// A TCP relay that holds every chunk it forwards for a set time in each direction, so that a
// storage host on loopback behaves like one at a distance (a round trip of twice that time)
// without kernel queueing disciplines. Bandwidth is not limited: chunks are read as soon as
// they arrive and queued, each sent when its time has come.
//
//   delay_relay LISTEN_ADDRESS TARGET_ADDRESS TARGET_PORT ROUND_TRIP_MS
//
// Prints the port it listens on (an ephemeral one) and serves until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
  Clock::time_point due;
  std::vector<char> data;  // empty: the sender closed its side
};

// One direction of a connection: a reader queues what arrives, a writer sends it when due.
class Pipe {
 public:
  Pipe(int from, int to, std::chrono::microseconds delay) : from_(from), to_(to), delay_(delay) {}

  void Run() {
    std::thread writer([this] { Write(); });
    std::vector<char> buf(256 * 1024);
    for (;;) {
      const ssize_t n = ::read(from_, buf.data(), buf.size());
      Chunk c{Clock::now() + delay_, {}};
      if (n > 0) c.data.assign(buf.data(), buf.data() + n);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(c));
      }
      wake_.notify_one();
      if (n <= 0) break;
    }
    writer.join();
  }

 private:
  void Write() {
    for (;;) {
      Chunk c;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !queue_.empty(); });
        c = std::move(queue_.front());
        queue_.pop_front();
      }
      std::this_thread::sleep_until(c.due);
      if (c.data.empty()) {
        ::shutdown(to_, SHUT_WR);
        return;
      }
      for (size_t done = 0; done < c.data.size();) {
        const ssize_t n = ::write(to_, c.data.data() + done, c.data.size() - done);
        if (n <= 0) {
          ::shutdown(from_, SHUT_RD);  // the peer is gone: stop reading as well
          return;
        }
        done += static_cast<size_t>(n);
      }
    }
  }

  int from_, to_;
  std::chrono::microseconds delay_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Chunk> queue_;
};

int Connect(const char* address, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address, &sa.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void NoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s LISTEN_ADDRESS TARGET_ADDRESS TARGET_PORT ROUND_TRIP_MS\n", argv[0]);
    return 2;
  }
  const char* target = argv[2];
  const int targetPort = std::atoi(argv[3]);
  const auto oneWay = std::chrono::microseconds(std::atoi(argv[4]) * 500);
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  ::inet_pton(AF_INET, argv[1], &sa.sin_addr);
  socklen_t len = sizeof sa;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener, 64) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    std::perror("listen");
    return 1;
  }
  std::printf("%d\n", ntohs(sa.sin_port));
  std::fflush(stdout);
  for (;;) {
    int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    int server = Connect(target, targetPort);
    if (server < 0) {
      ::close(client);
      continue;
    }
    NoDelay(client);
    NoDelay(server);
    std::thread([client, server, oneWay] {
      auto up = std::make_unique<Pipe>(client, server, oneWay);
      auto down = std::make_unique<Pipe>(server, client, oneWay);
      std::thread t([&] { down->Run(); });
      up->Run();
      t.join();
      ::close(client);
      ::close(server);
    }).detach();
  }
}

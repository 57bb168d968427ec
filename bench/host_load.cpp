// Load for a server on the host's session socket (kxmp-host or bench/floor_server):
//
//   host_load requests SOCKET CLIENTS REQUESTS
//       CLIENTS connections send REQUESTS mount requests in all (one at a time each) after a
//       warm-up; prints requests per second, p50 and p99 latency, failures.
//   host_load flood SOCKET GOOD THREADS [UID]
//       THREADS threads open garbage connections without pause (junk length, a body that is not
//       XML, connect and close, a header and nothing more), as user UID when given (needs
//       root), while one client sends GOOD mount requests, each on a new connection as the
//       tool does; a request counts as answered when it connects within 1 s and its answer
//       comes within 1 s more. Prints how many were answered and their latency.
//   host_load headers SOCKET SESSIONS PID
//       opens SESSIONS connections that send a 4-byte header announcing 1 MiB and nothing
//       more; prints how much the resident memory of PID grew and how many sessions PID kept.
#include <errno.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "outside/xml/TesselMessages.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Frame(const std::string& doc) {
  const uint32_t n = static_cast<uint32_t>(doc.size());
  std::string f{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                static_cast<char>(n)};
  return f + doc;
}

std::string MountRequestFrame() {
  Tessel::MAMountPointReq req;
  req.setint64(1, 1, 42, Tessel::kMAMountPointReqTag, Tessel::kMAMountPointReqSubclientIdId);
  req.setstring(2, 2, "/mnt/bench", Tessel::kMAMountPointReqTag, Tessel::kMAMountPointReqMountingPointId);
  std::string xml;
  req.serialize(xml, false);
  return Frame(xml);
}

// A connected socket or -1. timeoutMs bounds a connect that waits for room in the backlog.
int Connect(const std::string& path, int timeoutMs) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool RecvExact(int fd, char* buf, size_t n, Clock::time_point deadline) {
  size_t done = 0;
  while (done < n) {
    const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) continue;
    ssize_t got = ::recv(fd, buf + done, n - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

// One request and its whole answer frame.
bool Call(int fd, const std::string& frame, int timeoutMs) {
  if (!SendAll(fd, frame)) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  unsigned char h[4];
  if (!RecvExact(fd, reinterpret_cast<char*>(h), 4, deadline)) return false;
  const uint32_t len = (uint32_t(h[0]) << 24) | (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | uint32_t(h[3]);
  if (len == 0 || len > (1u << 20)) return false;
  std::string body(len, '\0');
  return RecvExact(fd, &body[0], len, deadline);
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  size_t k = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return v[k];
}

int Requests(const std::string& socket, int clients, int requests) {
  const std::string frame = MountRequestFrame();
  std::vector<double> latencies;
  std::mutex mutex;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  for (int t = 0; t < clients; ++t) {
    threads.emplace_back([&] {
      int fd = Connect(socket, 5000);
      std::vector<double> mine;
      if (fd < 0) {
        failures += requests / clients;
        ++ready;
        return;
      }
      for (int i = 0; i < 50; ++i) Call(fd, frame, 60000);  // warm-up
      ++ready;
      while (!go) std::this_thread::yield();
      for (int i = 0; i < requests / clients; ++i) {
        const auto t0 = Clock::now();
        if (!Call(fd, frame, 60000)) ++failures;
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
      ::close(fd);
      std::lock_guard<std::mutex> lock(mutex);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
    });
  }
  while (ready < clients) std::this_thread::yield();
  const auto start = Clock::now();
  go = true;
  for (auto& th : threads) th.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("clients=%d requests=%zu req_per_s=%.0f p50_us=%.0f p99_us=%.0f failures=%d\n", clients,
              latencies.size(), static_cast<double>(latencies.size()) / seconds, Percentile(latencies, 0.5),
              Percentile(latencies, 0.99), failures.load());
  return failures == 0 ? 0 : 1;
}

// Garbage connections until *stop; returns how many were made.
long Garbage(const std::string& socket, int threads, const std::atomic<bool>& stop) {
  std::atomic<long> made{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 1);
      std::string junk(64, '\0');
      const std::string notXml = Frame("this is not a message <<<");
      const std::string headerOnly("\x00\x00\x10\x00", 4);
      for (long i = 0; !stop; ++i) {
        int fd = Connect(socket, 1000);
        if (fd < 0) continue;
        switch (i % 4) {
          case 0:
            for (char& c : junk) c = static_cast<char>(rng());
            junk[0] = static_cast<char>(0x7F);  // an absurd length
            SendAll(fd, junk);
            break;
          case 1: SendAll(fd, notXml); break;
          case 2: break;
          case 3: SendAll(fd, headerOnly); break;
        }
        ::close(fd);
        ++made;
      }
    });
  }
  for (auto& w : workers) w.join();
  return made;
}

int Flood(const std::string& socket, int good, int threads, int uid) {
  // The flood runs in a child process so that it can be another user.
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return 1;
  pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[1]);
    if (uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) _exit(3);
    std::atomic<bool> stop{false};
    std::thread waiter([&] {
      char c;
      while (::read(pipeFds[0], &c, 1) < 0 && errno == EINTR) {
      }
      stop = true;
    });
    long made = Garbage(socket, threads, stop);
    waiter.join();
    std::printf("garbage_connections=%ld\n", made);
    std::fflush(stdout);
    _exit(0);
  }
  ::close(pipeFds[0]);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the flood start
  const std::string frame = MountRequestFrame();
  int answered = 0;
  std::vector<double> latencies;
  const auto start = Clock::now();
  for (int i = 0; i < good; ++i) {
    const auto t0 = Clock::now();
    int fd = Connect(socket, 1000);
    if (fd < 0) continue;
    if (Call(fd, frame, 1000)) {
      ++answered;
      latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    ::close(fd);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(pipeFds[1]);
  int status = 0;
  ::waitpid(child, &status, 0);
  std::printf("good_answered=%d/%d (%.1f%%) in %.1f s p50_ms=%.2f p99_ms=%.1f flood_threads=%d flood_uid=%d\n",
              answered, good, 100.0 * answered / good, seconds, Percentile(latencies, 0.5),
              Percentile(latencies, 0.99), threads, uid);
  return answered * 100 >= good * 99 ? 0 : 1;
}

long RssKiB(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

int Headers(const std::string& socket, int sessions, int pid) {
  const long before = RssKiB(pid);
  std::vector<int> fds;
  const std::string header("\x00\x10\x00\x00", 4);  // 1 MiB announced
  for (int i = 0; i < sessions; ++i) {
    int fd = Connect(socket, 5000);
    if (fd < 0) break;
    SendAll(fd, header);
    fds.push_back(fd);
  }
  // The server takes the headers in its own time: wait until its memory stops changing.
  long last = RssKiB(pid), peak = last;
  for (int stable = 0, round = 0; stable < 5 && round < 100; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long now = RssKiB(pid);
    peak = std::max(peak, now);
    stable = now == last ? stable + 1 : 0;
    last = now;
  }
  int kept = 0;
  for (int fd : fds) {
    pollfd p{fd, POLLIN, 0};
    char c;
    if (::poll(&p, 1, 0) == 0 || ::recv(fd, &c, 1, MSG_DONTWAIT) > 0) ++kept;
  }
  for (int fd : fds) ::close(fd);
  std::printf("sessions=%zu kept_open=%d rss_before_kib=%ld rss_after_kib=%ld growth_mib=%.1f\n", fds.size(), kept,
              before, peak, static_cast<double>(peak - before) / 1024.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "requests" && argc == 5) return Requests(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  if (mode == "flood" && (argc == 5 || argc == 6)) {
    return Flood(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argc == 6 ? std::atoi(argv[5]) : -1);
  }
  if (mode == "headers" && argc == 5) return Headers(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  std::fprintf(stderr,
               "usage: host_load requests SOCKET CLIENTS REQUESTS\n"
               "       host_load flood SOCKET GOOD THREADS [UID]\n"
               "       host_load headers SOCKET SESSIONS PID\n");
  return 2;
}

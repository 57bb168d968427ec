#include "outside/session/FramedServer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "outside/error/FXErrorUtil.h"
#include "outside/log/FileLogWriter.h"
#include "outside/log/Log.h"
#include "outside/session/FrameCodec.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::session {

namespace {

// One read takes at most this much; a worker reads into a buffer of this size on its stack
// and a session keeps only the bytes that came.
constexpr size_t kReadChunk = 64 * 1024;
// epoll data of the stop event; session handles start at 1.
constexpr uint64_t kStopToken = 0;
// Refusals are logged one by one up to this many per window, then counted.
constexpr int kRefusalLinesPerWindow = 20;
constexpr int64_t kRefusalWindowMs = 10000;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The heap bytes a string holds (its inline buffer costs nothing extra).
size_t HeapBytes(const std::string& s) {
  static const size_t kInline = std::string().capacity();
  return s.capacity() > kInline ? s.capacity() : 0;
}

// Connects to the Unix socket at path: -1 when something accepts the connection, otherwise the
// errno of the failed attempt (ECONNREFUSED for a socket file without a server).
int ProbeUnixSocket(const std::string& path) {
  kxmp::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return errno;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return -1;
  return errno;
}

// The bytes all sessions hold, against one cap.
class BufferBudget {
 public:
  explicit BufferBudget(size_t cap) : cap_(cap) {}
  bool Acquire(size_t n) {
    size_t cur = used_.load(std::memory_order_relaxed);
    do {
      if (n > cap_ || cur > cap_ - n) return false;
    } while (!used_.compare_exchange_weak(cur, cur + n, std::memory_order_relaxed));
    return true;
  }
  // For bytes already in hand (a frame taken out of a larger buffer).
  void Force(size_t n) { used_.fetch_add(n, std::memory_order_relaxed); }
  void Release(size_t n) { used_.fetch_sub(n, std::memory_order_relaxed); }
  size_t Used() const { return used_.load(std::memory_order_relaxed); }

 private:
  const size_t cap_;
  std::atomic<size_t> used_{0};
};

}  // namespace

class FramedServer::Impl {
 public:
  Impl(ServerLimits limits, FrameHandler onFrame, CloseHandler onClose, PeerPolicy policy)
      : limits_(limits),
        onFrame_(std::move(onFrame)),
        onClose_(std::move(onClose)),
        policy_(std::move(policy)),
        budget_(limits.maxBufferedBytes) {}
  ~Impl() { Stop(); }

  CZoError ListenUnix(const std::string& path, mode_t mode);
  CZoError ListenTcp(const std::string& address, uint16_t port, uint16_t* boundPort);
  void SetRefusalFrames(RefusalFrames frames) { refusals_ = std::move(frames); }
  CZoError Start();
  void Stop();
  CZoError Send(SessionHandle h, std::string doc);
  void Close(SessionHandle h, const std::string& why);
  bool IsOpen(SessionHandle h) const { return Find(h) != nullptr; }
  size_t Active() const {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    return sessions_.size();
  }
  size_t Buffered() const { return budget_.Used(); }

 private:
  struct Session;

  std::shared_ptr<Session> Find(SessionHandle h) const {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    auto it = sessions_.find(h);
    return it == sessions_.end() ? nullptr : it->second;
  }

  // Acceptor thread.
  void AcceptLoop();
  void AcceptAll(int listener, bool unixPeer);
  void Admit(UniqueFd fd, bool unixPeer);
  // Tells a refused peer why (one frame, never waiting for it), then its descriptor closes.
  static void Refuse(const UniqueFd& fd, const std::string& frame);
  bool RefusalLogged();
  void SweepIdle();

  // Worker threads.
  void WorkerLoop();
  void Serve(Session& s, uint32_t events, char* scratch);
  // False when the session was closed.
  bool ServeLocked(Session& s, uint32_t events, char* scratch);
  bool Receive(Session& s, char* scratch);
  bool Append(Session& s, const char* data, size_t n);
  bool HandleFrames(Session& s);
  bool Flush(Session& s);
  void Rearm(Session& s);

  void RequestClose(Session& s, const std::string& why);
  // Closes the descriptor and forgets the session; called by the processing worker or Stop.
  void CloseSession(Session& s, const std::string& why);

  const ServerLimits limits_;
  const FrameHandler onFrame_;
  const CloseHandler onClose_;
  const PeerPolicy policy_;
  RefusalFrames refusals_;
  BufferBudget budget_;

  UniqueFd unixListener_;
  UniqueFd tcpListener_;
  std::string unixPath_;
  UniqueFd epoll_;
  UniqueFd stopEvent_;      // in the epoll set, level-triggered: wakes every worker for good
  UniqueFd acceptorWake_;   // wakes the acceptor to stop
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  std::mutex lifecycle_;
  bool started_ = false;
  bool stopped_ = false;
  std::atomic<bool> stopping_{false};

  mutable std::mutex sessionsMutex_;
  std::unordered_map<SessionHandle, std::shared_ptr<Session>> sessions_;
  std::unordered_map<uid_t, size_t> perUser_;
  std::unordered_map<pid_t, size_t> perProcess_;
  SessionHandle nextHandle_ = 1;

  // Acceptor thread only.
  int64_t refusalWindowStart_ = 0;
  int refusalLines_ = 0;
  long refusalsUnlogged_ = 0;
  int64_t acceptPausedUntil_ = 0;
};

// One connection. The worker that took its epoll event holds `processing` while it reads,
// handles frames and re-arms the (one-shot) registration; `io` guards the descriptor and the
// answers waiting to be written, which other threads touch through Send and Close.
struct FramedServer::Impl::Session {
  Session(SessionHandle h, int descriptor, uid_t peerUser, pid_t peerProcess)
      : handle(h), user(peerUser), process(peerProcess), fd(descriptor), lastProgressMs(NowMs()) {}

  const SessionHandle handle;
  const uid_t user;
  const pid_t process;  // 0 when unknown (TCP)
  std::mutex processing;
  // Held by Rearm around its epoll_ctl and by CloseSession around the close: a worker the
  // re-arm woke waits on it only when it closes the session.
  std::mutex arming;
  // Owned by the processing worker.
  std::string in;       // received bytes not handled yet
  size_t charged = 0;   // heap bytes of `in` counted against the budget
  // Guarded by io.
  std::mutex io;
  int fd;               // -1 once closed
  std::string out;      // answer bytes the socket has not taken yet
  std::string closeWhy; // a close asked by another thread, done by the processing worker
  std::atomic<int64_t> lastProgressMs;
  std::atomic<bool> busy{false};  // a handler runs: the idle clock stops
};

// ---------------------------------------------------------------------------------------------
CZoError FramedServer::Impl::ListenUnix(const std::string& path, mode_t mode) {
  sockaddr_un addr{};
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENAMETOOLONG, "Socket path [%s] is empty or too long", path.c_str());
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST, "[%s] exists and is not a socket", path.c_str());
    }
    // Replace only a socket nobody serves (an earlier server that died); a live one stays.
    const int e = ProbeUnixSocket(path);
    if (e == -1) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EADDRINUSE, "[%s] is served by another process", path.c_str());
    }
    if (e != ECONNREFUSED && e != ENOENT) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot tell whether [%s] is served: %s", path.c_str(),
                                     std::strerror(e));
    }
    ::unlink(path.c_str());
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "socket: %s", std::strerror(errno));
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Failed to listen on [%s]: %s", path.c_str(), std::strerror(e));
  }
  if (::chmod(path.c_str(), mode) != 0 || ::listen(fd.get(), SOMAXCONN) != 0) {
    const int e = errno;
    ::unlink(path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Failed to listen on [%s]: %s", path.c_str(), std::strerror(e));
  }
  unixListener_ = std::move(fd);
  unixPath_ = path;
  return CZoError::Success();
}

CZoError FramedServer::Impl::ListenTcp(const std::string& address, uint16_t port, uint16_t* boundPort) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  bool loopback = false;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    loopback = (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    length = sizeof *v4;
  } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    loopback = IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
    length = sizeof *v6;
  } else {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "[%s] is not an IP address", address.c_str());
  }
  if (!loopback) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "Refusing to listen on [%s]: only loopback is served", address.c_str());
  }
  UniqueFd fd(::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int one = 1;
  if (!fd.valid() || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd.get(), SOMAXCONN) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    const int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Failed to listen on [%s:%u]: %s", address.c_str(),
                                   static_cast<unsigned>(port), std::strerror(e));
  }
  if (boundPort) *boundPort = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
  tcpListener_ = std::move(fd);
  return CZoError::Success();
}

CZoError FramedServer::Impl::Start() {
  std::lock_guard<std::mutex> lock(lifecycle_);
  if (started_) return CZoError::Success();
  if (stopped_) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "The session server was stopped");
  if (!unixListener_.valid() && !tcpListener_.valid()) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "The session server has nothing to listen on");
  }
  epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
  stopEvent_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  acceptorWake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kStopToken;
  if (!epoll_.valid() || !stopEvent_.valid() || !acceptorWake_.valid() ||
      ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, stopEvent_.get(), &ev) != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Failed to set up the session server: %s", std::strerror(errno));
  }
  try {
    const size_t workers = limits_.workerThreads == 0 ? 1 : limits_.workerThreads;
    for (size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { WorkerLoop(); });
    acceptor_ = std::thread([this] { AcceptLoop(); });
  } catch (const std::exception& ex) {
    started_ = true;  // Stop joins what was started
    return FXErrorUtil::ErrorErrNo(FX_LOC, EAGAIN, "Failed to start the session server's threads: %s", ex.what());
  }
  started_ = true;
  return CZoError::Success();
}

void FramedServer::Impl::Stop() {
  std::lock_guard<std::mutex> lock(lifecycle_);
  if (stopped_) return;
  stopped_ = true;
  stopping_ = true;
  const uint64_t one = 1;
  if (acceptorWake_.valid()) (void)!::write(acceptorWake_.get(), &one, sizeof one);
  if (acceptor_.joinable()) acceptor_.join();
  // Running handlers finish first; then every worker sees the stop event.
  if (stopEvent_.valid()) (void)!::write(stopEvent_.get(), &one, sizeof one);
  for (std::thread& w : workers_) {
    if (w.joinable()) w.join();
  }
  unixListener_.reset();
  tcpListener_.reset();
  std::vector<std::shared_ptr<Session>> all;
  {
    std::lock_guard<std::mutex> l(sessionsMutex_);
    for (auto& kv : sessions_) all.push_back(kv.second);
  }
  for (auto& s : all) {
    std::lock_guard<std::mutex> own(s->processing);
    CloseSession(*s, "server stopping");
  }
  if (!unixPath_.empty()) ::unlink(unixPath_.c_str());
}

// ---------------------------------------------------------------------------------------------
// The acceptor: takes every waiting connection as soon as the listener is readable, so the
// backlog never fills behind slow sessions, and judges the peer before it costs anything.
void FramedServer::Impl::AcceptLoop() {
  const int64_t sweepMs = std::clamp<int64_t>(limits_.idleTimeout.count() / 4, 10, 1000);
  int64_t nextSweep = NowMs() + sweepMs;
  for (;;) {
    pollfd fds[3];
    nfds_t n = 0;
    fds[n++] = {acceptorWake_.get(), POLLIN, 0};
    const bool paused = NowMs() < acceptPausedUntil_;
    const nfds_t firstListener = n;
    if (unixListener_.valid()) fds[n++] = {unixListener_.get(), static_cast<short>(paused ? 0 : POLLIN), 0};
    if (tcpListener_.valid()) fds[n++] = {tcpListener_.get(), static_cast<short>(paused ? 0 : POLLIN), 0};
    const int64_t wait = std::max<int64_t>(0, std::min(nextSweep - NowMs(), paused ? int64_t{50} : sweepMs));
    const int r = ::poll(fds, n, static_cast<int>(wait));
    if (stopping_) return;
    if (r > 0) {
      for (nfds_t i = firstListener; i < n; ++i) {
        if (fds[i].revents & POLLIN) AcceptAll(fds[i].fd, fds[i].fd == unixListener_.get());
      }
    }
    if (NowMs() >= nextSweep) {
      SweepIdle();
      nextSweep = NowMs() + sweepMs;
    }
  }
}

void FramedServer::Impl::AcceptAll(int listener, bool unixPeer) {
  // Bounded, so that sweeping and stopping keep their turn under a flood.
  for (int i = 0; i < 1024; ++i) {
    UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (fd.valid()) {
      Admit(std::move(fd), unixPeer);
      continue;
    }
    const int e = errno;
    if (e == EINTR || e == ECONNABORTED) continue;
    if (e == EAGAIN || e == EWOULDBLOCK) return;
    // Out of descriptors or memory: pause accepting briefly instead of spinning on it.
    if (RefusalLogged()) KXLOG_ERROR("Accepting a session failed: %s", std::strerror(e));
    acceptPausedUntil_ = NowMs() + 50;
    return;
  }
}

bool FramedServer::Impl::RefusalLogged() {
  const int64_t now = NowMs();
  if (now - refusalWindowStart_ >= kRefusalWindowMs) {
    if (refusalsUnlogged_ > 0) {
      KXLOG_ERROR("%ld more sessions were refused in the last %ld s", refusalsUnlogged_,
                  static_cast<long>(kRefusalWindowMs / 1000));
    }
    refusalWindowStart_ = now;
    refusalLines_ = 0;
    refusalsUnlogged_ = 0;
  }
  if (refusalLines_ < kRefusalLinesPerWindow) {
    ++refusalLines_;
    return true;
  }
  ++refusalsUnlogged_;
  return false;
}

void FramedServer::Impl::Refuse(const UniqueFd& fd, const std::string& frame) {
  // A fresh connection's buffer takes a small frame whole; a peer that is gone is no matter.
  if (!frame.empty()) (void)!::send(fd.get(), frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

void FramedServer::Impl::Admit(UniqueFd fd, bool unixPeer) {
  PeerCredentials peer;
  const auto read = unixPeer ? &PeerPolicy::ReadCredentials : &PeerPolicy::ReadTcpCredentials;
  if (!read(fd.get(), false, peer)) {
    if (RefusalLogged()) {
      KXLOG_ERROR("Refusing a %s session: the peer's credentials are unknown: %s", unixPeer ? "Unix" : "TCP",
                  std::strerror(errno));
    }
    Refuse(fd, refusals_.notAllowed);
    return;
  }
  if (policy_.NeedsGroups(peer)) read(fd.get(), true, peer);
  if (!policy_.Allows(peer)) {
    if (RefusalLogged()) {
      KXLOG_ERROR("Refusing a %s session of user [%u] group [%u] process [%d]: only %s may send requests",
                  unixPeer ? "Unix" : "TCP", static_cast<unsigned>(peer.uid), static_cast<unsigned>(peer.gid),
                  static_cast<int>(peer.pid), policy_.Describe().c_str());
    }
    Refuse(fd, refusals_.notAllowed);
    return;
  }
  const uid_t user = peer.uid;
  const pid_t process = peer.pid;  // 0 for TCP: unknown
  std::shared_ptr<Session> s;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    if (sessions_.size() >= limits_.maxConnections) {
      if (RefusalLogged()) KXLOG_ERROR("Refusing a session: %zu sessions are open (the limit)", sessions_.size());
      Refuse(fd, refusals_.overLimit);
      return;
    }
    // A process that floods is held to its own share first, so that other programs of the
    // same user still get in; the user's share protects other users.
    const auto ofUser = perUser_.find(user);
    const size_t userCount = ofUser == perUser_.end() ? 0 : ofUser->second;
    const auto ofProcess = process != 0 ? perProcess_.find(process) : perProcess_.end();
    const size_t processCount = ofProcess == perProcess_.end() ? 0 : ofProcess->second;
    if (userCount >= limits_.maxSessionsPerUser || (process != 0 && processCount >= limits_.maxSessionsPerProcess)) {
      if (RefusalLogged()) {
        KXLOG_ERROR("Refusing a session of user [%u] process [%d]: %zu sessions of the user and %zu of the process "
                    "are open (the limit per user is %zu, per process %zu)",
                    static_cast<unsigned>(user), static_cast<int>(process), userCount, processCount,
                    limits_.maxSessionsPerUser, limits_.maxSessionsPerProcess);
      }
      Refuse(fd, refusals_.overLimit);
      return;
    }
    bool inMap = false;
    bool userCounted = false;
    try {
      s = std::make_shared<Session>(nextHandle_, fd.get(), user, process);
      sessions_.emplace(nextHandle_, s);
      inMap = true;
      ++perUser_[user];
      userCounted = true;
      if (process != 0) ++perProcess_[process];
    } catch (const std::bad_alloc&) {
      // Undo what was counted; the descriptor is closed on return.
      if (inMap) sessions_.erase(nextHandle_);
      if (userCounted && --perUser_[user] == 0) perUser_.erase(user);
      return;
    }
    ++nextHandle_;
  }
  fd.release();  // the session owns it now
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  ev.data.u64 = static_cast<uint64_t>(s->handle);
  KXLOG_TRACE("Session [%lld] opened", static_cast<long long>(s->handle));
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, s->fd, &ev) != 0) {
    const int e = errno;
    std::lock_guard<std::mutex> own(s->processing);
    CloseSession(*s, std::string("cannot watch the session: ") + std::strerror(e));
  }
}

void FramedServer::Impl::SweepIdle() {
  std::vector<std::shared_ptr<Session>> all;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    all.reserve(sessions_.size());
    for (auto& kv : sessions_) all.push_back(kv.second);
  }
  const int64_t now = NowMs();
  for (auto& s : all) {
    if (!s->busy && now - s->lastProgressMs > limits_.idleTimeout.count()) RequestClose(*s, "idle time-out");
  }
}

// ---------------------------------------------------------------------------------------------
void FramedServer::Impl::WorkerLoop() {
  std::vector<char> scratch(kReadChunk);
  for (;;) {
    epoll_event ev{};
    const int n = ::epoll_wait(epoll_.get(), &ev, 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      KXLOG_ERROR("Session server worker: epoll_wait failed: %s", std::strerror(errno));
      return;
    }
    if (n == 0) continue;
    if (ev.data.u64 == kStopToken || stopping_) return;
    if (std::shared_ptr<Session> s = Find(static_cast<SessionHandle>(ev.data.u64))) Serve(*s, ev.events, scratch.data());
  }
}

void FramedServer::Impl::Serve(Session& s, uint32_t events, char* scratch) {
  {
    std::lock_guard<std::mutex> own(s.processing);
    if (!ServeLocked(s, events, scratch)) return;
  }
  // Re-armed after letting go: the next request may be here already, for another worker.
  Rearm(s);
}

bool FramedServer::Impl::ServeLocked(Session& s, uint32_t events, char* scratch) {
  {
    std::unique_lock<std::mutex> io(s.io);
    if (s.fd < 0) return false;
    if (!s.closeWhy.empty()) {
      const std::string why = s.closeWhy;
      io.unlock();
      CloseSession(s, why);
      return false;
    }
  }
  if ((events & EPOLLOUT) && !Flush(s)) return false;
  bool answersPending;
  {
    std::lock_guard<std::mutex> io(s.io);
    answersPending = !s.out.empty();
  }
  // A session with answers the peer has not taken is not read: it gets no further work.
  if (!answersPending && (events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP)) && !Receive(s, scratch)) return false;
  return HandleFrames(s);
}

bool FramedServer::Impl::Receive(Session& s, char* scratch) {
  for (;;) {
    const ssize_t n = ::recv(s.fd, scratch, kReadChunk, MSG_DONTWAIT);
    if (n > 0) {
      s.lastProgressMs = NowMs();
      return Append(s, scratch, static_cast<size_t>(n));
    }
    const int e = errno;
    if (n < 0 && e == EINTR) continue;
    if (n < 0 && (e == EAGAIN || e == EWOULDBLOCK)) return true;
    std::string why;
    {
      std::lock_guard<std::mutex> io(s.io);
      why = s.closeWhy;
    }
    if (why.empty()) {
      why = n == 0 ? (s.in.empty() ? "peer closed the session" : "peer closed the session inside a frame")
                   : std::string("read failed: ") + std::strerror(e);
    }
    CloseSession(s, why);
    return false;
  }
}

bool FramedServer::Impl::Append(Session& s, const char* data, size_t n) {
  const size_t needed = s.in.size() + n;
  if (needed > s.in.capacity()) {
    // Grow by doubling, never past the end of the frame whose header is in: a header alone
    // costs nothing, a frame costs what arrived (at most twice that).
    size_t target = std::max(needed, s.in.capacity() * 2);
    if (s.in.size() >= kFrameHeaderBytes) {
      const size_t frameEnd =
          kFrameHeaderBytes + DecodeLength(reinterpret_cast<const unsigned char*>(s.in.data()));
      target = std::max(needed, std::min(target, frameEnd));
    }
    const size_t extra = target > s.charged ? target - s.charged : 0;
    if (!budget_.Acquire(extra)) {
      CloseSession(s, "the sessions' buffered bytes would pass the limit of " + std::to_string(limits_.maxBufferedBytes));
      return false;
    }
    try {
      s.in.reserve(target);
    } catch (const std::bad_alloc&) {
      budget_.Release(extra);
      CloseSession(s, "out of memory");
      return false;
    }
    // reserve may round up; what it took beyond the estimate is counted as it is.
    const size_t held = HeapBytes(s.in);
    if (held > s.charged + extra) budget_.Force(held - s.charged - extra);
    if (held < s.charged + extra) budget_.Release(s.charged + extra - held);
    s.charged = held;
  }
  s.in.append(data, n);
  return true;
}

bool FramedServer::Impl::HandleFrames(Session& s) {
  while (s.in.size() >= kFrameHeaderBytes) {
    const uint32_t len = DecodeLength(reinterpret_cast<const unsigned char*>(s.in.data()));
    if (len == 0) {
      CloseSession(s, "empty frame");
      return false;
    }
    if (len > limits_.maxFrameBytes) {
      CloseSession(s, "frame of " + std::to_string(len) + " bytes exceeds the limit of " +
                          std::to_string(limits_.maxFrameBytes));
      return false;
    }
    const size_t total = kFrameHeaderBytes + len;
    if (s.in.size() < total) break;
    std::string doc;
    size_t docCharge = 0;
    try {
      if (s.in.size() == total) {
        // The usual case: the buffer holds this frame alone and becomes the document.
        s.in.erase(0, kFrameHeaderBytes);
        doc.swap(s.in);
        docCharge = s.charged;
        s.charged = 0;
      } else {
        doc.assign(s.in, kFrameHeaderBytes, len);
        docCharge = HeapBytes(doc);
        budget_.Force(docCharge);
        s.in.erase(0, total);
      }
    } catch (const std::bad_alloc&) {
      CloseSession(s, "out of memory");
      return false;
    }
    s.busy = true;
    try {
      // The request's log lines go to the file in one write, before its answer (Send).
      LogLineBatch logLines;
      onFrame_(s.handle, std::move(doc));
    } catch (const std::exception& ex) {
      KXLOG_ERROR("Session [%lld]: request handler failed: %s", static_cast<long long>(s.handle), ex.what());
      RequestClose(s, "request handler failed");
    } catch (...) {
      KXLOG_ERROR("Session [%lld]: request handler failed", static_cast<long long>(s.handle));
      RequestClose(s, "request handler failed");
    }
    budget_.Release(docCharge);
    s.lastProgressMs = NowMs();
    s.busy = false;
    {
      std::unique_lock<std::mutex> io(s.io);
      if (!s.closeWhy.empty()) {
        const std::string why = s.closeWhy;
        io.unlock();
        CloseSession(s, why);
        return false;
      }
      // The next frame waits until the peer has taken this one's answers.
      if (!s.out.empty()) return true;
    }
  }
  if (s.in.empty() && s.charged > 0) {
    std::string().swap(s.in);
    budget_.Release(s.charged);
    s.charged = 0;
  }
  return true;
}

bool FramedServer::Impl::Flush(Session& s) {
  std::unique_lock<std::mutex> io(s.io);
  size_t done = 0;
  while (done < s.out.size()) {
    const ssize_t n = ::send(s.fd, s.out.data() + done, s.out.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      s.lastProgressMs = NowMs();
      continue;
    }
    const int e = errno;
    if (n < 0 && e == EINTR) continue;
    if (n < 0 && (e == EAGAIN || e == EWOULDBLOCK)) break;
    io.unlock();
    CloseSession(s, std::string("write failed: ") + std::strerror(e));
    return false;
  }
  s.out.erase(0, done);
  return true;
}

void FramedServer::Impl::Rearm(Session& s) {
  epoll_event ev{};
  int e = 0;
  {
    // Not under the session's io lock: when the next request is there already, the worker
    // the event wakes must not wait for this one. `arming` keeps the descriptor open until
    // epoll_ctl is done, should that worker close the session at once.
    std::lock_guard<std::mutex> arm(s.arming);
    int fd;
    {
      std::lock_guard<std::mutex> io(s.io);
      if (s.fd < 0) return;
      fd = s.fd;
      ev.events = EPOLLRDHUP | EPOLLONESHOT | (s.out.empty() ? EPOLLIN : EPOLLOUT);
    }
    ev.data.u64 = static_cast<uint64_t>(s.handle);
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &ev) != 0) e = errno;
  }
  if (e != 0) {
    std::lock_guard<std::mutex> own(s.processing);
    CloseSession(s, std::string("cannot watch the session: ") + std::strerror(e));
  }
}

// ---------------------------------------------------------------------------------------------
CZoError FramedServer::Impl::Send(SessionHandle h, std::string doc) {
  std::shared_ptr<Session> s = Find(h);
  if (!s) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOTCONN, "Session [%lld] is not open", static_cast<long long>(h));
  if (doc.size() > 0xFFFFFFFFu) return FXErrorUtil::ErrorErrNo(FX_LOC, EMSGSIZE, "Response too large");
  const std::string frame = EncodeFrame(doc);
  LogLineBatch::Flush();  // what a request logged is in the file before its client has the answer
  std::lock_guard<std::mutex> io(s->io);
  if (s->fd < 0 || !s->closeWhy.empty()) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOTCONN, "Session [%lld] is not open", static_cast<long long>(h));
  }
  size_t done = 0;
  if (s->out.empty()) {
    while (done < frame.size()) {
      const ssize_t n = ::send(s->fd, frame.data() + done, frame.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      const int e = errno;
      if (n < 0 && e == EINTR) continue;
      if (n < 0 && (e == EAGAIN || e == EWOULDBLOCK)) break;
      // The session ends; the frame counted as queued, as one that the peer never reads.
      s->closeWhy = std::string("write failed: ") + std::strerror(e);
      ::shutdown(s->fd, SHUT_RDWR);
      return CZoError::Success();
    }
    if (done == frame.size()) {
      s->lastProgressMs = NowMs();
      return CZoError::Success();
    }
  }
  s->out.append(frame, done, std::string::npos);
  // While a handler runs, its worker re-arms the session afterwards, asking for writability.
  if (!s->busy) {
    epoll_event ev{};
    ev.events = EPOLLRDHUP | EPOLLONESHOT | EPOLLOUT;
    ev.data.u64 = static_cast<uint64_t>(s->handle);
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, s->fd, &ev);
  }
  return CZoError::Success();
}

void FramedServer::Impl::Close(SessionHandle h, const std::string& why) {
  if (std::shared_ptr<Session> s = Find(h)) RequestClose(*s, why);
}

void FramedServer::Impl::RequestClose(Session& s, const std::string& why) {
  std::lock_guard<std::mutex> io(s.io);
  if (s.fd < 0 || !s.closeWhy.empty()) return;
  s.closeWhy = why.empty() ? "closed by the server" : why;
  // Wakes the session's registration (or ends its current read) so that a worker closes it.
  ::shutdown(s.fd, SHUT_RDWR);
}

void FramedServer::Impl::CloseSession(Session& s, const std::string& why) {
  int fd;
  std::unique_lock<std::mutex> arm(s.arming);  // a re-arm still in epoll_ctl ends first
  {
    std::lock_guard<std::mutex> io(s.io);
    if (s.fd < 0) return;
    fd = s.fd;
    s.fd = -1;
    s.out.clear();
  }
  // Logged and forgotten before the peer can see the end of the session.
  KXLOG_NORMAL("Closing session [%lld]: %s", static_cast<long long>(s.handle), why.c_str());
  budget_.Release(s.charged);
  s.charged = 0;
  std::string().swap(s.in);
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    sessions_.erase(s.handle);
    auto it = perUser_.find(s.user);
    if (it != perUser_.end() && --it->second == 0) perUser_.erase(it);
    auto p = s.process != 0 ? perProcess_.find(s.process) : perProcess_.end();
    if (p != perProcess_.end() && --p->second == 0) perProcess_.erase(p);
  }
  ::close(fd);  // leaves the epoll set with it
  arm.unlock();
  if (onClose_) {
    try {
      onClose_(s.handle);
    } catch (...) {
    }
  }
}

// ---------------------------------------------------------------------------------------------
FramedServer::FramedServer(ServerLimits limits, FrameHandler onFrame, CloseHandler onClose, PeerPolicy policy)
    : impl_(std::make_unique<Impl>(limits, std::move(onFrame), std::move(onClose), std::move(policy))),
      limits_(limits) {}

FramedServer::~FramedServer() { Stop(); }

CZoError FramedServer::ListenUnix(const std::string& path, mode_t mode) { return impl_->ListenUnix(path, mode); }
CZoError FramedServer::ListenTcp(const std::string& address, uint16_t port, uint16_t* boundPort) {
  return impl_->ListenTcp(address, port, boundPort);
}
void FramedServer::SetRefusalFrames(RefusalFrames frames) { impl_->SetRefusalFrames(std::move(frames)); }
CZoError FramedServer::Start() { return impl_->Start(); }
void FramedServer::Stop() { impl_->Stop(); }
CZoError FramedServer::Send(SessionHandle h, std::string document) { return impl_->Send(h, std::move(document)); }
void FramedServer::Close(SessionHandle h, const std::string& why) { impl_->Close(h, why); }
bool FramedServer::IsOpen(SessionHandle h) const { return impl_->IsOpen(h); }
size_t FramedServer::ActiveSessions() const { return impl_->Active(); }
size_t FramedServer::BufferedBytes() const { return impl_->Buffered(); }

}  // namespace kxmp::session

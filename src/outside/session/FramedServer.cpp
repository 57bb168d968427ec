#include "outside/session/FramedServer.h"

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <cstring>
#include <deque>

#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"
#include "outside/util/UniqueFd.h"

namespace asio = boost::asio;

namespace kxmp::session {

namespace {

std::string EncodeFrame(const std::string& doc) {
  uint32_t n = static_cast<uint32_t>(doc.size());
  std::string frame;
  frame.reserve(doc.size() + 4);
  frame.push_back(static_cast<char>((n >> 24) & 0xFF));
  frame.push_back(static_cast<char>((n >> 16) & 0xFF));
  frame.push_back(static_cast<char>((n >> 8) & 0xFF));
  frame.push_back(static_cast<char>(n & 0xFF));
  frame += doc;
  return frame;
}

uint32_t DecodeLength(const unsigned char* h) {
  return (uint32_t(h[0]) << 24) | (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | uint32_t(h[3]);
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

}  // namespace

// ---------------------------------------------------------------------------------------------
class FramedServer::Impl {
 public:
  class Connection;

  Impl(ServerLimits limits, FrameHandler onFrame, CloseHandler onClose)
      : limits_(limits),
        onFrame_(std::move(onFrame)),
        onClose_(std::move(onClose)),
        work_(asio::make_work_guard(io_)),
        pool_(limits.workerThreads == 0 ? 1 : limits.workerThreads) {}

  ~Impl() { Stop(); }

  CZoError ListenUnix(const std::string& path, mode_t mode);
  CZoError ListenTcp(const std::string& address, uint16_t port, uint16_t* boundPort);
  CZoError Start();
  void Stop();
  CZoError Send(SessionHandle h, std::string doc);
  void Close(SessionHandle h, const std::string& why);
  bool IsOpen(SessionHandle h) const;
  size_t Active() const;

  void Remove(SessionHandle h);
  void Dispatch(std::shared_ptr<Connection> conn, std::string&& doc);

  const ServerLimits limits_;
  const FrameHandler onFrame_;
  const CloseHandler onClose_;

 private:
  template <typename Acceptor>
  void Accept(Acceptor* acceptor);
  void Adopt(asio::generic::stream_protocol::socket socket);
  std::shared_ptr<Connection> Find(SessionHandle h) const;

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  asio::thread_pool pool_;
  std::unique_ptr<asio::local::stream_protocol::acceptor> unixAcceptor_;
  std::unique_ptr<asio::ip::tcp::acceptor> tcpAcceptor_;
  std::string unixPath_;
  std::thread ioThread_;
  bool started_ = false;
  bool stopped_ = false;
  std::mutex lifecycle_;

  mutable std::mutex sessionsMutex_;
  std::map<SessionHandle, std::shared_ptr<Connection>> sessions_;
  std::atomic<SessionHandle> nextHandle_{1};
};

// One session. Every member is touched only on its strand.
class FramedServer::Impl::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Impl* server, SessionHandle handle, asio::generic::stream_protocol::socket socket)
      : server_(server),
        handle_(handle),
        socket_(std::move(socket)),
        strand_(asio::make_strand(socket_.get_executor())),
        timer_(strand_) {}

  SessionHandle Handle() const { return handle_; }

  void Start() {
    asio::post(strand_, [self = shared_from_this()] {
      self->ArmTimer();
      self->ReadHeader();
    });
  }

  void Send(std::string doc) {
    asio::post(strand_, [self = shared_from_this(), frame = EncodeFrame(doc)]() mutable {
      if (self->closed_) return;
      self->writeQueue_.push_back(std::move(frame));
      if (!self->writing_) self->DoWrite();
    });
  }

  void Close(std::string why) {
    asio::post(strand_, [self = shared_from_this(), why = std::move(why)] { self->CloseNow(why); });
  }

  // Called on the strand after the frame handler has returned.
  void Resume() {
    if (closed_) return;
    ArmTimer();
    ReadHeader();
  }

  asio::strand<asio::any_io_executor>& Strand() { return strand_; }

 private:
  void ArmTimer() {
    uint64_t gen = ++timerGeneration_;
    timer_.expires_after(server_->limits_.idleTimeout);
    timer_.async_wait([self = shared_from_this(), gen](const boost::system::error_code& ec) {
      if (ec || gen != self->timerGeneration_ || self->closed_) return;
      self->CloseNow("idle time-out");
    });
  }

  void StopTimer() {
    ++timerGeneration_;
    timer_.cancel();
  }

  void ReadHeader() {
    asio::async_read(socket_, asio::buffer(header_, sizeof header_),
                     asio::bind_executor(strand_, [self = shared_from_this()](const boost::system::error_code& ec, size_t) {
                       self->OnHeader(ec);
                     }));
  }

  void OnHeader(const boost::system::error_code& ec) {
    if (closed_) return;
    if (ec) {
      CloseNow(ec == asio::error::eof ? "peer closed the session" : "read failed: " + ec.message());
      return;
    }
    uint32_t len = DecodeLength(header_);
    if (len == 0) {
      CloseNow("empty frame");
      return;
    }
    if (len > server_->limits_.maxFrameBytes) {
      CloseNow("frame of " + std::to_string(len) + " bytes exceeds the limit of " +
               std::to_string(server_->limits_.maxFrameBytes));
      return;
    }
    body_.assign(len, '\0');
    asio::async_read(socket_, asio::buffer(&body_[0], body_.size()),
                     asio::bind_executor(strand_, [self = shared_from_this()](const boost::system::error_code& ec2, size_t) {
                       self->OnBody(ec2);
                     }));
  }

  void OnBody(const boost::system::error_code& ec) {
    if (closed_) return;
    if (ec) {
      CloseNow(ec == asio::error::eof ? "peer closed the session inside a frame" : "read failed: " + ec.message());
      return;
    }
    // The idle clock stops while the request is served.
    StopTimer();
    std::string doc;
    doc.swap(body_);
    server_->Dispatch(shared_from_this(), std::move(doc));
  }

  void DoWrite() {
    writing_ = true;
    asio::async_write(socket_, asio::buffer(writeQueue_.front()),
                      asio::bind_executor(strand_, [self = shared_from_this()](const boost::system::error_code& ec, size_t) {
                        if (self->closed_) {
                          // The buffers stay alive until the pending write has completed.
                          self->writing_ = false;
                          self->writeQueue_.clear();
                          return;
                        }
                        self->writeQueue_.pop_front();
                        if (ec) {
                          self->writing_ = false;
                          self->CloseNow("write failed: " + ec.message());
                          return;
                        }
                        if (!self->writeQueue_.empty()) {
                          self->DoWrite();
                        } else {
                          self->writing_ = false;
                        }
                      }));
  }

  void CloseNow(const std::string& why) {
    if (closed_) return;
    closed_ = true;
    KXLOG_NORMAL("Closing session [%lld]: %s", static_cast<long long>(handle_), why.c_str());
    StopTimer();
    boost::system::error_code ignored;
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
    socket_.close(ignored);
    if (!writing_) writeQueue_.clear();
    server_->Remove(handle_);
  }

  Impl* server_;
  const SessionHandle handle_;
  asio::generic::stream_protocol::socket socket_;
  asio::strand<asio::any_io_executor> strand_;
  asio::steady_timer timer_;
  unsigned char header_[4] = {0, 0, 0, 0};
  std::string body_;
  std::deque<std::string> writeQueue_;
  bool writing_ = false;
  bool closed_ = false;
  uint64_t timerGeneration_ = 0;
};

CZoError FramedServer::Impl::ListenUnix(const std::string& path, mode_t mode) {
  sockaddr_un probe{};
  if (path.empty() || path.size() >= sizeof(probe.sun_path)) {
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
  try {
    auto acc = std::make_unique<asio::local::stream_protocol::acceptor>(io_);
    asio::local::stream_protocol::endpoint ep(path);
    acc->open(ep.protocol());
    acc->bind(ep);
    if (::chmod(path.c_str(), mode) != 0) {
      int e = errno;
      return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Failed to set mode of [%s]: %s", path.c_str(), std::strerror(e));
    }
    acc->listen(asio::socket_base::max_listen_connections);
    unixAcceptor_ = std::move(acc);
    unixPath_ = path;
  } catch (const boost::system::system_error& ex) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ex.code().value(), "Failed to listen on [%s]: %s", path.c_str(), ex.what());
  }
  return CZoError::Success();
}

CZoError FramedServer::Impl::ListenTcp(const std::string& address, uint16_t port, uint16_t* boundPort) {
  try {
    auto addr = asio::ip::make_address(address);
    if (!addr.is_loopback()) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "Refusing to listen on [%s]: only loopback is served", address.c_str());
    }
    auto acc = std::make_unique<asio::ip::tcp::acceptor>(io_);
    asio::ip::tcp::endpoint ep(addr, port);
    acc->open(ep.protocol());
    acc->set_option(asio::socket_base::reuse_address(true));
    acc->bind(ep);
    acc->listen(asio::socket_base::max_listen_connections);
    if (boundPort) *boundPort = acc->local_endpoint().port();
    tcpAcceptor_ = std::move(acc);
  } catch (const boost::system::system_error& ex) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ex.code().value(), "Failed to listen on [%s:%u]: %s", address.c_str(),
                                   static_cast<unsigned>(port), ex.what());
  }
  return CZoError::Success();
}

template <typename Acceptor>
void FramedServer::Impl::Accept(Acceptor* acceptor) {
  acceptor->async_accept([this, acceptor](const boost::system::error_code& ec, typename Acceptor::protocol_type::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor->is_open()) return;
    if (!ec) {
      // Keep the endpoint's protocol family; the session code is the same for both kinds.
      int family = socket.local_endpoint().protocol().family();
      int fd = socket.release();
      asio::generic::stream_protocol::socket generic(io_, asio::generic::stream_protocol(family, 0), fd);
      Adopt(std::move(generic));
    } else {
      KXLOG_ERROR("Accepting a session failed: %s", ec.message().c_str());
    }
    Accept(acceptor);
  });
}

void FramedServer::Impl::Adopt(asio::generic::stream_protocol::socket socket) {
  std::shared_ptr<Connection> conn;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    if (sessions_.size() >= limits_.maxConnections) {
      KXLOG_ERROR("Refusing a session: %zu sessions are open (the limit)", sessions_.size());
      boost::system::error_code ignored;
      socket.close(ignored);
      return;
    }
    SessionHandle h = nextHandle_++;
    conn = std::make_shared<Connection>(this, h, std::move(socket));
    sessions_.emplace(h, conn);
  }
  KXLOG_TRACE("Session [%lld] opened", static_cast<long long>(conn->Handle()));
  conn->Start();
}

void FramedServer::Impl::Dispatch(std::shared_ptr<Connection> conn, std::string&& doc) {
  asio::post(pool_, [this, conn, doc = std::move(doc)]() mutable {
    SessionHandle h = conn->Handle();
    try {
      onFrame_(h, std::move(doc));
    } catch (const std::exception& ex) {
      KXLOG_ERROR("Session [%lld]: request handler failed: %s", static_cast<long long>(h), ex.what());
      conn->Close("request handler failed");
    } catch (...) {
      KXLOG_ERROR("Session [%lld]: request handler failed", static_cast<long long>(h));
      conn->Close("request handler failed");
    }
    asio::post(conn->Strand(), [conn] { conn->Resume(); });
  });
}

CZoError FramedServer::Impl::Start() {
  std::lock_guard<std::mutex> lock(lifecycle_);
  if (started_) return CZoError::Success();
  if (!unixAcceptor_ && !tcpAcceptor_) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "The session server has nothing to listen on");
  }
  if (unixAcceptor_) Accept(unixAcceptor_.get());
  if (tcpAcceptor_) Accept(tcpAcceptor_.get());
  ioThread_ = std::thread([this] {
    for (;;) {
      try {
        io_.run();
        return;
      } catch (const std::exception& ex) {
        KXLOG_ERROR("Session server loop: %s", ex.what());
      }
    }
  });
  started_ = true;
  return CZoError::Success();
}

void FramedServer::Impl::Stop() {
  std::lock_guard<std::mutex> lock(lifecycle_);
  if (stopped_) return;
  stopped_ = true;
  asio::post(io_, [this] {
    boost::system::error_code ignored;
    if (unixAcceptor_) unixAcceptor_->close(ignored);
    if (tcpAcceptor_) tcpAcceptor_->close(ignored);
  });
  std::vector<std::shared_ptr<Connection>> all;
  {
    std::lock_guard<std::mutex> l(sessionsMutex_);
    for (auto& kv : sessions_) all.push_back(kv.second);
  }
  for (auto& c : all) c->Close("server stopping");
  pool_.join();
  work_.reset();
  if (started_) {
    // Let the closes run, then stop the loop.
    asio::post(io_, [this] { io_.stop(); });
    if (ioThread_.joinable()) ioThread_.join();
  }
  {
    std::lock_guard<std::mutex> l(sessionsMutex_);
    sessions_.clear();
  }
  if (!unixPath_.empty()) ::unlink(unixPath_.c_str());
}

std::shared_ptr<FramedServer::Impl::Connection> FramedServer::Impl::Find(SessionHandle h) const {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  auto it = sessions_.find(h);
  return it == sessions_.end() ? nullptr : it->second;
}

CZoError FramedServer::Impl::Send(SessionHandle h, std::string doc) {
  auto conn = Find(h);
  if (!conn) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOTCONN, "Session [%lld] is not open", static_cast<long long>(h));
  if (doc.size() > 0xFFFFFFFFu) return FXErrorUtil::ErrorErrNo(FX_LOC, EMSGSIZE, "Response too large");
  conn->Send(std::move(doc));
  return CZoError::Success();
}

void FramedServer::Impl::Close(SessionHandle h, const std::string& why) {
  if (auto conn = Find(h)) conn->Close(why);
}

bool FramedServer::Impl::IsOpen(SessionHandle h) const { return Find(h) != nullptr; }

size_t FramedServer::Impl::Active() const {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  return sessions_.size();
}

void FramedServer::Impl::Remove(SessionHandle h) {
  bool removed;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    removed = sessions_.erase(h) > 0;
  }
  if (removed && onClose_) {
    try {
      onClose_(h);
    } catch (...) {
    }
  }
}

// ---------------------------------------------------------------------------------------------
FramedServer::FramedServer(ServerLimits limits, FrameHandler onFrame, CloseHandler onClose)
    : impl_(std::make_unique<Impl>(limits, std::move(onFrame), std::move(onClose))), limits_(limits) {}

FramedServer::~FramedServer() { Stop(); }

CZoError FramedServer::ListenUnix(const std::string& path, mode_t mode) { return impl_->ListenUnix(path, mode); }
CZoError FramedServer::ListenTcp(const std::string& address, uint16_t port, uint16_t* boundPort) {
  return impl_->ListenTcp(address, port, boundPort);
}
CZoError FramedServer::Start() { return impl_->Start(); }
void FramedServer::Stop() { impl_->Stop(); }
CZoError FramedServer::Send(SessionHandle h, std::string doc) { return impl_->Send(h, std::move(doc)); }
void FramedServer::Close(SessionHandle h, const std::string& why) { impl_->Close(h, why); }
bool FramedServer::IsOpen(SessionHandle h) const { return impl_->IsOpen(h); }
size_t FramedServer::ActiveSessions() const { return impl_->Active(); }

// ---------------------------------------------------------------------------------------------
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
  if (e.IsError()) return e;
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

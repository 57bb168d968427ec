#pragma once
// The transport of the session server: a Unix-domain (and optionally loopback TCP) listener
// whose connections exchange frames. A frame is a 4-byte big-endian length followed by that
// many bytes (one XML document). Each connection is a session with its own handle.
//
// A received frame goes to the frame handler on a pool of worker threads; a session reads
// its next frame only after the handler has returned, so its responses keep their order while
// different sessions are served at once. Misbehaving peers (oversized or empty frames, a
// length prefix without its body, silence past the idle time-out, more connections than the
// limit) get their session closed with a log line; the server keeps serving the others.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

namespace kxmp::session {

using SessionHandle = int64_t;

struct ServerLimits {
  size_t maxFrameBytes = 1u << 20;                   // a larger frame closes the session
  std::chrono::milliseconds idleTimeout{30000};      // silence (or a stalled frame) closes it
  size_t maxConnections = 512;                       // further connections are closed at once
  size_t workerThreads = 4;                          // frame handlers running at once
};

class KXMP_EXPORT FramedServer {
 public:
  // Runs on a worker thread; the document is the frame's body.
  using FrameHandler = std::function<void(SessionHandle, std::string&& document)>;
  // Told when a session ends (after its last handler call).
  using CloseHandler = std::function<void(SessionHandle)>;

  FramedServer(ServerLimits limits, FrameHandler onFrame, CloseHandler onClose = nullptr);
  ~FramedServer();
  FramedServer(const FramedServer&) = delete;
  FramedServer& operator=(const FramedServer&) = delete;

  // Binds a Unix-domain socket at path (a stale socket file is replaced) with the given mode.
  CZoError ListenUnix(const std::string& path, mode_t mode = 0660);
  // Binds loopback TCP; port 0 picks a free port, reported in *boundPort.
  CZoError ListenTcp(const std::string& address, uint16_t port, uint16_t* boundPort);

  CZoError Start();
  // Closes the listeners and every session, waits for running handlers. Idempotent.
  void Stop();

  // Queues one frame on the session; safe from any thread. Fails when the session is gone.
  CZoError Send(SessionHandle handle, std::string document);
  void Close(SessionHandle handle, const std::string& why);
  bool IsOpen(SessionHandle handle) const;
  size_t ActiveSessions() const;

  const ServerLimits& Limits() const { return limits_; }

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
  ServerLimits limits_;
};

// A blocking client for tools and tests: one request frame out, one response frame back.
class KXMP_EXPORT SessionClient {
 public:
  SessionClient() = default;
  ~SessionClient();
  SessionClient(const SessionClient&) = delete;
  SessionClient& operator=(const SessionClient&) = delete;

  CZoError ConnectUnix(const std::string& path);
  CZoError ConnectTcp(const std::string& address, uint16_t port);
  CZoError SendFrame(const std::string& document);
  // Sends raw bytes (tests use it to send broken frames).
  CZoError SendRaw(const std::string& bytes);
  // Waits at most timeoutMs for one whole frame; ECONNRESET-kind error when the peer closed.
  CZoError ReceiveFrame(std::string& document, int timeoutMs, size_t maxBytes = 64u << 20);
  CZoError Call(const std::string& request, std::string& response, int timeoutMs);
  // True when the server has closed the connection (reads end of file within timeoutMs).
  bool WaitClosed(int timeoutMs);
  void Disconnect();
  bool Connected() const { return fd_ >= 0; }

 private:
  CZoError ReadExact(char* buf, size_t n, int timeoutMs);
  int fd_ = -1;
};

}  // namespace kxmp::session

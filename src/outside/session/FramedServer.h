#pragma once
// The transport of the session server: a Unix-domain (and optionally loopback TCP) listener
// whose connections exchange frames. A frame is a 4-byte big-endian length followed by that
// many bytes (one XML document). Each connection is a session with its own handle.
//
// Threads: one thread accepts (and closes idle sessions); worker threads wait on one epoll
// set, read what a session sent and run the frame handler for each whole frame. A session
// reads its next frame only after the handler has returned and its answers are written, so
// its responses keep their order while different sessions are served at once.
//
// Hostile peers: a peer whose user the PeerPolicy refuses (on the Unix socket or, by the owner
// of its socket, on loopback TCP), a process or user over its share of sessions, and
// connections over the limit are closed when accepted, with a log line, after the refusal
// frame set for the case (SetRefusalFrames) so that the peer learns why. A frame's buffer
// grows as its bytes arrive (a header announcing 1 MiB costs nothing yet), and the bytes
// buffered by all sessions are capped: the session that would pass the cap is closed.
// Oversized or empty frames and silence past the idle time-out (also inside a frame or with
// answers the peer does not read) close the session; the server keeps serving the others.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"
#include "outside/session/PeerPolicy.h"

namespace kxmp::session {

using SessionHandle = int64_t;

struct ServerLimits {
  size_t maxFrameBytes = 1u << 20;                   // a larger frame closes the session
  std::chrono::milliseconds idleTimeout{30000};      // silence (or a stalled frame) closes it
  size_t maxConnections = 512;                       // further connections are closed at once
  size_t maxSessionsPerUser = 128;                   // sessions of one peer user at once
  size_t maxSessionsPerProcess = 32;                 // sessions of one peer process at once
  size_t maxBufferedBytes = 64u << 20;               // received bytes held by all sessions
  size_t workerThreads = 4;                          // frame handlers running at once
};

class KXMP_EXPORT FramedServer {
 public:
  // Runs on a worker thread; the document is the frame's body.
  using FrameHandler = std::function<void(SessionHandle, std::string&& document)>;
  // Told when a session ends (after its last handler call).
  using CloseHandler = std::function<void(SessionHandle)>;

  FramedServer(ServerLimits limits, FrameHandler onFrame, CloseHandler onClose = nullptr,
               PeerPolicy policy = PeerPolicy());
  ~FramedServer();
  FramedServer(const FramedServer&) = delete;
  FramedServer& operator=(const FramedServer&) = delete;

  // Binds a Unix-domain socket at path (a stale socket file is replaced) with the given mode.
  CZoError ListenUnix(const std::string& path, mode_t mode = 0660);
  // Binds loopback TCP; port 0 picks a free port, reported in *boundPort.
  CZoError ListenTcp(const std::string& address, uint16_t port, uint16_t* boundPort);

  // What a refused peer is sent (whole frames, header included) before it is closed: one for a
  // user the policy refuses, one for a connection over a limit. Empty: closed without a word.
  // Set before Start.
  struct RefusalFrames {
    std::string notAllowed;
    std::string overLimit;
  };
  void SetRefusalFrames(RefusalFrames frames);

  CZoError Start();
  // Closes the listeners and every session, waits for running handlers. Idempotent.
  void Stop();

  // Queues one frame on the session; safe from any thread. Fails when the session is gone.
  CZoError Send(SessionHandle handle, std::string document);
  void Close(SessionHandle handle, const std::string& why);
  bool IsOpen(SessionHandle handle) const;
  size_t ActiveSessions() const;
  // Received bytes the sessions hold now (unfinished frames, frames being handled).
  size_t BufferedBytes() const;

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
  // One request, one answer. When the request cannot be sent because the server closed the
  // session, an answer it sent before closing (a refusal) is still read and returned.
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

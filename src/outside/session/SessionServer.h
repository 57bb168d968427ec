#pragma once
// The host's session server: every connection of the FramedServer transport is a session
// with its own handle. A received document becomes a message of its class (the XML factory)
// and goes to the service's IncomingMsgXMLCallback(KXN_CALLBACK_RECEIVED, this, handle, msg)
// on the worker pool, several sessions at once. The service answers through the session's
// CKxNetwork (AcquireSession), whose SendXMLMessage sends one frame back on the connection.
//
// A document that is malformed or names no known message class closes its session with a
// log line; the service is not called. A peer refused when it connects is first sent one
// GenericResp whose errorCode is errno EACCES (not an allowed user or group) or EAGAIN (over
// a limit of sessions), so that it can say why.
//
// Ownership of a received message: it is recorded as in flight (InFlightMessages) while the
// callback runs. CleanXmlBuffer frees it and takes it off the record; when the callback
// returns without having freed it (the service's error paths), the server frees it.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"
#include "outside/session/CKxNetworkServer.h"
#include "outside/session/FramedServer.h"

class IOnDemandSvcInterface;

namespace kxmp::session {

class KXMP_EXPORT SessionServer : public CKxNetworkServer {
 public:
  // The service must outlive the server (or at least its Stop()). The policy says which
  // local users may open sessions on the Unix socket.
  explicit SessionServer(IOnDemandSvcInterface* service, ServerLimits limits = ServerLimits{},
                         PeerPolicy policy = PeerPolicy());
  ~SessionServer() override;
  SessionServer(const SessionServer&) = delete;
  SessionServer& operator=(const SessionServer&) = delete;

  CZoError ListenUnix(const std::string& path, mode_t mode = 0660);
  CZoError ListenTcp(const std::string& address, uint16_t port, uint16_t* boundPort);
  CZoError Start();
  // Closes every session and waits for running callbacks. Idempotent.
  void Stop();

  // The network object of an open session, valid until the matching ReleaseSession; the
  // session may be acquired several times (each acquisition needs its own release). ENOTCONN
  // when the session is not open, EINVAL for a null out pointer.
  CZoError AcquireSession(KxnHandle_t handle, CKxNetwork** network) override;
  // ENOENT when the session is not acquired.
  CZoError ReleaseSession(KxnHandle_t handle) override;

  size_t ActiveSessions() const { return transport_.ActiveSessions(); }
  size_t BufferedBytes() const { return transport_.BufferedBytes(); }
  // Sessions currently acquired (tests check that every acquisition was released).
  size_t AcquiredSessions() const;

 private:
  class Network;
  struct Acquired {
    std::unique_ptr<Network> network;
    int count = 0;
  };

  void OnFrame(SessionHandle handle, std::string&& document);

  IOnDemandSvcInterface* const service_;
  mutable std::mutex acquiredMutex_;
  std::map<KxnHandle_t, Acquired> acquired_;
  FramedServer transport_;  // last: stopped and destroyed before the members it calls into
};

}  // namespace kxmp::session

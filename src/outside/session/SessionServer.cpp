#include "outside/session/SessionServer.h"

#include <errno.h>

#include <exception>
#include <new>

#include "kxmp/IOnDemandSvcInterface.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/error/Guarded.h"
#include "outside/log/Log.h"
#include "outside/session/FrameCodec.h"
#include "outside/session/InFlightMessages.h"
#include "outside/xml/CNMessageFactory.h"
#include "outside/xml/TesselMessages.h"

namespace kxmp::session {

namespace {
// Built at load, so that reporting a shortage of memory allocates nothing.
const CZoError kOutOfMemory(FXErrorUtil::ErrNoCode(ENOMEM), FXCodeLocation("SessionServer.cpp", "SessionServer", 0),
                            "Out of memory");
// A refusal as a client reads it: one frame holding a generic response whose error code is
// of the errno kind (EACCES: not an allowed user; EAGAIN: over a limit).
std::string RefusalFrame(int errnoValue) {
  Tessel::GenericResp answer;
  answer.setint64(1, 1, FXErrorUtil::ErrNoCode(errnoValue), Tessel::kGenericRespTag, Tessel::kGenericRespErrorCodeId);
  std::string document;
  if (answer.serialize(document, false) != 0) return std::string();
  return EncodeFrame(document);
}

}  // namespace

// The network object of one acquired session: sends on the transport by handle, so a session
// that closed meanwhile makes the send fail instead of touching a dead connection.
class SessionServer::Network : public CKxNetwork {
 public:
  Network(FramedServer& transport, SessionHandle handle) : transport_(transport), handle_(handle) {}

  // flags and timeout are accepted for the interface's sake: a frame is queued on the session
  // and written in order; *sent tells whether it was queued.
  CZoError SendXMLMessage(CNMessageBase* msg, int, int, bool* sent) override {
    if (sent) *sent = false;
    try {
      if (msg == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "No message to send");
      std::string document;
      if (int r = msg->serialize(document, false)) {
        return FXErrorUtil::ErrorErrNo(FX_LOC, EBADMSG, "The message [%s] cannot be serialized: %s [%d]",
                                       msg->getTagName(), CNMessageBase::ResultText(r), r);
      }
      CZoError err = transport_.Send(handle_, std::move(document));
      if (err.IsError()) return err.Push(FX_LOC);
      if (sent) *sent = true;
      return CZoError::Success();
    } catch (...) {
      return CaughtError(kOutOfMemory, FX_LOC);
    }
  }

 private:
  FramedServer& transport_;
  const SessionHandle handle_;
};

SessionServer::SessionServer(IOnDemandSvcInterface* service, ServerLimits limits, PeerPolicy policy)
    : service_(service),
      transport_(limits, [this](SessionHandle h, std::string&& doc) { OnFrame(h, std::move(doc)); }, nullptr,
                 std::move(policy)) {
  transport_.SetRefusalFrames({RefusalFrame(EACCES), RefusalFrame(EAGAIN)});
}

SessionServer::~SessionServer() { Stop(); }

CZoError SessionServer::ListenUnix(const std::string& path, mode_t mode) { return transport_.ListenUnix(path, mode); }

CZoError SessionServer::ListenTcp(const std::string& address, uint16_t port, uint16_t* boundPort) {
  return transport_.ListenTcp(address, port, boundPort);
}

CZoError SessionServer::Start() {
  if (service_ == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "The session server has no service");
  return transport_.Start();
}

void SessionServer::Stop() { transport_.Stop(); }

CZoError SessionServer::AcquireSession(KxnHandle_t handle, CKxNetwork** network) {
  try {
    if (network == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "No place for the session's network object");
    *network = nullptr;
    if (!transport_.IsOpen(handle)) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENOTCONN, "Session [%lld] is not open", static_cast<long long>(handle));
    }
    std::lock_guard<std::mutex> lock(acquiredMutex_);
    Acquired& entry = acquired_[handle];
    if (!entry.network) entry.network = std::make_unique<Network>(transport_, handle);
    ++entry.count;
    *network = entry.network.get();
    return CZoError::Success();
  } catch (...) {
    std::lock_guard<std::mutex> lock(acquiredMutex_);
    auto it = acquired_.find(handle);
    if (it != acquired_.end() && it->second.count == 0) acquired_.erase(it);
    return CaughtError(kOutOfMemory, FX_LOC);
  }
}

CZoError SessionServer::ReleaseSession(KxnHandle_t handle) {
  {
    std::lock_guard<std::mutex> lock(acquiredMutex_);
    auto it = acquired_.find(handle);
    if (it != acquired_.end()) {
      if (--it->second.count == 0) acquired_.erase(it);
      return CZoError::Success();
    }
  }
  try {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Session [%lld] is not acquired", static_cast<long long>(handle));
  } catch (...) {
    return CaughtError(kOutOfMemory, FX_LOC);
  }
}

size_t SessionServer::AcquiredSessions() const {
  std::lock_guard<std::mutex> lock(acquiredMutex_);
  return acquired_.size();
}

void SessionServer::OnFrame(SessionHandle handle, std::string&& document) {
  std::unique_ptr<CNMessageBase> message;
  CZoError err = CNMessageFactory::FromXml(document, message);
  if (err.IsError()) {
    KXLOG_ERROR("Session [%lld]: refusing the message received: %s", static_cast<long long>(handle),
                err.AsString().c_str());
    transport_.Close(handle, "malformed or unknown message");
    return;
  }
  document.clear();
  document.shrink_to_fit();

  // Tracked before the hand-over; if tracking fails the message is still ours (unique_ptr).
  const uint64_t ticket = InFlightMessages::Instance().Track(message.get());
  CNMessageBase* raw = message.release();
  CZoError result;
  try {
    result = service_->IncomingMsgXMLCallback(CKxNetworkServer::KXN_CALLBACK_RECEIVED, this, handle, raw);
  } catch (...) {
    // The service must not throw; if it does, the session is given up but the message is
    // still reclaimed below.
    if (InFlightMessages::Instance().Reclaim(raw, ticket)) delete raw;
    throw;
  }
  if (InFlightMessages::Instance().Reclaim(raw, ticket)) delete raw;
  if (result.IsError()) {
    KXLOG_ERROR("Session [%lld]: the service could not handle the message: %s", static_cast<long long>(handle),
                result.AsString().c_str());
  }
}

}  // namespace kxmp::session

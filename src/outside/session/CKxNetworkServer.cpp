#include "outside/session/CKxNetworkServer.h"

#include "outside/session/InFlightMessages.h"
#include "outside/xml/CNMessageBase.h"

CKxNetwork::~CKxNetwork() = default;

CKxNetworkServer::~CKxNetworkServer() = default;

CZoError CKxNetworkServer::CleanXmlBuffer(CNMessageBase*& message) {
  if (message == nullptr) return CZoError::Success();
  // Untracked first, so a server that looks for it afterwards no longer finds it.
  kxmp::session::InFlightMessages::Instance().Untrack(message);
  delete message;
  message = nullptr;
  return CZoError::Success();
}

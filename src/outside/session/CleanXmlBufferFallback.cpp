// Frees a received message. This weak definition serves builds without the session server;
// the session server's own definition replaces it (it also forgets messages it has in flight).

#include "outside/session/CKxNetworkServer.h"
#include "outside/xml/CNMessageBase.h"

__attribute__((weak)) CZoError CKxNetworkServer::CleanXmlBuffer(CNMessageBase*& message) {
  delete message;
  message = nullptr;
  return CZoError::Success();
}

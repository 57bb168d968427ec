#pragma once
// The session library's view used by the service: a session server that delivers messages
// to the service and hands out the network object of a session, through which the service
// answers. The socket server behind these interfaces lives in this component too; tests fake
// them by deriving.

#include <cstdint>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

class CNMessageBase;  // the XML message library

// A session handle of the session server.
typedef int64_t KxnHandle_t;

class KXMP_EXPORT CKxNetwork {
 public:
  virtual ~CKxNetwork();
  // Sends one XML message on the session; *sent tells whether it left.
  virtual CZoError SendXMLMessage(CNMessageBase* msg, int flags, int timeout, bool* sent) = 0;
};

class KXMP_EXPORT CKxNetworkServer {
 public:
  enum KxnCallback_e { KXN_CALLBACK_CONNECTED = 1, KXN_CALLBACK_DISCONNECTED = 2, KXN_CALLBACK_RECEIVED = 3 };

  virtual ~CKxNetworkServer();
  // The network object of a session, valid until ReleaseSession.
  virtual CZoError AcquireSession(KxnHandle_t handle, CKxNetwork** network) = 0;
  virtual CZoError ReleaseSession(KxnHandle_t handle) = 0;
  // Frees a received message and sets the pointer to null.
  static CZoError CleanXmlBuffer(CNMessageBase*& message);
};

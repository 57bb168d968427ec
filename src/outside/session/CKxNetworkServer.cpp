#include "outside/session/CKxNetworkServer.h"

CKxNetwork::~CKxNetwork() = default;

CKxNetworkServer::~CKxNetworkServer() = default;

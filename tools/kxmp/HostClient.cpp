#include "HostClient.h"

#include "Command.h"

#include <cerrno>
#include <cstdio>

#include "outside/error/FXErrorUtil.h"
#include "outside/session/FramedServer.h"
#include "outside/util/FXPath.h"
#include "outside/util/FXString.h"
#include "outside/util/KxHome.h"
#include "outside/xml/CNMessageFactory.h"
#include "outside/xml/TesselMessages.h"

namespace kxmp::cli {

void HostOptions::AddTo(CLI::App& cmd) {
  cmd.add_option("--socket", socket, "the host's socket (default: <home>/run/mountpoint.sock)")->type_name("PATH");
  cmd.add_option("--home", home, HomeHelp())->type_name("DIR");
  cmd.add_option("--timeout", timeoutSeconds, "seconds to wait for the answer (default 120)")
      ->check(CLI::Range(1, 86400));
}

std::string HostOptions::SocketPath() const {
  if (!socket.empty()) return socket;
  return FXPath::Join(home.empty() ? kxmp::home::Root() : home, "run/mountpoint.sock");
}

bool Exchange(const HostOptions& options, const CNMessageBase& request, std::unique_ptr<CNMessageBase>& response,
              const Output& out) {
  const std::string socket = options.SocketPath();
  std::string document;
  if (int r = request.serialize(document, false)) {
    out.Fail(kExitFailed, FXString::Format("the request cannot be written: %s", CNMessageBase::ResultText(r)));
    return false;
  }
  kxmp::session::SessionClient client;
  CZoError err = client.ConnectUnix(socket);
  if (err.IsError()) {
    const int n = FXErrorUtil::Number(err);
    if (n == ENOENT || n == ECONNREFUSED || n == ENOTSOCK) {
      out.Fail(kExitFailed, FXString::Format("no host is serving %s: start it with kxmp-host", socket.c_str()));
    } else if (n == EACCES) {
      out.Fail(kExitFailed, FXString::Format("cannot reach the host at %s: Permission denied (kxmp-host lets its own "
                                             "user, root and the members of its allowed group through)",
                                             socket.c_str()));
    } else {
      out.Fail(kExitFailed, FXString::Format("cannot reach the host at %s: %s", socket.c_str(), ErrorText(err).c_str()));
    }
    return false;
  }
  std::string answer;
  err = client.Call(document, answer, options.timeoutSeconds * 1000);
  if (err.IsError()) {
    if (FXErrorUtil::IsErrNo(err, ETIMEDOUT)) {
      out.Fail(kExitFailed, FXString::Format("the host at %s did not answer within %d s", socket.c_str(), options.timeoutSeconds));
    } else if (FXErrorUtil::IsErrNo(err, ECONNRESET) || FXErrorUtil::IsErrNo(err, EPIPE)) {
      out.Fail(kExitFailed, FXString::Format("the host at %s closed the session without answering (it closes the "
                                             "sessions of users it does not allow, and sessions over its limits)",
                                             socket.c_str()));
    } else {
      out.Fail(kExitFailed, FXString::Format("the exchange with the host at %s failed: %s", socket.c_str(),
                   ErrorText(err).c_str()));
    }
    return false;
  }
  err = CNMessageFactory::FromXml(answer, response);
  if (err.IsError()) {
    out.Fail(kExitFailed, FXString::Format("the host's answer cannot be read: %s", ErrorText(err).c_str()));
    return false;
  }
  if (response->getTagID() == Tessel::kGenericRespTag) {
    // Not an answer to the request: the host refused the session when it was opened.
    const int64_t code = response->getint64(1, Tessel::kGenericRespTag, Tessel::kGenericRespErrorCodeId);
    if (code == FXErrorUtil::ErrNoCode(EACCES)) {
      out.Fail(kExitFailed, FXString::Format("refused by kxmp-host (not an allowed user or group) at %s: it takes "
                                             "requests from its own user, root and the members of its allowed group",
                                             socket.c_str()));
    } else {
      out.Fail(kExitFailed, FXString::Format("refused by kxmp-host at %s: it holds as many sessions as it takes "
                                             "(errorCode %lld); try again",
                                             socket.c_str(), static_cast<long long>(code)));
    }
    return false;
  }
  return true;
}

}  // namespace kxmp::cli

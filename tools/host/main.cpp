// kxmp-host: the on-demand service host. Loads the service library, initialises the
// service, serves its session socket until SIGINT or SIGTERM, then stops the service.
//
//   kxmp-host [--library PATH] [--socket PATH] [--tcp-port N] [--log-level N] [--home DIR]
//
// Prints "kxmp-host: serving <socket>" once requests are accepted. SIGHUP reopens the log
// file. Exit status: 0 after a clean stop, 1 when it cannot start (among others on a home
// that kxmp setup did not make), 2 for usage errors.
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "ServiceLibrary.h"
#include "kxmp/Version.h"
#include "outside/log/FileLogWriter.h"
#include "outside/log/Log.h"
#include "outside/session/SessionServer.h"
#include "outside/util/KxHome.h"

namespace {

struct Options {
  std::string library;
  std::string socket;
  int tcpPort = -1;
  int logLevel = 0;
  std::string home;
};

int Fail(const std::string& what, const CZoError& err) {
  std::fprintf(stderr, "kxmp-host: %s: %s\n", what.c_str(), err.AsString().c_str());
  KXLOG_ERROR("kxmp-host: %s: %s", what.c_str(), err.AsString().c_str());
  return 1;
}

// Blocks the stop signals and SIGHUP in every thread (threads started later inherit the
// mask), so the main thread alone takes them with sigwait.
sigset_t BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client that goes away must not end the host
  return set;
}

// A home that `kxmp setup` made holds its registry folder. A host started on a mistyped or
// missing home would otherwise make one silently and serve a catalog that is not there.
bool IsKxmpHome(const std::string& home, std::string& why) {
  struct stat st {};
  if (::stat(home.c_str(), &st) != 0) {
    why = std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    why = "not a folder";
    return false;
  }
  const std::string registry = home + "/registry";
  if (::stat(registry.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    why = errno == EACCES ? std::strerror(errno) : "no registry/ folder";
    return false;
  }
  return true;
}

int Serve(const Options& opt, int argc, char** argv, const sigset_t& stopSignals) {
  const std::string home = kxmp::home::Root();
  if (std::string why; !IsKxmpHome(home, why)) {
    std::fprintf(stderr, "kxmp-host: %s is not a kxmp home (%s): make it with kxmp setup --home %s\n", home.c_str(),
                 why.c_str(), home.c_str());
    return 1;
  }
  std::string logDir;
  if (CZoError err = kxmp::home::Ensure("log", logDir); err.IsError()) return Fail("no log folder", err);
  auto logger = std::make_shared<FileLogWriter>(logDir + "/kxmp-host.log", opt.logLevel);
  SetLogWriter(logger);

  std::string socket = opt.socket;
  if (socket.empty()) {
    std::string runDir;
    if (CZoError err = kxmp::home::Ensure("run", runDir); err.IsError()) return Fail("no run folder", err);
    socket = runDir + "/mountpoint.sock";
  }

  kxmp::host::ServiceLibrary library;
  const std::string libraryPath = opt.library.empty() ? kxmp::host::ServiceLibrary::DefaultPath() : opt.library;
  if (CZoError err = library.Load(libraryPath); err.IsError()) return Fail("cannot load the service", err);
  IOnDemandSvcInterface* service = library.Service();
  KXLOG_NORMAL("kxmp-host: loaded the service library [%s]", libraryPath.c_str());

  std::string text;
  int number = 0;
  if (CZoError err = service->Initialize(argc, argv, text, number, nullptr); err.IsError()) {
    return Fail("the service failed to initialise", err);
  }

  kxmp::session::SessionServer server(service);
  if (CZoError err = server.ListenUnix(socket, 0660); err.IsError()) return Fail("cannot serve " + socket, err);
  uint16_t port = 0;
  if (opt.tcpPort >= 0) {
    if (CZoError err = server.ListenTcp("127.0.0.1", static_cast<uint16_t>(opt.tcpPort), &port); err.IsError()) {
      return Fail("cannot listen on TCP port " + std::to_string(opt.tcpPort), err);
    }
  }
  if (CZoError err = server.Start(); err.IsError()) return Fail("cannot start the session server", err);
  if (opt.tcpPort >= 0) std::printf("kxmp-host: listening on 127.0.0.1:%u\n", static_cast<unsigned>(port));
  std::printf("kxmp-host: serving %s\n", socket.c_str());
  std::fflush(stdout);
  KXLOG_NORMAL("kxmp-host: serving [%s]", socket.c_str());

  int sig = 0;
  for (;;) {
    if (sigwait(&stopSignals, &sig) != 0) continue;
    if (sig != SIGHUP) break;
    // logrotate moved the file away: write to a new one under the same name.
    logger->Reopen();
    KXLOG_NORMAL("kxmp-host: reopened the log file on SIGHUP");
  }
  KXLOG_NORMAL("kxmp-host: stopping on signal %d", sig);
  server.Stop();
  CZoError killed = service->KillAllJobs();
  if (killed.IsError()) KXLOG_ERROR("kxmp-host: KillAllJobs failed: %s", killed.AsString().c_str());
  service->CleanUp();
  KXLOG_NORMAL("kxmp-host: stopped");
  SetLogWriter(nullptr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const sigset_t stopSignals = BlockStopSignals();
  Options opt;
  CLI::App app{"kxmp-host: serves the mount-point service on a session socket until SIGINT or SIGTERM"};
  app.add_option("--library", opt.library, "the service library (default: the one installed beside the host)");
  app.add_option("--socket", opt.socket, "the Unix socket to serve (default: $KX_HOME/run/mountpoint.sock)");
  app.add_option("--tcp-port", opt.tcpPort, "also serve this TCP port on 127.0.0.1 (0: any free port)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--log-level", opt.logLevel, "log level of $KX_HOME/log/kxmp-host.log (default 0)")
      ->check(CLI::Range(-1, 10));
  app.add_option("--home", opt.home,
                 std::string("the home folder made by kxmp setup (default: $KX_HOME, else ") + kxmp::home::DefaultRoot() + ")");
  app.set_version_flag("--version", KxmpVersion(), "print the version and exit");
  app.footer("Example:\n  kxmp setup --home /srv/kxmp && kxmp-host --home /srv/kxmp\n"
             "SIGINT and SIGTERM stop the host; SIGHUP reopens its log file (for log rotation).");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (!opt.home.empty()) setenv("KX_HOME", opt.home.c_str(), 1);
  try {
    return Serve(opt, argc, argv, stopSignals);
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "kxmp-host: %s\n", ex.what());
    return 1;
  }
}

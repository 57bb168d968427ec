// kxmp-host: the on-demand service host. Loads the service library, initialises the
// service, serves its session socket until SIGINT or SIGTERM, then stops the service.
//
//   kxmp-host [--library PATH] [--socket PATH] [--tcp-port N] [--log-level N] [--home DIR]
//             [--allowed-group NAME] [--max-sessions-per-user N] [--max-sessions-per-process N]
//
// Local peers: the host's own user, root, and the members of one group (the option, else the
// registry value Host/sAllowedGroup; a name or a number) may send requests, on the socket and
// on the loopback TCP port alike (there judged by the user owning the peer's socket). With a
// group, the home and run/ let its members through to the socket (run/ 0710, the socket 0660,
// both of the group). Run as root on a home another user owns, the host runs as that user.
//
// Prints "kxmp-host: serving <socket>" once requests are accepted. SIGHUP reopens the log
// file. Exit status: 0 after a clean stop, 1 when it cannot start (among others on a home
// that kxmp setup did not make), 2 for usage errors. `kxmp-host --write-docs DIR` writes its
// man page and completion scripts (the build runs it).
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ServiceLibrary.h"
#include "common/CommandDocs.h"
#include "common/ToolHome.h"
#include "kxmp/Version.h"
#include "outside/log/FileLogWriter.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/session/SessionServer.h"
#include "outside/util/KxHome.h"

namespace {

struct Options {
  std::string library;
  std::string socket;
  int tcpPort = -1;
  int logLevel = 0;
  std::string home;
  std::string allowedGroup;
  size_t maxSessionsPerUser = kxmp::session::ServerLimits{}.maxSessionsPerUser;
  size_t maxSessionsPerProcess = kxmp::session::ServerLimits{}.maxSessionsPerProcess;
};

// The group whose members may send requests besides the host's user and root: the option,
// else the registry value Host/sAllowedGroup; none when neither names one.
CZoError PeerPolicyFromSettings(const std::string& option, kxmp::session::PeerPolicy& policy) {
  std::string name = option;
  if (name.empty()) KXPlatformInfo().getString("Host", "sAllowedGroup", &name);
  if (name.empty()) {
    policy = kxmp::session::PeerPolicy();
    return CZoError::Success();
  }
  gid_t gid = 0;
  auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), gid);
  if (ec != std::errc() || end != name.data() + name.size()) {
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    const int r = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (found == nullptr) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, r != 0 ? r : ENOENT, "the allowed group [%s] does not exist",
                                     name.c_str());
    }
    gid = found->gr_gid;
  }
  policy = kxmp::session::PeerPolicy(::geteuid(), gid, name);
  return CZoError::Success();
}

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

std::string Errno(const std::string& what, int e) { return what + ": " + std::strerror(e); }

// The home as far as the members of the allowed group need it: they may pass through (search
// permission), nothing more. A home whose group is another with rights of its own keeps it,
// and must let everyone pass for the group's members to reach the socket.
bool LetGroupThroughHome(const std::string& home, gid_t gid, const std::string& group, std::string& why) {
  struct stat st {};
  if (::stat(home.c_str(), &st) != 0) {
    why = Errno("cannot examine " + home, errno);
    return false;
  }
  if ((st.st_mode & S_IXOTH) != 0 || (st.st_gid == gid && (st.st_mode & S_IXGRP) != 0)) return true;
  if (st.st_gid != gid && (st.st_mode & S_IRWXG) != 0) {
    why = home + " belongs to group " + std::to_string(st.st_gid) + ", which has rights on it: the members of " +
          group + " cannot reach the socket through it (chgrp it to " + group + ", or chmod o+x it)";
    return false;
  }
  if (st.st_gid != gid && ::chown(home.c_str(), static_cast<uid_t>(-1), gid) != 0) {
    why = Errno("cannot give " + home + " to group " + group + " (the host's user must be root or a member of it)",
                errno);
    return false;
  }
  if (::chmod(home.c_str(), (st.st_mode & 07777) | S_IXGRP) != 0) {
    why = Errno("cannot let group " + group + " through " + home, errno);
    return false;
  }
  return true;
}

// run/ of the group: 0710, so that its members reach the socket and see nothing else.
bool GiveRunFolderToGroup(const std::string& runDir, gid_t gid, const std::string& group, std::string& why) {
  const int fd = ::open(runDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    why = Errno("cannot open " + runDir, errno);
    return false;
  }
  const bool ok = ::fchown(fd, static_cast<uid_t>(-1), gid) == 0 && ::fchmod(fd, 0710) == 0;
  const int e = errno;
  ::close(fd);
  if (!ok) {
    why = Errno("cannot give " + runDir + " to group " + group + " (the host's user must be root or a member of it)", e);
  }
  return ok;
}

int Serve(const Options& opt, int argc, char** argv, const sigset_t& stopSignals) {
  const std::string home = kxmp::home::Root();
  std::string why;
  if (kxmp::tools::ExamineHome(home, why) != kxmp::tools::HomeProblem::kNone) {
    std::fprintf(stderr, "kxmp-host: %s is not a kxmp home (%s): make it with kxmp setup --home %s\n", home.c_str(),
                 why.c_str(), home.c_str());
    return 1;
  }
  std::string owner;
  if (!kxmp::tools::ActAsHomeOwner(home, owner, why)) {
    std::fprintf(stderr, "kxmp-host: %s\n", why.c_str());
    return 1;
  }
  std::string logDir;
  if (CZoError err = kxmp::home::Ensure("log", logDir); err.IsError()) return Fail("no log folder", err);
  auto logger = std::make_shared<FileLogWriter>(logDir + "/kxmp-host.log", opt.logLevel);
  SetLogWriter(logger);

  if (!owner.empty()) KXLOG_NORMAL("kxmp-host: running as %s, who owns the home [%s]", owner.c_str(), home.c_str());
  std::string socket = opt.socket;
  std::string runDir;
  if (socket.empty()) {
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

  kxmp::session::PeerPolicy policy;
  if (CZoError err = PeerPolicyFromSettings(opt.allowedGroup, policy); err.IsError()) {
    return Fail("cannot tell who may send requests", err);
  }
  KXLOG_NORMAL("kxmp-host: requests are taken from %s", policy.Describe().c_str());
  const std::optional<gid_t> group = policy.AllowedGroup();
  const std::string groupName = opt.allowedGroup.empty() ? std::to_string(group.value_or(0)) : opt.allowedGroup;
  if (group && !runDir.empty() &&
      (!LetGroupThroughHome(home, *group, groupName, why) || !GiveRunFolderToGroup(runDir, *group, groupName, why))) {
    std::fprintf(stderr, "kxmp-host: %s\n", why.c_str());
    KXLOG_ERROR("kxmp-host: %s", why.c_str());
    return 1;
  }
  kxmp::session::ServerLimits limits;
  limits.maxSessionsPerUser = opt.maxSessionsPerUser;
  limits.maxSessionsPerProcess = opt.maxSessionsPerProcess;
  kxmp::session::SessionServer server(service, limits, policy);
  if (CZoError err = server.ListenUnix(socket, 0660); err.IsError()) return Fail("cannot serve " + socket, err);
  if (group && ::chown(socket.c_str(), static_cast<uid_t>(-1), *group) != 0) {
    why = Errno("cannot give " + socket + " to group " + groupName + " (the host's user must be root or a member of it)",
                errno);
    std::fprintf(stderr, "kxmp-host: %s\n", why.c_str());
    KXLOG_ERROR("kxmp-host: %s", why.c_str());
    return 1;
  }
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

// The sections of the page that the options do not hold.
kxmp::tools::ProgramDocs Docs() {
  const std::string home = kxmp::home::DefaultRoot();
  kxmp::tools::ProgramDocs docs;
  docs.program = "kxmp-host";
  docs.version = KxmpVersion();
  docs.pageTitle = "kxmp manual";
  docs.summary = "serve the mount-point service on a session socket";
  docs.pagePerSubcommand = false;
  docs.exitStatus = {{"0", "stopped cleanly by SIGINT or SIGTERM"},
                     {"1", "it cannot start: no home made by kxmp setup, the service library, the socket, the group"},
                     {"2", "a usage error"}};
  docs.environment = {{"KX_HOME", "the home folder when --home is not given (default " + home + ")"}};
  docs.files = {{"$KX_HOME/run/mountpoint.sock", "the socket served (0660; of the allowed group when there is one)"},
                {"$KX_HOME/log/kxmp-host.log", "the host's log; SIGHUP reopens it"},
                {"$KX_HOME/registry/Host/sAllowedGroup", "the allowed group when --allowed-group is not given"}};
  docs.seeAlso = {"kxmp(1)"};
  return docs;
}

int main(int argc, char** argv) {
  const sigset_t stopSignals = BlockStopSignals();
  Options opt;
  CLI::App app{"kxmp-host: serves the mount-point service on a session socket until SIGINT or SIGTERM"};
  app.add_option("--library", opt.library, "the service library (default: the one installed beside the host)")
      ->type_name("FILE");
  app.add_option("--socket", opt.socket, "the Unix socket to serve (default: $KX_HOME/run/mountpoint.sock)")
      ->type_name("PATH");
  app.add_option("--tcp-port", opt.tcpPort,
                 "also serve this TCP port on 127.0.0.1 (0: any free port); a TCP peer is judged by the user "
                 "owning its socket, as on the Unix socket")
      ->check(CLI::Range(0, 65535));
  app.add_option("--log-level", opt.logLevel, "log level of $KX_HOME/log/kxmp-host.log (default 0)")
      ->check(CLI::Range(-1, 10));
  app.add_option("--home", opt.home,
                 std::string("the home folder made by kxmp setup (default: $KX_HOME, else ") + kxmp::home::DefaultRoot() + ")")
      ->type_name("DIR");
  app.add_option("--allowed-group", opt.allowedGroup,
                 "a group whose members may send requests besides the host's user and root (default: the "
                 "registry value Host/sAllowedGroup); run/ and the socket are given to it");
  app.add_option("--max-sessions-per-user", opt.maxSessionsPerUser, "sessions one local user may hold at once (default 128)")
      ->check(CLI::Range(1, 4096));
  app.add_option("--max-sessions-per-process", opt.maxSessionsPerProcess,
                 "sessions one local process may hold at once (default 32)")
      ->check(CLI::Range(1, 4096));
  app.set_version_flag("--version", KxmpVersion(), "print the version and exit");
  app.footer("Example:\n  kxmp setup --home /srv/kxmp && kxmp-host --home /srv/kxmp\n"
             "SIGINT and SIGTERM stop the host; SIGHUP reopens its log file (for log rotation).");
  if (argc == 3 && std::string(argv[1]) == "--write-docs") return kxmp::tools::WriteDocs(app, Docs(), argv[2]);
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

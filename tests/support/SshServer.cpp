#include "support/SshServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "support/Subprocess.h"

extern char** environ;

namespace kxmp::test {

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kSshd = "/usr/sbin/sshd";
constexpr const char* kKeygen = "/usr/bin/ssh-keygen";

// sshd's rule for a chroot and key files: every step owned by root, writable by no one else.
bool SecurePath(const std::string& path) {
  std::string p = path;
  for (;;) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0 || st.st_uid != 0 || (st.st_mode & 022) != 0) return false;
    if (p == "/") return true;
    size_t cut = p.rfind('/');
    p = cut == 0 ? "/" : p.substr(0, cut);
  }
}

std::string ExeFolder() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string exe(buf, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

// A folder below which the server's folders may be made: the KX_SSHD_BASE variable, the
// build tree, /run or /var/lib, whichever is secure first.
std::string SecureBase() {
  std::vector<std::string> candidates;
  if (const char* env = std::getenv("KX_SSHD_BASE")) candidates.emplace_back(env);
  candidates.push_back(ExeFolder());
  candidates.emplace_back("/run");
  candidates.emplace_back("/var/lib");
  for (const auto& c : candidates) {
    if (!c.empty() && c[0] == '/' && SecurePath(c)) return c;
  }
  return "";
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool Spit(const std::string& path, const std::string& text, mode_t mode) {
  {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out) return false;
  }
  return ::chmod(path.c_str(), mode) == 0;
}

// "type base64" of a public key file (the comment dropped).
std::string KeyOf(const std::string& pubFile) {
  std::istringstream in(Slurp(pubFile));
  std::string type, blob;
  in >> type >> blob;
  return type + " " + blob;
}

bool Keygen(const std::string& file, std::string& why, const char* type = "ed25519") {
  ::unlink(file.c_str());
  ::unlink((file + ".pub").c_str());
  RunResult r = RunTool({kKeygen, "-q", "-t", type, "-N", "", "-C", "kxmp-test", "-f", file}, 30000);
  if (r.status != 0) why = "ssh-keygen failed: " + r.err;
  return r.status == 0;
}

int FreePort(const std::string& address) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in sa {};
  sa.sin_family = AF_INET;
  ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  socklen_t len = sizeof sa;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
    port = ntohs(sa.sin_port);
  }
  ::close(fd);
  return port;
}

bool Accepts(const std::string& address, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in sa {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  ::close(fd);
  return ok;
}

// Parent of every process, from /proc.
std::map<pid_t, pid_t> ParentMap() {
  std::map<pid_t, pid_t> out;
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return out;
  while (dirent* de = ::readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(de->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    std::string stat = Slurp(std::string("/proc/") + de->d_name + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream in(stat.substr(close + 1));
    char state = 0;
    long ppid = 0;
    in >> state >> ppid;
    if (state != 'Z') out[static_cast<pid_t>(pid)] = static_cast<pid_t>(ppid);
  }
  ::closedir(d);
  return out;
}

bool Alive(pid_t pid) {
  std::string stat = Slurp("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

}  // namespace

SshServer::SshServer(std::string address) : address_(std::move(address)) {}

SshServer::~SshServer() {
  Stop();
  if (logThread_.joinable()) {
    stopLog_ = true;
    logThread_.join();
  }
  if (logSocket_ >= 0) ::close(logSocket_);
  if (!base_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
  }
}

std::string SshServer::WhyUnavailable() {
  if (::access(kSshd, X_OK) != 0) return "sshd is not installed (Debian package openssh-server)";
  if (::access(kKeygen, X_OK) != 0) return "ssh-keygen is not installed (Debian package openssh-client)";
  if (::geteuid() != 0) return "sshd needs root for ChrootDirectory; run the tests as root";
  if (SecureBase().empty()) return "no folder owned by root and writable by no one else for the chroot";
  return "";
}

std::string SshServer::User() const {
  struct passwd* pw = ::getpwuid(::geteuid());
  return pw ? pw->pw_name : "root";
}

bool SshServer::Prepare(std::string& why) {
  if (!base_.empty()) return true;
  why = WhyUnavailable();
  if (!why.empty()) return false;
  // sshd's privilege separation folder, made by the service scripts on an installed system.
  ::mkdir("/run/sshd", 0755);
  std::string tmpl = SecureBase() + "/kxmp-sshd-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr || ::chmod(tmpl.c_str(), 0755) != 0) {
    why = "cannot make a folder below " + SecureBase();
    return false;
  }
  base_ = tmpl;
  chroot_ = base_ + "/root";
  ::mkdir(chroot_.c_str(), 0755);
  identity_ = base_ + "/id_ed25519";
  std::string hostKey = base_ + "/host_ed25519";
  if (!Keygen(hostKey, why) || !Keygen(identity_, why)) return false;
  if (unlistedEcdsa_ && !Keygen(base_ + "/host_ecdsa", why, "ecdsa")) return false;
  hostPub_ = KeyOf(hostKey + ".pub");
  RunResult fp = RunTool({kKeygen, "-l", "-E", "sha256", "-f", hostKey + ".pub"}, 30000);
  std::istringstream fpin(fp.out);
  std::string bits;
  fpin >> bits >> fingerprint_;
  if (!Spit(base_ + "/authorized_keys", KeyOf(identity_ + ".pub") + "\n", 0644)) {
    why = "cannot write authorized_keys";
    return false;
  }
  logFile_ = base_ + "/sshd.log";
  config_ = base_ + "/sshd_config";
  return true;
}

bool SshServer::Start(std::string& why) {
  if (pid_ > 0) return true;
  if (!Prepare(why)) return false;
  if (logRequests_ && logSocket_ < 0) StartRequestLog();
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePort(address_);
    if (port_ == 0) {
      why = "no free port on " + address_;
      return false;
    }
    std::ostringstream cfg;
    cfg << "ListenAddress " << address_ << ":" << port_ << "\n"
        << (unlistedEcdsa_ ? "HostKey " + base_ + "/host_ecdsa\n" : std::string())
        << "HostKey " << base_ << "/host_ed25519\n"
        << "PidFile none\n"
        << "AuthorizedKeysFile " << base_ << "/authorized_keys\n"
        << "PubkeyAuthentication yes\n"
        << "PasswordAuthentication no\n"
        << "KbdInteractiveAuthentication no\n"
        << "PermitRootLogin prohibit-password\n"
        << "UsePAM no\n"
        << "StrictModes yes\n"
        << "AllowTcpForwarding no\n"
        << "X11Forwarding no\n"
        << "MaxStartups 64\n"
        << "LogLevel VERBOSE\n"
        << "Subsystem sftp internal-sftp\n"
        << "ChrootDirectory " << chroot_ << "\n"
        << "ForceCommand internal-sftp " << (logRequests_ ? "-l DEBUG3 -f LOCAL5 " : "") << sftpOptions_ << "\n";
    knownHosts_ = base_ + "/known_hosts";
    if (!Spit(config_, cfg.str(), 0600) ||
        !Spit(knownHosts_, "[" + address_ + "]:" + std::to_string(port_) + " " + hostPub_ + "\n", 0644)) {
      why = "cannot write the server's configuration";
      return false;
    }
    int logFd = ::open(logFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (logFd >= 0) posix_spawn_file_actions_adddup2(&actions, logFd, 2);
    std::vector<std::string> argv = {kSshd, "-D", "-e", "-f", config_};
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, kSshd, &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (logFd >= 0) ::close(logFd);
    if (rc != 0) {
      why = "cannot start sshd";
      return false;
    }
    pid_ = pid;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      if (Accepts(address_, port_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid_ > 0) {
      Kill();
      why = "sshd did not accept connections within 20 s: " + Log();
      return false;
    }
    why = "sshd ended: " + Log();
    if (why.find("Address already in use") == std::string::npos) return false;  // else try another port
  }
  return false;
}

std::vector<pid_t> SshServer::Tree() const {
  std::vector<pid_t> out;
  if (pid_ <= 0) return out;
  std::map<pid_t, pid_t> parents = ParentMap();
  out.push_back(pid_);
  for (size_t i = 0; i < out.size(); ++i) {
    for (const auto& [pid, ppid] : parents) {
      if (ppid == out[i]) out.push_back(pid);
    }
  }
  return out;
}

void SshServer::SignalTree(int sig) const {
  // The listener first, so that no new session appears while the others are signalled.
  std::vector<pid_t> tree = Tree();
  for (pid_t p : tree) ::kill(p, sig);
  if (sig == SIGSTOP || sig == SIGKILL) {
    for (pid_t p : Tree()) ::kill(p, sig);  // sessions forked meanwhile
  }
}

void SshServer::Pause() { SignalTree(SIGSTOP); }

void SshServer::Resume() { SignalTree(SIGCONT); }

void SshServer::Kill() {
  if (pid_ <= 0) return;
  std::vector<pid_t> tree = Tree();
  SignalTree(SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  // Sessions are not our children; wait (bounded) until they are gone.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (pid_t p : tree) {
    while (Alive(p) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void SshServer::DropSessions() {
  std::vector<pid_t> tree = Tree();
  for (size_t i = 1; i < tree.size(); ++i) ::kill(tree[i], SIGKILL);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (size_t i = 1; i < tree.size(); ++i) {
    while (Alive(tree[i]) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void SshServer::Stop() {
  if (pid_ <= 0) return;
  std::vector<pid_t> tree = Tree();
  for (pid_t p : tree) {
    ::kill(p, SIGCONT);
    ::kill(p, SIGTERM);
  }
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (Clock::now() < deadline) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (pid_ > 0) {
    Kill();
    return;
  }
  for (pid_t p : tree) {
    if (Alive(p)) ::kill(p, SIGKILL);
    while (Alive(p) && Clock::now() < deadline + std::chrono::seconds(5)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
}

std::string SshServer::WriteWrongKnownHosts(const std::string& name) {
  std::string why;
  std::string other = base_ + "/other_host_ed25519";
  if (!Keygen(other, why)) return "";
  std::string path = base_ + "/" + name;
  Spit(path, "[" + address_ + "]:" + std::to_string(port_) + " " + KeyOf(other + ".pub") + "\n", 0644);
  return path;
}

void SshServer::StartRequestLog() {
  const std::string dev = chroot_ + "/dev";
  ::mkdir(dev.c_str(), 0755);
  sockaddr_un sa {};
  sa.sun_family = AF_UNIX;
  const std::string path = dev + "/log";
  if (path.size() >= sizeof sa.sun_path) return;
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  logSocket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (logSocket_ < 0 || ::bind(logSocket_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return;
  ::chmod(path.c_str(), 0666);
  logThread_ = std::thread([this] {
    while (!stopLog_) {
      pollfd p {logSocket_, POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) DrainRequestLog();
    }
  });
}

void SshServer::DrainRequestLog() {
  std::lock_guard<std::mutex> lock(logMutex_);
  char buf[8192];
  for (ssize_t n; (n = ::recv(logSocket_, buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
    requestLog_.append(buf, static_cast<size_t>(n));
    requestLog_ += '\n';
  }
}

size_t SshServer::RequestLogSize() {
  if (logSocket_ < 0) return 0;
  DrainRequestLog();
  std::lock_guard<std::mutex> lock(logMutex_);
  return requestLog_.size();
}

std::map<std::string, size_t> SshServer::Requests(size_t from) {
  std::map<std::string, size_t> out;
  if (logSocket_ < 0) return out;
  DrainRequestLog();
  std::lock_guard<std::mutex> lock(logMutex_);
  // "debug3: request 12: open flags 26", "debug1: request 13: read \"/x\" ..."; the server's
  // answers read "debug1: request 12: sent handle 0".
  const std::string mark = ": request ";
  for (size_t at = requestLog_.find(mark, from); at != std::string::npos; at = requestLog_.find(mark, at + 1)) {
    const size_t colon = requestLog_.find(": ", at + mark.size());
    const size_t end = requestLog_.find_first_of(" \n", colon + 2);
    if (colon == std::string::npos || end == std::string::npos) break;
    const std::string name = requestLog_.substr(colon + 2, end - colon - 2);
    if (name != "sent") ++out[name];
  }
  return out;
}

std::vector<SshServer::Request> SshServer::RequestList(size_t from) {
  std::vector<Request> out;
  if (logSocket_ < 0) return out;
  DrainRequestLog();
  std::lock_guard<std::mutex> lock(logMutex_);
  std::istringstream lines(requestLog_.substr(std::min(from, requestLog_.size())));
  // "<175>Dec  8 22:40:15 internal-sftp[30277]: debug3: request 1: stat", then
  // "<174>Dec  8 22:40:15 internal-sftp[30277]: stat name \"/disk1\"".
  const std::regex request(R"(\[(\d+)\]: debug\d: request \d+: (\S+))"), said(R"(\[(\d+)\]: (.*))");
  bool open = false;  // the last request waits for the line that tells what it touched
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, request)) {
      open = false;
      if (m[2] == "sent") continue;
      out.push_back({m[1], m[2], line.substr(static_cast<size_t>(m.position(0)))});
      open = true;
    } else if (open && std::regex_search(line, m, said) && m[1] == out.back().session &&
               line.find("debug") == std::string::npos && m[2].str().rfind("sent ", 0) != 0) {
      out.back().what = m[2];
      open = false;
    }
  }
  return out;
}

std::string SshServer::KnownHostsLine(const std::string& marker) const {
  return (marker.empty() ? "" : marker + " ") + "[" + address_ + "]:" + std::to_string(port_) + " " + hostPub_ + "\n";
}

bool SshServer::AuthorizeKey(const std::string& pubFile) {
  std::ofstream out(base_ + "/authorized_keys", std::ios::app);
  out << KeyOf(pubFile) << "\n";
  return static_cast<bool>(out);
}

std::string SshServer::Log() const { return logFile_.empty() ? "" : Slurp(logFile_); }

}  // namespace kxmp::test

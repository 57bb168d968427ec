#include "support/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace kxmp::test {

namespace {

using Clock = std::chrono::steady_clock;

pid_t Spawn(const std::vector<std::string>& argv, int outFd, int errFd) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int StatusOf(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return -1;
}

// Waits for the child until the deadline; kills it when the deadline passes.
int Reap(pid_t pid, Clock::time_point deadline) {
  int wstatus = 0;
  for (;;) {
    pid_t r = waitpid(pid, &wstatus, WNOHANG);
    if (r == pid) return StatusOf(wstatus);
    if (r < 0) return -1;
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      return StatusOf(wstatus);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

RunResult RunToolOnTerminal(const std::vector<std::string>& argv, int timeoutMs) {
  RunResult result;
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char slave[128];
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, slave, sizeof slave) != 0) {
    if (master >= 0) ::close(master);
    return result;
  }
  const int terminal = ::open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
  const pid_t pid = terminal >= 0 ? Spawn(argv, terminal, terminal) : -1;
  if (terminal >= 0) ::close(terminal);  // the tool must hold the last descriptor of its side
  if (pid < 0) {
    ::close(master);
    return result;
  }
  // The terminal reads as ended (EIO) once the tool, the last holder of its side, ends.
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[4096];
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, MsLeft(deadline)) <= 0) break;
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    result.out.append(buffer, static_cast<size_t>(n));
  }
  result.status = Reap(pid, deadline);
  ::close(master);
  return result;
}

RunResult RunTool(const std::vector<std::string>& argv, int timeoutMs) {
  RunResult result;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  pid_t pid = Spawn(argv, out[1], err[1]);
  close(out[1]);
  close(err[1]);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = pid > 0 ? 2 : 0;
  while (open > 0 && MsLeft(deadline) > 0) {
    if (poll(fds, 2, MsLeft(deadline)) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  close(out[0]);
  close(err[0]);
  if (pid > 0) result.status = Reap(pid, deadline);
  return result;
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) Stop(SIGKILL, 5000);
  if (outFd_ >= 0) close(outFd_);
}

bool ServerProcess::Start(const std::vector<std::string>& argv, int pipeBytes) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  if (pipeBytes > 0 && fcntl(out[1], F_SETPIPE_SZ, pipeBytes) < 0) {
    close(out[0]);
    close(out[1]);
    return false;
  }
  pid_ = Spawn(argv, out[1], -1);
  close(out[1]);
  outFd_ = out[0];
  return pid_ > 0;
}

bool ServerProcess::WaitForLine(const std::string& prefix, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (size_t start = 0; start < out_.size();) {
      size_t nl = out_.find('\n', start);
      if (nl == std::string::npos) break;
      if (out_.compare(start, prefix.size(), prefix) == 0) return true;
      start = nl + 1;
    }
    if (outFd_ < 0 || MsLeft(deadline) == 0) return false;
    ReadSome(MsLeft(deadline));
  }
}

void ServerProcess::ReadSome(int timeoutMs) {
  pollfd p{outFd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return;
  char buf[4096];
  ssize_t n = read(outFd_, buf, sizeof buf);
  if (n <= 0) {
    close(outFd_);
    outFd_ = -1;
  } else {
    out_.append(buf, static_cast<size_t>(n));
  }
}

int ServerProcess::Stop(int signal, int timeoutMs) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  int status = Reap(pid_, Clock::now() + std::chrono::milliseconds(timeoutMs));
  pid_ = -1;
  return status;
}

int ServerProcess::Interrupt(int signal, int timeoutMs) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (outFd_ >= 0 && MsLeft(deadline) > 0) ReadSome(MsLeft(deadline));
  int status = Reap(pid_, deadline);
  pid_ = -1;
  return status;
}

}  // namespace kxmp::test

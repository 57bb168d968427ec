#include "support/ForkChild.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kxmp::test {

void ForkChild::Channel::Signal() {
  char b = 1;
  while (::write(writeFd_, &b, 1) < 0 && errno == EINTR) {
  }
}

bool ForkChild::Channel::Wait() {
  char b = 0;
  for (;;) {
    ssize_t n = ::read(readFd_, &b, 1);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

ForkChild::ForkChild(const std::function<int(Channel&)>& body) {
  if (::pipe(toChild_) != 0 || ::pipe(toParent_) != 0) std::abort();
  pid_ = ::fork();
  if (pid_ < 0) std::abort();
  if (pid_ == 0) {
    ::close(toChild_[1]);
    ::close(toParent_[0]);
    Channel child(toChild_[0], toParent_[1]);
    ::_exit(body(child));
  }
  ::close(toChild_[0]);
  ::close(toParent_[1]);
  parentChannel_ = Channel(toParent_[0], toChild_[1]);
}

ForkChild::~ForkChild() {
  if (pid_ > 0) {
    Kill();
    Join();
  }
  ::close(toParent_[0]);
  ::close(toChild_[1]);
}

void ForkChild::Kill() {
  if (pid_ > 0) ::kill(pid_, SIGKILL);
}

int ForkChild::Join() {
  if (pid_ <= 0) return -1;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace kxmp::test

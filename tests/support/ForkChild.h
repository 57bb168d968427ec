#pragma once
// A forked child process driven over two pipes, for tests of cross-process behaviour. The
// child runs a function that may Signal() the parent and Wait() for it, then _exits with
// the function's result. Fork only while the test has no other threads running.

#include <sys/types.h>

#include <functional>

namespace kxmp::test {

class ForkChild {
 public:
  class Channel {
   public:
    Channel(int readFd, int writeFd) : readFd_(readFd), writeFd_(writeFd) {}
    // Sends one byte to the other side.
    void Signal();
    // Waits for one byte; false when the other side is gone.
    bool Wait();

   private:
    int readFd_;
    int writeFd_;
  };

  // Starts the child; body's result becomes its exit code.
  explicit ForkChild(const std::function<int(Channel&)>& body);
  ~ForkChild();  // kills and reaps a child that is still running
  ForkChild(const ForkChild&) = delete;
  ForkChild& operator=(const ForkChild&) = delete;

  Channel& channel() { return parentChannel_; }
  pid_t pid() const { return pid_; }
  void Kill();
  // Reaps the child; its exit code, or 128 + signal number when a signal ended it.
  int Join();

 private:
  pid_t pid_ = -1;
  int toChild_[2] = {-1, -1};
  int toParent_[2] = {-1, -1};
  Channel parentChannel_{-1, -1};
};

}  // namespace kxmp::test

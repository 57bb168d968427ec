#pragma once
// Runs the project's tools from tests: a command that runs to its end with its output
// captured, and a long-running server whose standard output is read line by line.
// Both use posix_spawn, so they are safe while the test has threads.

#include <sys/types.h>

#include <string>
#include <vector>

namespace kxmp::test {

struct RunResult {
  int status = -1;  // exit code, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs argv[0] with the arguments and waits (at most timeoutMs; then it is killed).
RunResult RunTool(const std::vector<std::string>& argv, int timeoutMs = 60000);

// The same with standard output and error on a pseudo-terminal, as a person at a terminal
// runs it: out holds everything the terminal received (line ends as \r\n), err is empty.
RunResult RunToolOnTerminal(const std::vector<std::string>& argv, int timeoutMs = 60000);

class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();  // kills and reaps a process that is still running
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts the process; false when it cannot be started. With pipeBytes, standard output
  // goes through a pipe of that capacity (at least one page): a process that prints more
  // without being read waits in its write, so a test knows it cannot have run to its end.
  bool Start(const std::vector<std::string>& argv, int pipeBytes = 0);
  // Reads standard output until a line starting with prefix arrives (true) or the process
  // ends or timeoutMs passes (false). Lines read so far are kept in Output().
  bool WaitForLine(const std::string& prefix, int timeoutMs);
  const std::string& Output() const { return out_; }
  // Sends the signal and reaps the process; its exit code, or 128 + signal number.
  int Stop(int signal, int timeoutMs = 30000);
  // Sends the signal, reads standard output to its end (into Output()) and reaps the
  // process; its exit code, or 128 + signal number.
  int Interrupt(int signal, int timeoutMs = 30000);
  pid_t pid() const { return pid_; }

 private:
  // Waits up to timeoutMs for standard output and appends what one read brings; closes the
  // pipe at its end.
  void ReadSome(int timeoutMs);

  pid_t pid_ = -1;
  int outFd_ = -1;
  std::string out_;
};

}  // namespace kxmp::test

// Programs that tests start beside themselves (a proxy, a TLS server): read
// their output with a bound, and end them when the test is done.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qm::test {

class ChildProcess {
 public:
  // Starts `argv[0]` (searched in PATH) with its standard output on a pipe;
  // its standard error goes to /dev/null unless `showErrors`.
  explicit ChildProcess(const std::vector<std::string>& argv, bool showErrors = false);
  // Ends the program (SIGTERM, then SIGKILL) and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  // The next line of its standard output without the line break, or nothing
  // when the program said nothing more within `timeout`.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);

 private:
  int pid_ = -1;
  int out_ = -1;
  std::string pending_;
};

// A port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

// True once something accepts connections on 127.0.0.1:`port`.
bool WaitForLoopbackPort(int port, std::chrono::milliseconds timeout);

}  // namespace qm::test

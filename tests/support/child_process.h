// A child process for the suites that drive the test host: started with its
// own environment and working directory, its standard output read through a
// pipe, killable at any moment, waited for with a deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace qx::testing {

class ChildProcess {
 public:
  // Starts |aArgv| (aArgv[0] is the program's path) with the current
  // environment plus |aEnv| ("NAME=value"), in directory |aCwd|. Standard
  // error goes to the test's own standard error.
  ChildProcess(const std::vector<std::string>& aArgv, const std::vector<std::string>& aEnv,
               const std::string& aCwd);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // Reads what the child has printed so far (without waiting) and returns
  // all of its output.
  const std::string& Output();
  // Waits until the output holds |aText| or the child has ended; false on
  // the deadline or the end without the text.
  bool WaitForOutput(const std::string& aText, std::chrono::milliseconds aDeadline);
  void Kill(int aSignal);
  // Waits for the end (killing it with SIGKILL at the deadline, which sets
  // TimedOut) and reads the rest of its output.
  void Wait(std::chrono::milliseconds aDeadline);

  bool Exited() const { return exited_; }
  int ExitCode() const { return exitCode_; }      // when it exited
  int TermSignal() const { return termSignal_; }  // when a signal ended it
  bool TimedOut() const { return timedOut_; }

 private:
  bool Drain(int aTimeoutMs);  // false when the pipe has closed

  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
  bool reaped_ = false;
  bool exited_ = false;
  int exitCode_ = -1;
  int termSignal_ = 0;
  bool timedOut_ = false;
};

// The lines of |aText|.
std::vector<std::string> SplitLines(const std::string& aText);

}  // namespace qx::testing

// Child processes of the reliability suites (see child_process.h).
#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace qx::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& aArgv,
                           const std::vector<std::string>& aEnv, const std::string& aCwd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  for (const std::string& add : aEnv) {
    const std::string name = add.substr(0, add.find('=') + 1);
    std::erase_if(env,
                  [&name](const std::string& e) { return e.compare(0, name.size(), name) == 0; });
    env.push_back(add);
  }
  std::vector<char*> argv, envp;
  for (const std::string& a : aArgv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(fds[1], 1);
    if (::chdir(aCwd.c_str()) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  out_ = fds[0];
}

ChildProcess::~ChildProcess() {
  if (!reaped_) {
    Kill(SIGKILL);
    Wait(std::chrono::seconds(10));
  }
  if (out_ >= 0) ::close(out_);
}

bool ChildProcess::Drain(int aTimeoutMs) {
  if (out_ < 0) return false;
  pollfd p{out_, POLLIN, 0};
  const int ready = ::poll(&p, 1, aTimeoutMs);
  if (ready == 0) return true;
  if (ready < 0) return errno == EINTR;
  char buffer[4096];
  const ssize_t n = ::read(out_, buffer, sizeof buffer);
  if (n > 0) {
    output_.append(buffer, static_cast<size_t>(n));
    return true;
  }
  if (n < 0 && errno == EINTR) return true;
  ::close(out_);
  out_ = -1;
  return false;
}

const std::string& ChildProcess::Output() {
  while (out_ >= 0) {
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) break;
    if (!Drain(0)) break;
  }
  return output_;
}

bool ChildProcess::WaitForOutput(const std::string& aText, std::chrono::milliseconds aDeadline) {
  const auto end = std::chrono::steady_clock::now() + aDeadline;
  while (output_.find(aText) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Drain(static_cast<int>(std::min<int64_t>(left.count(), 100)))) {
      return output_.find(aText) != std::string::npos;
    }
  }
  return true;
}

void ChildProcess::Kill(int aSignal) {
  if (!reaped_ && pid_ > 0) ::kill(pid_, aSignal);
}

void ChildProcess::Wait(std::chrono::milliseconds aDeadline) {
  if (reaped_) return;
  const auto end = std::chrono::steady_clock::now() + aDeadline;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (std::chrono::steady_clock::now() >= end && !timedOut_) {
      timedOut_ = true;
      ::kill(pid_, SIGKILL);
    }
    if (!Drain(20)) {
      // Output closed; the child is ending: wait for it (bounded by the kill above).
      ::usleep(1000);
    }
  }
  reaped_ = true;
  // The child is gone, so the pipe ends once its content has been read.
  while (out_ >= 0) Drain(100);
  if (WIFEXITED(status)) {
    exited_ = true;
    exitCode_ = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    termSignal_ = WTERMSIG(status);
  }
}

std::vector<std::string> SplitLines(const std::string& aText) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < aText.size()) {
    const size_t end = aText.find('\n', start);
    if (end == std::string::npos) break;  // an unfinished line is not counted
    lines.push_back(aText.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace qx::testing

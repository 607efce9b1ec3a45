#include "tests/support/ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <utility>

namespace qpx::test {
namespace {

void Drain(int fd, std::string& into, bool& open) {
  char buffer[65536];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    into.append(buffer, static_cast<std::size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    open = false;
  }
}

}  // namespace

std::unique_ptr<StartedProcess> StartProcess(const std::vector<std::string>& argv,
                                             const std::filesystem::path& workingDirectory,
                                             const ProcessOptions& options) {
  std::vector<std::string> full;
  if (!options.launcher.empty()) full.push_back(options.launcher);
  full.insert(full.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (std::string& arg : full) args.push_back(arg.data());
  args.push_back(nullptr);

  int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
  if (pipe2(outPipe, O_CLOEXEC) != 0) return nullptr;
  if (pipe2(errPipe, O_CLOEXEC) != 0 || (!options.keyAfter.empty() && pipe2(inPipe, O_CLOEXEC) != 0)) {
    for (const int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    return nullptr;
  }
  if (options.outputClosed) {
    close(outPipe[0]);
    outPipe[0] = -1;
  }

  const pid_t pid = fork();
  if (pid == 0) {
    if (options.ownProcessGroup) setpgid(0, 0);
    // Ignored signals stay ignored across exec: start from the defaults.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    if (inPipe[0] >= 0) {
      dup2(inPipe[0], STDIN_FILENO);
    } else {
      close(STDIN_FILENO);  // input at its end: the final key wait returns at once
    }
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    if (chdir(workingDirectory.c_str()) != 0) _exit(126);
    for (const std::string& variable : options.environment) {
      const std::size_t equals = variable.find('=');
      setenv(variable.substr(0, equals).c_str(), variable.substr(equals + 1).c_str(), 1);
    }
    if (options.addressSpaceLimit != 0) {
      const rlimit limit{options.addressSpaceLimit, options.addressSpaceLimit};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
    }
    if (options.fileSizeLimit != 0) {
      const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  // Set from both sides: a signal sent right after the start must find the
  // group already made.
  if (options.ownProcessGroup && pid > 0) setpgid(pid, pid);
  close(outPipe[1]);
  close(errPipe[1]);
  if (inPipe[0] >= 0) close(inPipe[0]);
  // A program that has already gone must fail the key's write, not end the
  // harness.
  if (inPipe[1] >= 0) signal(SIGPIPE, SIG_IGN);
  return std::make_unique<StartedProcess>(pid, outPipe[0], errPipe[0], inPipe[1], options);
}

StartedProcess::StartedProcess(pid_t pid, int outFd, int errFd, int inFd, ProcessOptions options)
    : pid_(pid), outFd_(outFd), errFd_(errFd), inFd_(inFd), options_(std::move(options)) {}

StartedProcess::~StartedProcess() {
  if (finished_) return;
  Signal(SIGKILL);
  for (const int fd : {outFd_, errFd_, inFd_}) {
    if (fd >= 0) close(fd);
  }
  int status = 0;
  while (pid_ > 0 && waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

bool StartedProcess::Signal(int signal) const {
  if (pid_ <= 0 || finished_) return false;
  return kill(options_.ownProcessGroup ? -pid_ : pid_, signal) == 0;
}

ProcessResult StartedProcess::Finish() {
  ProcessResult result;
  if (finished_) return result;
  const pid_t pid = pid_;
  int& inFd = inFd_;
  const ProcessOptions& options = options_;

  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(options.keyTimeoutSeconds);
  const auto limit = start + std::chrono::seconds(options.timeLimitSeconds);
  // When the signal is due: set once its text has shown.
  std::optional<std::chrono::steady_clock::time_point> signalAt;
  const auto closeInput = [&] {
    if (inFd >= 0) close(inFd);
    inFd = -1;
  };
  bool outOpen = outFd_ >= 0, errOpen = true;
  while (outOpen || errOpen) {
    int timeout = -1;
    if (inFd >= 0) {
      if (result.out.find(options.keyAfter) != std::string::npos) {
        result.keySent = write(inFd, "\n", 1) == 1;
        result.outBeforeKey = result.out;
        closeInput();
      } else {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) closeInput();
        timeout = static_cast<int>(std::max<long long>(left.count(), 0));
      }
    }
    if (options.signal != 0 && !result.signalSent) {
      if (!signalAt && result.out.find(options.signalAfter) != std::string::npos) {
        signalAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.signalDelayMilliseconds);
      }
      if (signalAt) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*signalAt - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
          result.signalSent = Signal(options.signal);
        } else if (timeout < 0 || left.count() < timeout) {
          timeout = static_cast<int>(left.count());
        }
      }
    }
    if (options.timeLimitSeconds != 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        if (!result.timedOut) Signal(SIGKILL);
        result.timedOut = true;
        timeout = 100;  // whatever it started may hold the pipes open: drain, but not forever
      } else if (timeout < 0 || left.count() < timeout) {
        timeout = static_cast<int>(left.count());
      }
    }
    pollfd fds[2] = {{outOpen ? outFd_ : -1, POLLIN, 0}, {errOpen ? errFd_ : -1, POLLIN, 0}};
    const int ready = poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0 && result.timedOut) break;
    if (outOpen && (fds[0].revents & (POLLIN | POLLHUP))) Drain(outFd_, result.out, outOpen);
    if (errOpen && (fds[1].revents & (POLLIN | POLLHUP))) Drain(errFd_, result.err, errOpen);
  }
  closeInput();
  if (outFd_ >= 0) close(outFd_);
  close(errFd_);
  outFd_ = errFd_ = -1;

  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  finished_ = true;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.endSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.maxResidentKiB = usage.ru_maxrss;
  return result;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::filesystem::path& workingDirectory,
                         const ProcessOptions& options) {
  const std::unique_ptr<StartedProcess> process = StartProcess(argv, workingDirectory, options);
  return process ? process->Finish() : ProcessResult{};
}

}  // namespace qpx::test

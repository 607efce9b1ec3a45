#include "support/ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::filesystem::path& workingDirectory,
                         const ProcessOptions& options) {
  std::vector<std::string> full;
  if (!options.launcher.empty()) full.push_back(options.launcher);
  full.insert(full.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (std::string& arg : full) args.push_back(arg.data());
  args.push_back(nullptr);

  int outPipe[2], errPipe[2];
  ProcessResult result;
  if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }

  const pid_t pid = fork();
  if (pid == 0) {
    close(STDIN_FILENO);  // input at its end: the final key wait returns at once
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
    execv(args[0], args.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);

  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (outOpen && (fds[0].revents & (POLLIN | POLLHUP))) Drain(outPipe[0], result.out, outOpen);
    if (errOpen && (fds[1].revents & (POLLIN | POLLHUP))) Drain(errPipe[0], result.err, errOpen);
  }
  close(outPipe[0]);
  close(errPipe[0]);

  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.maxResidentKiB = usage.ru_maxrss;
  return result;
}

}  // namespace qpx::test

#include "tool/ToolProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace qpx::test {
namespace {

// A temporary file that receives one captured stream.
class Capture {
 public:
  Capture() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qpx-capture-XXXXXX").string();
    fd_ = mkstemp(pattern.data());
    if (fd_ < 0) throw std::runtime_error("mkstemp failed");
    path_ = pattern;
  }
  ~Capture() {
    close(fd_);
    unlink(path_.c_str());
  }
  int Descriptor() const { return fd_; }
  std::string Text() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& arguments, const std::filesystem::path& directory,
                         const std::vector<std::string>& environment) {
  Capture out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.Descriptor(), 1);
  posix_spawn_file_actions_adddup2(&actions, err.Descriptor(), 2);
  posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());

  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable) variables.emplace_back(*variable);
  for (const std::string& extra : environment) {
    const std::string name = extra.substr(0, extra.find('=') + 1);
    std::erase_if(variables, [&](const std::string& v) { return v.starts_with(name); });
    variables.push_back(extra);
  }
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  ProcessResult result;
  pid_t child = 0;
  const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    result.err = "cannot start " + arguments[0] + ": " + std::strerror(spawned);
    return result;
  }
  int status = 0;
  struct rusage usage {};
  while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.maxResidentKiB = usage.ru_maxrss;
  result.out = out.Text();
  result.err = err.Text();
  return result;
}

}  // namespace qpx::test

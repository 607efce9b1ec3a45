#pragma once
// Runs a program as a player or a script would: in a chosen folder, with
// standard input closed (or held open until a key is due), its output
// captured. The program starts with the default action for every signal
// the harness itself may ignore. POSIX hosts only.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qpx::test {

struct ProcessResult {
  int exitCode = -1;        // -1 when the program did not exit normally
  std::string out;          // standard output, byte for byte
  std::string err;          // standard error
  long maxResidentKiB = 0;  // the program's peak resident memory
  int endSignal = 0;        // the signal that ended the program, if any
  bool keySent = false;     // whether the awaited text showed and a key was sent
  std::string outBeforeKey; // standard output as it stood when the key was sent
  bool timedOut = false;    // the program was killed at the time limit
  bool signalSent = false;  // whether `ProcessOptions::signal` was sent
};

struct ProcessOptions {
  // Started first, given the program's path and arguments: how a Windows
  // program is started under Wine.
  std::string launcher;
  // Caps the program's virtual memory, in bytes, when not 0.
  uint64_t addressSpaceLimit = 0;
  // "NAME=value" entries set on top of this process's environment.
  std::vector<std::string> environment;
  // Caps the size of any file the program writes, in bytes, when not 0.
  uint64_t fileSizeLimit = 0;
  // Standard output is a pipe whose reading end is closed before the start.
  bool outputClosed = false;
  // When not empty, standard input stays open until standard output shows
  // this text, then one key (a line end) is sent. Gives up after
  // `keyTimeoutSeconds` and closes standard input instead.
  std::string keyAfter;
  int keyTimeoutSeconds = 60;
  // When not 0, the program is killed once it has run this long: for tests
  // of what must not hang.
  int timeLimitSeconds = 0;
  // The program starts in a process group of its own, and every signal the
  // harness sends goes to the whole group: a program started through a
  // launcher (Wine, strace) is more than one process.
  bool ownProcessGroup = false;
  // When not 0, this signal is sent once, `signalDelayMilliseconds` after
  // standard output first shows `signalAfter` (after the start when it is
  // empty): to stop a run at a point of its own choosing.
  int signal = 0;
  std::string signalAfter;
  int signalDelayMilliseconds = 0;
};

// A program started and not yet waited for, so that two can run at once or
// the harness can act while it runs. Its output is collected by Finish;
// what it writes meanwhile waits in the pipes (64 KiB of each).
class StartedProcess {
 public:
  StartedProcess(pid_t pid, int outFd, int errFd, int inFd, ProcessOptions options);
  // A program not finished is killed (its group with it) and reaped.
  ~StartedProcess();
  StartedProcess(const StartedProcess&) = delete;
  StartedProcess& operator=(const StartedProcess&) = delete;

  pid_t Id() const { return pid_; }
  // Sends `signal` now, to the program's group when it has one of its own.
  bool Signal(int signal) const;
  // Collects the output until the program closes it, as the options say
  // (key, signal, time limit), then waits for its end. Once only.
  ProcessResult Finish();

 private:
  pid_t pid_;
  int outFd_, errFd_, inFd_;
  ProcessOptions options_;
  bool finished_ = false;
};

// Starts `argv` (argv[0] is the program's path) in `workingDirectory`.
// Null when the pipes could not be made.
std::unique_ptr<StartedProcess> StartProcess(const std::vector<std::string>& argv,
                                             const std::filesystem::path& workingDirectory,
                                             const ProcessOptions& options = {});

// Runs `argv` in `workingDirectory`: StartProcess, then Finish.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::filesystem::path& workingDirectory,
                         const ProcessOptions& options = {});

}  // namespace qpx::test

#pragma once
// Runs a program as a player or a script would: in a chosen folder, with
// standard input closed (or held open until a key is due), its output
// captured. The program starts with the default action for every signal
// the harness itself may ignore. POSIX hosts only.

#include <cstdint>
#include <filesystem>
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
};

// Runs `argv` (argv[0] is the program's path) in `workingDirectory`.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::filesystem::path& workingDirectory,
                         const ProcessOptions& options = {});

}  // namespace qpx::test

#include "tests/support/SystemCallTrace.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <sstream>

#include "tests/support/TestSupport.h"

namespace qpx::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kStrace = "/usr/bin/strace";

// One line of the log: "1234 write(3</g/DATA1.QPX>, "..."..., 32) = 32".
std::optional<TracedCall> ParseLine(std::string line) {
  const std::size_t start = line.find_first_not_of("0123456789 ");  // the process id
  if (start == std::string::npos) return std::nullopt;
  line.erase(0, start);
  const std::size_t paren = line.find('(');
  if (paren == std::string::npos || paren == 0) return std::nullopt;  // "+++ exited", "--- SIGCHLD"
  TracedCall call{line.substr(0, paren), "", line};
  // "<... write resumed>" and the like carry no call of their own.
  if (call.name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos) return std::nullopt;
  for (std::size_t at = line.find('<', paren); at != std::string::npos; at = line.find('<', at + 1)) {
    if (at == 0 || line[at - 1] < '0' || line[at - 1] > '9') continue;
    const std::size_t end = line.find('>', at);
    if (end == std::string::npos) break;
    call.file = line.substr(at + 1, end - at - 1);
    break;
  }
  return call;
}

}  // namespace

bool CanTrace() {
  if (!fs::exists(kStrace)) return false;
  const ProcessResult probe =
      RunProcess({kStrace, "-f", "-qq", "-o", "/dev/null", "-e", "trace=write", "/bin/true"}, fs::current_path());
  return probe.exitCode == 0;
}

Trace RunTraced(const std::vector<std::string>& argv, const fs::path& folder, const std::string& calls,
                ProcessOptions options) {
  static std::atomic<unsigned> counter{0};
  const fs::path log = fs::temp_directory_path() /
                       ("qpx-trace-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".log");
  std::vector<std::string> command = {kStrace, "-f", "-qq", "-y", "-o", log.string(), "-e", "trace=" + calls};
  command.insert(command.end(), argv.begin(), argv.end());
  if (kUnderSanitizer) {
    // The leak check stops the process under ptrace, which a traced
    // process cannot be: it would fail every run.
    const char* const set = std::getenv("ASAN_OPTIONS");
    options.environment.push_back(std::string("ASAN_OPTIONS=") + (set != nullptr ? set : "") + ":detect_leaks=0");
  }
  Trace trace;
  trace.result = RunProcess(command, folder, options);
  const std::vector<uint8_t> bytes = ReadFile(log);
  std::istringstream text(std::string(bytes.begin(), bytes.end()));
  for (std::string line; std::getline(text, line);) {
    if (auto call = ParseLine(line)) trace.calls.push_back(std::move(*call));
  }
  std::error_code ignored;
  fs::remove(log, ignored);
  return trace;
}

bool IsCall(const TracedCall& call, const std::string& names) {
  std::size_t start = 0;
  while (start <= names.size()) {
    std::size_t end = names.find(',', start);
    if (end == std::string::npos) end = names.size();
    if (names.compare(start, end - start, call.name) == 0) return true;
    start = end + 1;
  }
  return false;
}

bool OnFile(const TracedCall& call, const std::string& suffix) { return call.file.ends_with(suffix); }

}  // namespace qpx::test

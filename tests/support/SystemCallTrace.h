#pragma once
// A program run under strace, and the calls it made in order, each with the
// file its descriptor names: for tests of the order of a run's reads,
// writes, flushes, locks and renames. POSIX hosts with strace only.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ProcessRunner.h"

namespace qpx::test {

struct TracedCall {
  std::string name;  // "write", "fdatasync", "rename"
  std::string file;  // the path of the descriptor it names ("3</games/DATA1.QPX>"), if any
  std::string line;  // as strace logged it, without the process id
};

struct Trace {
  ProcessResult result;
  std::vector<TracedCall> calls;

  // The first call at or after `from` (and before `to`) that `match` takes.
  template <typename Match>
  std::optional<std::size_t> Find(Match match, std::size_t from = 0, std::size_t to = SIZE_MAX) const {
    for (std::size_t i = from; i < calls.size() && i < to; ++i) {
      if (match(calls[i])) return i;
    }
    return std::nullopt;
  }
  // The last call before `to` (and at or after `from`) that `match` takes.
  template <typename Match>
  std::optional<std::size_t> FindLast(Match match, std::size_t to = SIZE_MAX, std::size_t from = 0) const {
    std::optional<std::size_t> found;
    for (std::size_t i = from; i < calls.size() && i < to; ++i) {
      if (match(calls[i])) found = i;
    }
    return found;
  }
};

// Whether strace can trace a program here (it is installed, and the system
// lets it).
bool CanTrace();

// Runs `argv` in `folder` under strace, logging the calls named in `calls`
// ("read,write,fdatasync") from every thread and child.
Trace RunTraced(const std::vector<std::string>& argv, const std::filesystem::path& folder, const std::string& calls,
                ProcessOptions options = {});

// Whether `call` is one of the comma-separated `names`.
bool IsCall(const TracedCall& call, const std::string& names);
// Whether `call` names a file whose path ends in `suffix`.
bool OnFile(const TracedCall& call, const std::string& suffix);

}  // namespace qpx::test

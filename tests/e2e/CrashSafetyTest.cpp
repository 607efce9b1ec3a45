// Stops version-2 runs of the real patcher every way a player's run can
// stop (killed at any point, a disk that fills, a second run started beside
// it, Ctrl+C) and runs the same patch again: the game must then hold, byte
// for byte, what one clean run leaves, and nothing beside it.
//
// Natively the kill points are exact: strace delivers SIGKILL as the run
// enters its Nth call of a kind that changes a file, opens one or shows a
// line, for N spread over a clean run's calls. Under Wine they are times.
// The game folders live on a tmpfs of the test's own where it can mount
// one: a kill does not depend on the disk, and the run's flushes cost
// nothing there.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "src/archive/LooseFile.h"
#include "tests/e2e/E2eGlobals.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr const char* kStrace = "/usr/bin/strace";
// The calls a run changes a file with, opens or locks one with, or shows a
// line with: every state the game passes through lies between two of them.
constexpr const char* kStepCalls =
    "write,pwrite64,writev,pwritev,ftruncate,fdatasync,fsync,fallocate,unlink,unlinkat,openat,rename,renameat,"
    "renameat2,flock";
// Of those, the ones a full disk can fail.
const std::set<std::string> kSpaceCalls = {"write", "pwrite64", "writev", "pwritev", "ftruncate", "fallocate",
                                           "fdatasync", "fsync"};
constexpr uint32_t kLooseBase = kEntryCount;  // the resource number of loose file 0
// The loose file that grows large where runs are stopped by their calls.
// Under the sanitizers every run, and the harness's own copies and
// comparisons, cost several times as much: smaller, and fewer points.
constexpr uint32_t kLargeSize = kUnderSanitizer ? 5u << 20 : 9u << 20;

// Text that compresses, so that an LZMA body is worth its coding.
Bytes Text(uint32_t seed, std::size_t size) {
  static const std::string kWords[] = {"north ", "gate ", "lantern ", "river\n"};
  Bytes bytes;
  for (uint32_t i = seed; bytes.size() < size; i = i * 1103515245u + 12345u) {
    const std::string& word = kWords[(i >> 16) % 4];
    bytes.insert(bytes.end(), word.begin(), word.end());
  }
  bytes.resize(size);
  return bytes;
}

// `bytes` as an update edits them: a run changed in place and, when
// `inserted` is not 0, new bytes in the middle.
Bytes Edited(Bytes bytes, uint32_t seed, std::size_t inserted) {
  for (std::size_t i = bytes.size() / 3; i < bytes.size() / 3 + 16; ++i) bytes[i] ^= 0x5A;
  const Bytes extra = SampleBody(seed, static_cast<uint32_t>(inserted));
  bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2), extra.begin(), extra.end());
  return bytes;
}

// A game and a patch for it: entries written in place and appended (one of
// them twice, the second time over this run's own body), a delta, loose
// files that shrink, keep their length and grow to `largeSize` bytes.
struct Scenario {
  GameFolder game;
  std::vector<CheckedPatch> patches;
  uint32_t largeResource = 0;
};

Scenario MakeScenario(uint32_t largeSize) {
  Scenario s;
  s.game = MakeSampleGame(9);
  const Bytes big = SampleBody(500, 200000);
  s.game.AddEntry(100, big);  // a large entry that an update edits
  // The sample game's bodies.
  const auto entry = [](uint32_t n) { return SampleBody(n, 1 + (n * 37) % 600); };
  const auto loose = [](uint32_t i) { return SampleBody(kEntryCount + i, 100 + i * 1000); };
  const Bytes text = Text(102, 3000);
  s.largeResource = kLooseBase + 8;
  s.patches = {
      {30, SampleBody(101, 500), BodyEncoding::Stored, entry(30)},  // in place: 511 bytes in a slot of 512
      {10, text, BodyEncoding::Lzma, entry(10)},                    // appended, compressed
      {49, SampleBody(103, 200), BodyEncoding::Stored, entry(49)},  // appended: the entry has attributes
      {100, Edited(big, 7, 1500), BodyEncoding::Delta, big},        // a delta, appended
      {kLooseBase + 7, SampleBody(104, 300), BodyEncoding::Stored, loose(7)},        // shrinks
      {kLooseBase + 3, Text(105, 3100), BodyEncoding::Lzma, loose(3)},               // keeps its length
      {kLooseBase + 5, Edited(loose(5), 8, 0), BodyEncoding::Delta, loose(5)},       // edited by a delta
      {10, Edited(text, 9, 0), BodyEncoding::Delta, text},                           // again, in its new slot
      {s.largeResource, SampleBody(106, largeSize), BodyEncoding::Stored, loose(8)},  // grows large
      {200, SampleBody(107, 300000), BodyEncoding::Stored, entry(200)},              // a large append
  };
  return s;
}

// A tmpfs mounted on `path` for the owner's life: a real volume that fills.
class Volume {
 public:
  Volume(fs::path path, uint64_t bytes) : path_(std::move(path)) {
    std::error_code ignored;
    fs::create_directories(path_, ignored);
    const std::string options = "size=" + std::to_string(bytes / 1024) + "k,mode=0755";
    mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
  }
  ~Volume() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  bool Mounted() const { return mounted_; }
  const fs::path& Path() const { return path_; }
  uint64_t FreeBytes() const {
    struct statvfs space {};
    return statvfs(path_.c_str(), &space) == 0 ? uint64_t{space.f_bavail} * space.f_frsize : 0;
  }

 private:
  fs::path path_;
  bool mounted_ = false;
};

// Makes `path` take up `bytes` of its disk, as another program's file would.
bool Fill(const fs::path& path, uint64_t bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool filled = bytes == 0 || posix_fallocate(fd, 0, static_cast<off_t>(bytes)) == 0;
  close(fd);
  return filled;
}

// Takes up whatever `volume` has free with the file `path`, while another
// program may be writing there too.
void FillUp(const fs::path& path, const Volume& volume) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  for (int attempt = 0; attempt < 8 && volume.FreeBytes() != 0; ++attempt) {
    struct stat status {};
    if (fstat(fd, &status) != 0) break;
    posix_fallocate(fd, status.st_size, static_cast<off_t>(volume.FreeBytes()));
  }
  close(fd);
}

// The patcher's console text with its line ends made plain (CR LF under
// Wine). A version-2 run asks for no key where nobody can answer.
std::string Shown(const ProcessResult& result) {
  std::string text;
  for (const char c : result.out) {
    if (c != '\r') text += c;
  }
  return text;
}

// The last line the patcher showed before its prompt.
// Whether `line` names `folder` as the patcher shows it: its own path, or
// under Wine the same path on drive Z: with backslashes.
bool NamesFolder(const std::string& line, const std::string& folder) {
  std::string wine = "Z:" + folder;
  std::replace(wine.begin(), wine.end(), '/', '\\');
  return line.find(folder) != std::string::npos || line.find(wine) != std::string::npos;
}

// Lines that name `folder` (those that say where and why, after the terse
// one) are passed over.
std::string LastLine(const ProcessResult& result, const std::string& folder = std::string()) {
  std::string text = Shown(result);
  for (;;) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    const std::size_t at = text.rfind('\n');
    const std::string line = at == std::string::npos ? text : text.substr(at + 1);
    if (folder.empty() || !NamesFolder(line, folder) || at == std::string::npos) return line;
    text.erase(at);
  }
}

std::string Describe(const ProcessResult& result) {
  return "exit " + std::to_string(result.exitCode) + ", signal " + std::to_string(result.endSignal) +
         ", printed:\n" + Shown(result) + result.err;
}

// Every regular file under `folder`, by its path inside it.
std::map<std::string, fs::path> FilesIn(const fs::path& folder) {
  std::map<std::string, fs::path> files;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    if (item.is_regular_file()) files[fs::relative(item.path(), folder).generic_string()] = item.path();
  }
  return files;
}

// Where `folder` differs from `expected`: each file missing or left over,
// and the first byte at which each other file differs. Empty when equal.
std::string Differences(const fs::path& folder, const fs::path& expected) {
  const auto have = FilesIn(folder), want = FilesIn(expected);
  std::string report;
  for (const auto& [name, path] : have) {
    if (!want.contains(name)) report += name + " is left over (" + std::to_string(fs::file_size(path)) + " bytes)\n";
  }
  for (const auto& [name, path] : want) {
    const auto found = have.find(name);
    if (found == have.end()) {
      report += name + " is missing\n";
      continue;
    }
    const Bytes a = ReadFile(found->second), b = ReadFile(path);
    if (a == b) continue;
    const auto [at, ignored] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    report += name + " differs from byte " + std::to_string(at - a.begin()) + " (" + std::to_string(a.size()) +
              " bytes, " + std::to_string(b.size()) + " expected)\n";
  }
  return report;
}

// One call of a traced run: its name and which call of that name it was.
struct Call {
  std::string name;
  uint32_t ordinal;
  std::string line;
};

// The calls strace logged, in order (strace counts each name on its own).
std::vector<Call> ReadCalls(const fs::path& log) {
  const Bytes bytes = ReadFile(log);
  const std::string text(bytes.begin(), bytes.end());
  std::vector<Call> calls;
  std::map<std::string, uint32_t> counts;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    std::size_t at = line.find_first_not_of("0123456789 ");  // the process id
    if (at == std::string::npos) continue;
    line.erase(0, at);
    const std::size_t paren = line.find('(');
    if (paren == std::string::npos || paren == 0) continue;  // "+++ exited", "--- SIGCHLD"
    const std::string name = line.substr(0, paren);
    if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos) continue;
    calls.push_back({name, ++counts[name], line});
  }
  return calls;
}

// `count` points spread over calls 0..total-1, the first and last among them.
std::vector<std::size_t> Spread(std::size_t total, std::size_t count) {
  std::set<std::size_t> points;
  for (std::size_t k = 0; k < count && total != 0; ++k) points.insert(count == 1 ? 0 : k * (total - 1) / (count - 1));
  return {points.begin(), points.end()};
}

class CrashSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(g_patcher.empty()) << "--patcher=PATH is required";
    image = ReadFile(g_patcher);
    ASSERT_FALSE(image.empty());
    // Room for a few copies of the largest game: the original, the clean
    // run's, and the one stopped.
    volume.emplace(scratch.Path() / "work", uint64_t{320} << 20);
    work = volume->Mounted() ? volume->Path() : scratch.Path();
  }
  void TearDown() override { volume.reset(); }

  static bool Native() { return g_launcher.empty(); }

  static bool StraceWorks() {
    if (!fs::exists(kStrace)) return false;
    const ProcessResult probe = RunProcess({kStrace, "-f", "-qq", "-o", "/dev/null", "-e", "trace=write", "/bin/true"},
                                           fs::current_path());
    return probe.exitCode == 0;
  }

  // Writes the scenario's game as `original` and its patch beside it, and
  // patches a copy in one clean run: `clean`, what every stopped run must
  // come to.
  void Prepare(const Scenario& scenario) {
    original = work / "original";
    clean = work / "clean";
    patch = work / (Native() ? "qpxpatch" : "qpxpatch.exe");
    fs::remove_all(original);
    fs::create_directories(original);
    ASSERT_TRUE(scenario.game.Write(*fileSystem, original.wstring()));
    WriteFile(patch, BuildCheckedPatchFile(image, scenario.patches));
    chmod(patch.c_str(), 0755);
    expectedLines.clear();
    for (const CheckedPatch& p : scenario.patches) {
      expectedLines += "Processing patch " + std::to_string(p.resourceNumber) + "\nDone\n";
    }
    expectedLines += "Success!\n";

    Fresh(clean);
    const auto started = Clock::now();
    const ProcessResult result = Run(clean);
    cleanRunTime = Clock::now() - started;
    ASSERT_EQ(Shown(result), expectedLines) << Describe(result);
    ASSERT_EQ(result.exitCode, 0);
    ASSERT_NE(Differences(clean, original), "") << "the patch changes the game";
  }

  // `folder` made a copy of the original game.
  void Fresh(const fs::path& folder) const {
    fs::remove_all(folder);
    fs::copy(original, folder, fs::copy_options::recursive);
  }

  // Runs the patch in `folder`, after `prefix` (strace and its options),
  // natively or under Wine.
  ProcessResult Run(const fs::path& folder, ProcessOptions options = {},
                    const std::vector<std::string>& prefix = {}) const {
    const std::unique_ptr<StartedProcess> process = Start(folder, options, prefix);
    return process ? process->Finish() : ProcessResult{};
  }
  std::unique_ptr<StartedProcess> Start(const fs::path& folder, ProcessOptions options = {},
                                        const std::vector<std::string>& prefix = {}) const {
    std::vector<std::string> argv = prefix;
    argv.push_back(patch.string());
    if (prefix.empty()) options.launcher = g_launcher;
    // Wine is more than one process: whatever stops the run stops it whole.
    options.ownProcessGroup = true;
    options.timeLimitSeconds = Native() ? 60 : 120;
    auto process = StartProcess(argv, folder, options);
    EXPECT_NE(process, nullptr);
    return process;
  }
  ProcessResult RunTraced(const fs::path& folder, const std::vector<std::string>& straceOptions) const {
    std::vector<std::string> prefix = {kStrace, "-f", "-qq"};
    prefix.insert(prefix.end(), straceOptions.begin(), straceOptions.end());
    ProcessOptions options;
    if (kUnderSanitizer) {
      // The leak check stops the process under ptrace, which a traced
      // process cannot be: it would fail every run.
      const char* const set = std::getenv("ASAN_OPTIONS");
      options.environment.push_back(std::string("ASAN_OPTIONS=") + (set != nullptr ? set : "") + ":detect_leaks=0");
    }
    return Run(folder, options, prefix);
  }

  // A run after a stopped one: it finishes the job, and leaves the folder
  // as the clean run left it.
  void ExpectFinishes(const fs::path& folder, const std::string& what) const {
    const ProcessResult again = Run(folder);
    EXPECT_EQ(again.exitCode, 0) << what << ", then run again: " << Describe(again);
    EXPECT_EQ(LastLine(again), "Success!") << what << ", then run again: " << Describe(again);
    EXPECT_EQ(Shown(again).find("Failed"), std::string::npos) << what << ", then run again: " << Describe(again);
    EXPECT_EQ(Differences(folder, clean), "") << what << ", then run again";
  }

  // A run stopped by something it could see (a failed write, a stop
  // request) ends by itself, exit 1, saying that nothing changed or that
  // the next run finishes; or it had finished: "Success!" and the folder
  // as the clean run's.
  void ExpectStoppedSafely(const ProcessResult& result, const fs::path& folder, const std::string& what) const {
    const std::string last = LastLine(result, folder.string());
    // A signal that comes once the run is over ends the process as a
    // signal should: the patch is in by then.
    const bool afterTheRun = last == "Success!";
    if (!afterTheRun) {
      EXPECT_EQ(result.endSignal, 0) << what << ": " << Describe(result);
    }
    if (afterTheRun && result.endSignal != 0) {
      EXPECT_EQ(Differences(folder, clean), "") << what << ", a run that said Success!";
      return;
    }
    if (result.exitCode == 0) {
      EXPECT_EQ(last, "Success!") << what << ": " << Describe(result);
      EXPECT_EQ(Differences(folder, clean), "") << what << ", a run that said Success!";
      return;
    }
    // 1 where a write failed, 3 (try again) where the run was stopped or
    // the disk was full.
    EXPECT_TRUE(result.exitCode == 1 || result.exitCode == 3) << what << ": " << Describe(result);
    EXPECT_TRUE(last == "Nothing was changed" || last == "Stopped: run the patch again to finish" ||
                last == "Stopped: the game is as it was")
        << what << ": " << Describe(result);
    if (last == "Nothing was changed" || last == "Stopped: the game is as it was") {
      EXPECT_EQ(Differences(folder, original), "") << what << ", a run that said Nothing was changed";
    }
  }

  ScratchDirectory scratch;
  std::optional<Volume> volume;
  fs::path work;
  std::unique_ptr<CFileSystem> fileSystem = CreatePlatformFileSystem();
  Bytes image;
  fs::path original, clean, patch;
  std::string expectedLines;
  Clock::duration cleanRunTime{};
};

// Killed entering any call that changes a file (or opens or locks one, or
// shows a line), between the chunks of a large write among them: the next
// run finishes the job.
TEST_F(CrashSafetyTest, AKillAtAnyPointIsFinishedByTheNextRun) {
  if (!Native()) GTEST_SKIP() << "strace follows native programs; AKillAtAnyTimeIsFinishedByTheNextRun runs under Wine";
  if (!StraceWorks()) GTEST_SKIP() << "strace cannot trace here";
  // Bodies are written in chunks of 4 MiB: the large one in more than one.
  ASSERT_NO_FATAL_FAILURE(Prepare(MakeScenario(kLargeSize)));

  const fs::path traced = work / "traced", run = work / "run", log = scratch.Path() / "calls.log";
  Fresh(traced);
  const ProcessResult full = RunTraced(traced, {"-o", log.string(), "-e", std::string("trace=") + kStepCalls});
  ASSERT_EQ(full.exitCode, 0) << Describe(full);
  ASSERT_EQ(Differences(traced, clean), "") << "traced, the run is the same";
  const std::vector<Call> calls = ReadCalls(log);
  ASSERT_GT(calls.size(), 10u);

  // Every call that is not a write (a flush, a cut, a reservation, a
  // removal, a lock, an open), every chunk of a large body's write (the
  // file is then written in part), and points spread over all.
  std::set<std::size_t> points;
  for (const std::size_t at : Spread(calls.size(), kUnderSanitizer ? 24 : 48)) points.insert(at);
  for (std::size_t at = 0; at < calls.size() && points.size() < (kUnderSanitizer ? 50u : 100u); ++at) {
    const std::string& line = calls[at].line;
    const std::size_t result = line.rfind(") = ");
    const bool chunk = result != std::string::npos && std::strtoull(line.c_str() + result + 4, nullptr, 10) >= 1u << 20;
    if ((calls[at].name != "write" && calls[at].name != "pwrite64") || chunk) points.insert(at);
  }
  ASSERT_GE(points.size(), 50u) << calls.size() << " calls in a clean run";
  std::size_t killed = 0;
  for (const std::size_t at : points) {
    const Call& call = calls[at];
    const std::string what = "killed entering call " + std::to_string(at + 1) + " of " +
                             std::to_string(calls.size()) + " (" + call.name + " #" + std::to_string(call.ordinal) +
                             ": " + call.line.substr(0, 100) + ")";
    Fresh(run);
    const ProcessResult stopped = RunTraced(
        run, {"-o", "/dev/null", "-e", "trace=" + call.name,
              "-e", "inject=" + call.name + ":signal=KILL:when=" + std::to_string(call.ordinal)});
    EXPECT_EQ(stopped.endSignal, SIGKILL) << what << ": the run was not stopped there: " << Describe(stopped);
    killed += stopped.endSignal == SIGKILL;
    ExpectFinishes(run, what);
    if (HasFailure()) break;  // the first point that fails says the most
  }
  RecordProperty("kill_points", std::to_string(killed));
}

// Killed at times spread over a run (the whole process group: Wine is
// several processes), in the middle of a write as likely as between two:
// the next run finishes the job.
TEST_F(CrashSafetyTest, AKillAtAnyTimeIsFinishedByTheNextRun) {
  ASSERT_NO_FATAL_FAILURE(Prepare(MakeScenario(kUnderSanitizer ? 8u << 20 : 24u << 20)));
  const fs::path run = work / "run";
  // Counted from the first patch's line: whatever the start costs (Wine's
  // is costly), the kills land in the run's work.
  const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(cleanRunTime).count();
  const int count = Native() && !kUnderSanitizer ? 10 : 5;
  for (int k = 0; k < count; ++k) {
    ProcessOptions options;
    options.signal = SIGKILL;
    options.signalAfter = "Processing patch";
    options.signalDelayMilliseconds = static_cast<int>(span * k / count);
    const std::string what = "killed " + std::to_string(options.signalDelayMilliseconds) +
                             " ms after the first patch's line (a clean run takes " + std::to_string(span) + " ms)";
    Fresh(run);
    const ProcessResult stopped = Run(run, options);
    EXPECT_TRUE(stopped.exitCode == 0 || stopped.endSignal == SIGKILL) << what << ": " << Describe(stopped);
    ExpectFinishes(run, what);
    if (HasFailure()) break;
  }
}

// A write that fails in the middle of the run (a disk another program
// fills, a file size limit) ends it by itself, saying so; once the space is
// there, the next run finishes the job.
TEST_F(CrashSafetyTest, AWriteThatFailsMidRunIsFinishedByTheNextRun) {
  if (!Native()) GTEST_SKIP() << "strace and resource limits are native";
  if (!StraceWorks()) GTEST_SKIP() << "strace cannot trace here";
  ASSERT_NO_FATAL_FAILURE(Prepare(MakeScenario(kLargeSize)));
  const fs::path traced = work / "traced", run = work / "run", log = scratch.Path() / "calls.log";
  Fresh(traced);
  // With each file's path (-y): only the game's files fill a disk, not the
  // console nor what a sanitizer's runtime writes.
  ASSERT_EQ(RunTraced(traced, {"-y", "-o", log.string(), "-e", std::string("trace=") + kStepCalls}).exitCode, 0);
  std::vector<Call> failing;
  for (const Call& call : ReadCalls(log)) {
    if (kSpaceCalls.contains(call.name) && call.line.find("<" + traced.string() + "/") != std::string::npos) {
      failing.push_back(call);
    }
  }
  ASSERT_FALSE(failing.empty());
  for (const std::size_t at : Spread(failing.size(), kUnderSanitizer ? 12 : 24)) {
    const Call& call = failing[at];
    const std::string what = "ENOSPC from " + call.name + " #" + std::to_string(call.ordinal) + " (" +
                             call.line.substr(0, 100) + ")";
    Fresh(run);
    const ProcessResult stopped = RunTraced(
        run, {"-o", "/dev/null", "-e", "trace=" + call.name,
              "-e", "inject=" + call.name + ":error=ENOSPC:when=" + std::to_string(call.ordinal)});
    ExpectStoppedSafely(stopped, run, what);
    EXPECT_EQ(stopped.exitCode, 3) << what << ": a full disk must not end in Success!, and is worth another try";
    ExpectFinishes(run, what);
    if (HasFailure()) return;
  }

  // A write cut short where the file reaches a size limit, the rest of it
  // refused (EFBIG): a real torn write, at sizes spread over the run's.
  for (const uint64_t limit : {uint64_t{400} << 10, uint64_t{1} << 20, uint64_t{5} << 20, uint64_t{9} << 20}) {
    const std::string what = "files limited to " + std::to_string(limit) + " bytes";
    Fresh(run);
    ProcessOptions options;
    options.fileSizeLimit = limit;
    const ProcessResult stopped = Run(run, options);
    ExpectStoppedSafely(stopped, run, what);
    ExpectFinishes(run, what);
    if (HasFailure()) return;
  }
}

// A disk that cannot take the run is refused before a byte is written:
// counted as the disk allocates, in whole blocks (eight loose files that
// each grow by a few hundred bytes across a block's end need eight blocks).
// Freed as much as the message asks, the run goes through. A disk that
// another program fills while the run goes on ends it safely or not at all.
TEST_F(CrashSafetyTest, AFullDiskIsRefusedUpFrontOrFinishedLater) {
  if (!volume->Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (not root?)";
  // A game whose eight loose files each end 128 bytes short of a block.
  Scenario tight;
  tight.game.AddEntry(0, SampleBody(1, 100));
  for (uint32_t i = 0; i < 8; ++i) {
    const Bytes before = SampleBody(600 + i, 1900), after = SampleBody(700 + i, 2100);
    ASSERT_EQ(LooseFileLength(1900), 4096u - 128u);
    ASSERT_EQ(LooseFileLength(2100), 4096u + 128u);
    tight.game.AddLooseFile(i, LooseFileImage(before));
    tight.patches.push_back({kLooseBase + i, after, BodyEncoding::Stored, before});
  }
  ASSERT_NO_FATAL_FAILURE(Prepare(tight));
  {
    Volume disk(scratch.Path() / "disk", 1u << 20);
    ASSERT_TRUE(disk.Mounted());
    const fs::path game = disk.Path() / "game", filler = disk.Path() / "filler";
    fs::copy(original, game, fs::copy_options::recursive);
    // Seven blocks free: more than the bytes the files and the journal
    // grow by, fewer than the blocks they take.
    const uint64_t free = 7 * 4096;
    ASSERT_TRUE(Fill(filler, disk.FreeBytes() - free));
    ASSERT_EQ(disk.FreeBytes(), free);
    const ProcessResult refused = Run(game);
    // "Not enough disk space: the patch needs N bytes more", N grouped by
    // commas, then the line that says how much to free on which disk, then
    // "Nothing was changed".
    const std::string shown = Shown(refused), head = "Not enough disk space: the patch needs ",
                      tail = " bytes more\n", freeLine = "Free ", last = "Nothing was changed\n";
    const std::size_t lineEnd = shown.find('\n');
    std::string digits;
    if (shown.starts_with(head) && lineEnd != std::string::npos && lineEnd + 1 > head.size() + tail.size() &&
        shown.compare(lineEnd + 1 - tail.size(), tail.size(), tail) == 0 &&
        shown.compare(lineEnd + 1, freeLine.size(), freeLine) == 0 && shown.ends_with(last)) {
      digits = shown.substr(head.size(), lineEnd + 1 - head.size() - tail.size());
      std::erase(digits, ',');
    }
    const bool number = !digits.empty() && digits.size() < 16 && digits.find_first_not_of("0123456789") == std::string::npos;
    EXPECT_TRUE(number) << "with " << free << " bytes (7 blocks) free, the patch needs 8 blocks and the journal's: "
                        << Describe(refused);
    EXPECT_EQ(refused.exitCode, 3) << "short of space: free some, and try again";
    EXPECT_EQ(Differences(game, original), "") << "refused, the game is as it was";
    const uint64_t more = number ? std::stoull(digits) : 0;
    EXPECT_TRUE(!number || more != 0) << "refused for want of no bytes";
    // Given what it asked for (in the whole blocks a disk frees), it
    // applies; not refused, it must still finish once the disk is free.
    ASSERT_TRUE(Fill(filler, more != 0 ? fs::file_size(filler) - (more + 4095) / 4096 * 4096 : 0));
    const ProcessResult applied = Run(game);
    EXPECT_EQ(LastLine(applied), "Success!") << "with " << disk.FreeBytes() << " bytes free: " << Describe(applied);
    EXPECT_EQ(Differences(game, clean), "");
  }
  if (HasFailure()) return;

  // Filled at times spread over a run: before its check (refused), before
  // its reservations (undone), after them (held), or at any point where no
  // room can be set aside (Wine).
  ASSERT_NO_FATAL_FAILURE(Prepare(MakeScenario(4u << 20)));
  const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(cleanRunTime).count();
  const int count = Native() ? 8 : 6;
  for (int k = 0; k < count; ++k) {
    Volume disk(scratch.Path() / "disk", 32u << 20);
    ASSERT_TRUE(disk.Mounted());
    const fs::path game = disk.Path() / "game", filler = disk.Path() / "filler";
    fs::copy(original, game, fs::copy_options::recursive);
    const auto delay = std::chrono::milliseconds(span * k / count);
    const std::string what = "disk filled " + std::to_string(delay.count()) + " ms into the run (a clean run takes " +
                             std::to_string(span) + " ms)";
    const auto process = Start(game);
    ASSERT_NE(process, nullptr);
    std::this_thread::sleep_for(delay);
    FillUp(filler, disk);
    const ProcessResult stopped = process->Finish();
    ExpectStoppedSafely(stopped, game, what);
    fs::remove(filler);
    ExpectFinishes(game, what + ", then freed");
    if (HasFailure()) return;
  }
}

// Two runs started together in one folder: one applies the patch, the
// other finds it running (and changes nothing) or finds it done. A run
// killed while it holds the folder never keeps the next one out.
TEST_F(CrashSafetyTest, TwoRunsAtOnceApplyThePatchOnce) {
  // Under Wine the starts scatter more: a longer run keeps them meeting.
  ASSERT_NO_FATAL_FAILURE(Prepare(MakeScenario(Native() ? 1u << 20 : 16u << 20)));
  const fs::path run = work / "run";
  std::string alreadyLines = expectedLines;
  for (std::size_t at = alreadyLines.find("Done\n"); at != std::string::npos; at = alreadyLines.find("Done\n", at)) {
    alreadyLines.replace(at, 5, "Already applied\n");
  }
  const std::string blockedLines = "Another patch is running in this folder\nNothing was changed\n";

  const int rounds = Native() ? 20 : 6;
  int blocked = 0;
  for (int round = 0; round < rounds; ++round) {
    Fresh(run);
    const auto first = Start(run), second = Start(run);
    ASSERT_TRUE(first && second);
    const ProcessResult results[2] = {first->Finish(), second->Finish()};
    const std::string what = "round " + std::to_string(round + 1);
    int applied = 0;
    for (const ProcessResult& result : results) {
      const std::string shown = Shown(result);
      if (shown == expectedLines && result.exitCode == 0) {
        ++applied;
      } else if (shown == blockedLines && result.exitCode == 3) {
        ++blocked;
      } else {
        EXPECT_TRUE(shown == alreadyLines && result.exitCode == 0) << what << ": " << Describe(result);
      }
    }
    EXPECT_EQ(applied, 1) << what << ": exactly one run applies the patch:\n"
                          << Describe(results[0]) << "\n" << Describe(results[1]);
    EXPECT_EQ(Differences(run, clean), "") << what;
    if (HasFailure()) return;
  }
  // Natively both start within a millisecond of a run of many: they meet.
  // A sanitized patcher spends most of a short run starting up, unevenly:
  // there two runs may never overlap, which proves nothing either way.
  if (Native() && !kUnderSanitizer) {
    EXPECT_GT(blocked, 0) << "no round had the two runs meet";
  }

  // Killed while it holds the folder: as soon as it shows its first patch
  // (the folder is taken before), and (natively) entering its first call
  // after it took the lock.
  ProcessOptions options;
  options.signal = SIGKILL;
  options.signalAfter = "Processing patch";
  Fresh(run);
  const ProcessResult killed = Run(run, options);
  EXPECT_TRUE(killed.signalSent) << Describe(killed);
  ExpectFinishes(run, "killed at its first patch");
  if (!Native() || !StraceWorks() || HasFailure()) return;

  const fs::path log = scratch.Path() / "calls.log";
  Fresh(run);
  ASSERT_EQ(RunTraced(run, {"-o", log.string(), "-e", std::string("trace=") + kStepCalls}).exitCode, 0);
  const std::vector<Call> calls = ReadCalls(log);
  const auto lock = std::find_if(calls.begin(), calls.end(), [](const Call& call) {
    return call.name == "flock" && call.line.find("LOCK_EX") != std::string::npos;
  });
  if (lock == calls.end() || lock + 1 == calls.end()) {
    ADD_FAILURE() << "a clean run takes no flock on the folder";
    return;
  }
  const Call& next = *(lock + 1);
  Fresh(run);
  const ProcessResult held = RunTraced(
      run, {"-o", "/dev/null", "-e", "trace=" + next.name,
            "-e", "inject=" + next.name + ":signal=KILL:when=" + std::to_string(next.ordinal)});
  EXPECT_EQ(held.endSignal, SIGKILL) << Describe(held);
  ExpectFinishes(run, "killed entering " + next.line.substr(0, 100) + " right after taking the lock");
}

// Ctrl+C, a request to terminate or a hang-up in the middle of a run
// (while a loose file of tens of MiB is written): the run stops at a safe
// point by itself, says so, and the next one finishes the job.
TEST_F(CrashSafetyTest, AStopRequestEndsTheRunAtASafePoint) {
  if (!Native()) GTEST_SKIP() << "POSIX signals";
  const Scenario scenario = MakeScenario(kUnderSanitizer ? 8u << 20 : 40u << 20);
  ASSERT_NO_FATAL_FAILURE(Prepare(scenario));
  const fs::path run = work / "run";
  const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(cleanRunTime).count();
  const std::string large = "Processing patch " + std::to_string(scenario.largeResource) + "\n";
  struct Stop {
    int signal;
    const char* name;
    int percent;  // of a clean run's time, after the large file's line
  };
  const Stop stops[] = {{SIGINT, "SIGINT", 0}, {SIGINT, "SIGINT", 10}, {SIGINT, "SIGINT", 25},
                        {SIGINT, "SIGINT", 45}, {SIGINT, "SIGINT", 70}, {SIGTERM, "SIGTERM", 0},
                        {SIGTERM, "SIGTERM", 35}, {SIGHUP, "SIGHUP", 20}};
  int stopped = 0;
  for (const Stop& stop : stops) {
    ProcessOptions options;
    options.signal = stop.signal;
    options.signalAfter = large;
    options.signalDelayMilliseconds = static_cast<int>(span * stop.percent / 100);
    const std::string what = std::string(stop.name) + " " + std::to_string(options.signalDelayMilliseconds) +
                             " ms after \"" + large.substr(0, large.size() - 1) + "\" (a clean run takes " +
                             std::to_string(span) + " ms)";
    Fresh(run);
    const ProcessResult result = Run(run, options);
    EXPECT_TRUE(result.signalSent || result.exitCode == 0) << what << ": " << Describe(result);
    ExpectStoppedSafely(result, run, what);
    stopped += result.exitCode == 3;
    ExpectFinishes(run, what);
    if (HasFailure()) return;
  }
  EXPECT_GT(stopped, 0) << "every run finished before its signal: nothing was stopped";
}

}  // namespace
}  // namespace qpx::test

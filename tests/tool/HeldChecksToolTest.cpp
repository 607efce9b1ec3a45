// What qpxtool writes and reports where it has to agree with the patcher:
// a patch for several old versions stores each body once and names each
// old content once, list counts a shared body once, plan's disk space is
// the patcher's, a patch for the most old versions diff takes applies, and
// an output reaches the disk before its name does.

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "src/archive/LooseFile.h"
#include "tests/support/SystemCallTrace.h"
#include "tests/tool/ToolFixture.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::ProcessResult;
using Bytes = std::vector<uint8_t>;
using Resources = std::map<uint32_t, Bytes>;

// A tmpfs mounted on `path` for the owner's life: a real volume that fills.
class Volume {
 public:
  Volume(fs::path path, uint64_t bytes) : path_(std::move(path)) {
    fs::create_directories(path_);
    const std::string options = "size=" + std::to_string(bytes / 1024) + "k,mode=0755";
    mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
  }
  ~Volume() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  bool Mounted() const { return mounted_; }
  uint64_t FreeBytes() const {
    struct statvfs space {};
    return statvfs(path_.c_str(), &space) == 0 ? uint64_t{space.f_bavail} * space.f_frsize : 0;
  }
  // Leaves `left` bytes free (rounded to the volume's units) with a file
  // of another program's.
  bool Leave(uint64_t left) const {
    const uint64_t free = FreeBytes();
    if (free <= left) return false;
    const int fd = open((path_ / "other-program.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool filled = posix_fallocate(fd, 0, static_cast<off_t>(free - left)) == 0;
    close(fd);
    return filled;
  }

 private:
  fs::path path_;
  bool mounted_ = false;
};

// A number as the patcher and qpxtool show it, "53,248".
uint64_t Ungrouped(const std::string& text) {
  std::string digits;
  for (const char c : text) {
    if (c != ',') digits += c;
  }
  return std::stoull(digits);
}

class HeldChecksToolTest : public test::ToolFixture {
 protected:
  static json Document(const ProcessResult& result) {
    json document;
    EXPECT_NO_THROW(document = json::parse(result.out)) << result.out << result.err;
    return document;
  }
  // The rows of a list --json report for `resource`.
  static std::vector<json> RowsOf(const json& list, uint32_t resource) {
    std::vector<json> rows;
    for (const json& row : list["records"]) {
      if (row["resource"] == resource) rows.push_back(row);
    }
    return rows;
  }
};

// Two old versions: entry 5 differs in each (its new bytes compress, and
// neither old body helps a delta: two alternatives of one compressed
// body), entry 6 is the same in both (one old content). The patch stores
// the compressed body once, names both versions in one record, and list
// counts the bytes its bodies take in the file.
TEST_F(HeldChecksToolTest, AlternativesShareTheirBodyAndOneOldContentGetsOneRecord) {
  const Bytes newFive = test::Words(7, 20000);
  LayGame("v0", {{5, SampleBody(1, 3000)}, {6, SampleBody(6, 500)}, {7, SampleBody(8, 64)}});
  LayGame("v1", {{5, SampleBody(2, 3000)}, {6, SampleBody(6, 500)}, {7, SampleBody(8, 64)}});
  LayGame("new", {{5, newFive}, {6, SampleBody(16, 600)}, {7, SampleBody(8, 64)}});
  EXPECT_TOOL(Tool({"diff", "v0", "v1", "new", "--stub", Config().patcher, "--out", "patch", "--label", "v0=1.0",
                    "--label", "v1=1.1", "--label-new", "1.2"}),
              kOk, "format 3, sealed");

  const json list = Document(Tool({"list", "patch", "--json"}));
  ASSERT_TRUE(list.contains("records")) << list.dump();
  const std::vector<json> five = RowsOf(list, 5), six = RowsOf(list, 6);
  ASSERT_EQ(five.size(), 2u) << list.dump(2);
  ASSERT_EQ(five[0]["encoding"], five[1]["encoding"]);
  ASSERT_NE(five[0]["encoding"], "delta") << "a whole body for both: " << list.dump(2);
  EXPECT_EQ(five[0]["offset"], five[1]["offset"]) << "stored once";
  EXPECT_EQ(five[0]["storedBytes"], five[1]["storedBytes"]);
  ASSERT_EQ(six.size(), 1u) << list.dump(2);
  EXPECT_EQ(six[0]["versions"], json({"1.0", "1.1"}));
  EXPECT_EQ(RowsOf(list, 7).size(), 0u);

  // The bodies lie back to back between the program and the table: what
  // they take is that span, each shared body counted once.
  const uint64_t bodies = list["tableOffset"].get<uint64_t>() - list["programEnd"].get<uint64_t>();
  EXPECT_EQ(list["totals"]["storedBytes"], bodies);
  const ProcessResult text = Tool({"list", "patch"});
  EXPECT_TOOL(text, kOk, "), " + tool::Grouped(bodies) + " bytes of bodies for ");

  for (const std::string game : {"v0", "v1"}) {
    fs::remove_all(At("applied"));
    fs::copy(At(game), At("applied"), fs::copy_options::recursive);
    const ProcessResult run = RunPatch("patch", "applied");
    EXPECT_EQ(run.exitCode, 0) << game << ":\n" << run.out;
  }
}

// What plan says the run takes of the disk is what the patcher, refusing
// for want of it, says the run takes: one count, in the volume's units.
TEST_F(HeldChecksToolTest, PlanNeedsWhatThePatcherSaysTheRunTakes) {
  const Volume volume(At("volume"), uint64_t{8} << 20);
  if (!volume.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (not root?)";
  // Entry 3 in place, entry 5 appended, loose files growing by parts of
  // the volume's units.
  const Resources old = {{3, SampleBody(1, 100)}, {5, SampleBody(2, 3000)},
                         {kEntryCount, SampleBody(3, 1000)}, {kEntryCount + 4, SampleBody(4, 9000)}};
  Resources next = old;
  next[3] = SampleBody(11, 100);
  next[5] = SampleBody(12, 7000);
  next[kEntryCount] = SampleBody(13, 30000);
  next[kEntryCount + 4] = SampleBody(14, 12345);
  LayGame("volume/game", old);
  LayGame("new", next);
  EXPECT_TOOL(Tool({"diff", "volume/game", "new", "--stub", Config().patcher, "--out", "patch"}), kOk, "wrote");

  const json roomy = Document(Tool({"plan", "patch", "volume/game", "--json"}));
  ASSERT_TRUE(roomy.contains("space")) << roomy.dump();
  const uint64_t needed = roomy["space"]["needed"].get<uint64_t>();
  ASSERT_GT(needed, 0u);
  EXPECT_EQ(roomy["space"]["short"], 0u);
  ASSERT_TRUE(volume.Leave(needed / 2));

  const ProcessResult planned = Tool({"plan", "patch", "volume/game", "--json"});
  EXPECT_EQ(planned.exitCode, kFailedCheck);
  const json full = Document(planned);
  EXPECT_EQ(full["space"]["needed"], needed) << "the free space does not change what the run takes";
  const auto before = Snapshot("volume/game");
  const ProcessResult refused = RunPatch("patch", "volume/game");
  EXPECT_EQ(refused.exitCode, 3);  // short of space: free some and try again
  // The grouped number that follows `after` in the patcher's words.
  const auto numberAfter = [&](const std::string& after) -> std::string {
    const std::size_t at = refused.out.find(after);
    if (at == std::string::npos) return "";
    const std::size_t start = at + after.size();
    return refused.out.substr(start, refused.out.find_first_not_of("0123456789,", start) - start);
  };
  const std::string shortBy = numberAfter("Not enough disk space: the patch needs ");
  const std::string freeBytes = numberAfter(": it has ");
  const std::string takes = numberAfter(" free, the run takes ");
  ASSERT_FALSE(shortBy.empty() || freeBytes.empty() || takes.empty()) << refused.out;
  EXPECT_NE(refused.out.find("Not enough disk space: the patch needs " + shortBy + " bytes more\n"), std::string::npos)
      << refused.out;
  EXPECT_EQ(full["space"]["needed"], Ungrouped(takes)) << refused.out;
  EXPECT_EQ(full["space"]["free"], Ungrouped(freeBytes)) << refused.out;
  EXPECT_EQ(full["space"]["short"], Ungrouped(shortBy)) << refused.out;
  EXPECT_EQ(Snapshot("volume/game"), before);
}

// The most old versions diff takes, each labelled with the longest label:
// the patch is written, and the patcher takes it for the first old
// version and for the last.
TEST_F(HeldChecksToolTest, APatchForTheMostOldVersionsWithTheLongestLabelsApplies) {
  const auto label = [](const std::string& name) {
    std::string text = name + " ";
    text.resize(kMaxLabelLength, '-');
    return text;
  };
  std::vector<std::string> command = {"diff"};
  std::vector<std::string> labels;
  for (uint32_t k = 0; k < kMaxOldVersions; ++k) {
    const std::string folder = "v" + std::to_string(k);
    // The last old version holds an entry 3 of its own.
    LayGame(folder, {{3, SampleBody(k + 1 == kMaxOldVersions ? 2 : 1, 100)}, {4, SampleBody(5, 40)}});
    command.push_back(folder);
    labels.insert(labels.end(), {"--label", folder + "=" + label("release " + std::to_string(k))});
  }
  LayGame("new", {{3, SampleBody(3, 100)}, {4, SampleBody(5, 40)}});
  command.insert(command.end(), {"new", "--stub", Config().patcher, "--out", "patch", "--label-new", label("new")});
  command.insert(command.end(), labels.begin(), labels.end());
  const ProcessResult made = Tool(command);
  EXPECT_TOOL(made, kOk, std::to_string(kMaxOldVersions) + " old versions");
  ASSERT_EQ(made.exitCode, kOk);

  for (const std::string& game : {std::string("v0"), "v" + std::to_string(kMaxOldVersions - 1)}) {
    fs::remove_all(At("applied"));
    fs::copy(At(game), At("applied"), fs::copy_options::recursive);
    const ProcessResult run = RunPatch("patch", "applied");
    EXPECT_TRUE(run.out.starts_with("Processing patch 3\nDone\nSuccess!\n")) << game << ":\n" << run.out;
    EXPECT_EQ(run.exitCode, 0) << game;
  }
}

// An output's bytes reach the disk before its name does: the file written
// beside its final name is flushed, after its last write, before it is
// renamed into place.
TEST_F(HeldChecksToolTest, AnOutputIsFlushedBeforeItIsRenamedIntoPlace) {
  if (!test::CanTrace()) GTEST_SKIP() << "strace cannot trace here";
  LayGame("old", {{3, SampleBody(1, 100)}});
  LayGame("new", {{3, SampleBody(2, 100)}});
  std::vector<std::string> argv = {Config().qpxtool, "diff", "old", "new", "--stub", Config().patcher, "--out",
                                   "patch"};
  const test::Trace trace = test::RunTraced(argv, dir.Path(), "write,pwrite64,writev,fdatasync,fsync,rename,renameat,"
                                                               "renameat2,openat");
  ASSERT_EQ(trace.result.exitCode, kOk) << trace.result.out << trace.result.err;
  const auto rename = trace.Find([](const test::TracedCall& call) {
    return test::IsCall(call, "rename,renameat,renameat2") && call.line.find("patch\"") != std::string::npos;
  });
  ASSERT_TRUE(rename) << "the output is renamed into place";
  // The name it had: the first path the rename names.
  const std::string& line = trace.calls[*rename].line;
  const std::size_t open = line.find('"'), close = line.find('"', open + 1);
  ASSERT_NE(close, std::string::npos) << line;
  const std::string written = fs::path(line.substr(open + 1, close - open - 1)).filename().string();
  ASSERT_NE(written, "patch") << line;
  const auto lastWrite = trace.FindLast(
      [&](const test::TracedCall& call) {
        return test::IsCall(call, "write,pwrite64,writev") && test::OnFile(call, "/" + written);
      },
      *rename);
  ASSERT_TRUE(lastWrite) << "the output is written under " << written;
  EXPECT_TRUE(trace.Find(
      [&](const test::TracedCall& call) {
        return test::IsCall(call, "fdatasync,fsync") && test::OnFile(call, "/" + written);
      },
      *lastWrite + 1, *rename))
      << "flushed between its last write and its rename";
}

}  // namespace
}  // namespace qpx

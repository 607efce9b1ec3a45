// diff and unpack at their edges: loose files without a header, empty
// resources, the largest loose body, entries that lose their attributes,
// and the progress line on a terminal.

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "tests/tool/ToolFixture.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx {
namespace {

namespace fs = std::filesystem;

class DiffUnpackTest : public test::ToolFixture {
 protected:
  // A patch from `original` to `modified` (native), and what it says.
  test::ProcessResult Diff(const std::string& original, const std::string& modified, const std::string& patch) {
    return Tool({"diff", original, modified, "--stub", Config().patcher, "--out", patch});
  }

  void SetRecord(const std::string& game, uint32_t number, const ArchiveIndexEntry& record) {
    Bytes index = Get(game + "/DATA0.QPX");
    std::memcpy(index.data() + number * sizeof record, &record, sizeof record);
    Put(game + "/DATA0.QPX", index);
  }

  // A loose file whose header claims `size` bytes, sparse after the header.
  void PutLargeLooseFile(const std::string& name, uint32_t size) {
    const LooseFileHeader header = MakeLooseFileHeader(size);
    Bytes bytes(sizeof header);
    std::memcpy(bytes.data(), &header, sizeof header);
    Put(name, bytes);
    fs::resize_file(At(name), LooseFileLength(size));
  }
};

TEST_F(DiffUnpackTest, ALooseFileWithoutAHeaderIsParsedOnlyWhereTheSidesDiffer) {
  MakeGame("a");
  MakeGame("b");
  // The same unreadable file on both sides: no difference.
  Put("a/res/D00002.bin", Text("no header here"));
  Put("b/res/D00002.bin", Text("no header here"));
  EXPECT_TOOL(Diff("a", "b", "none"), kFailedCheck, "the folders hold the same resources; no patch written");

  // Unreadable in ORIGINAL only: MODIFIED's file is the difference, and the
  // patch rewrites the file whole.
  Put("a/res/D00003.bin", Text("no header either"));
  EXPECT_TOOL(Diff("a", "b", "patch"), kOk, "1 of 2715 resources differs (0 entries, 1 loose file; 3,100 bytes)");
  fs::copy(At("a"), At("applied"), fs::copy_options::recursive);
  ASSERT_EQ(RunPatch("patch", "applied").exitCode, 0);
  EXPECT_EQ(Get("applied/res/D00003.bin"), Get("b/res/D00003.bin"));

  // Unreadable in MODIFIED: no patch can write it; named, nothing written.
  Put("b/res/D00004.bin", Text("broken"));
  const auto before = Snapshot();
  const test::ProcessResult refused = Diff("a", "b", "refused");
  EXPECT_TOOL(refused, kBadInput, "res\\D00004.bin of MODIFIED: \"b/res/D00004.bin\" is not a loose resource file");
  EXPECT_EQ(refused.err.find("D00003"), std::string::npos) << "ORIGINAL's unreadable file is no reason to refuse";
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(DiffUnpackTest, UnpackNamesLooseFilesWithoutAHeaderAndGoesOn) {
  MakeGame("game");
  Put("game/res/D00002.bin", Text("no header here"));
  Put("game/res/D00005.bin", Bytes(4000, 7));
  const test::ProcessResult unpacked = Tool({"unpack", "game", "mod"});
  EXPECT_TOOL(unpacked, kOk, "wrote 1213 resources (1207 entries, 6 loose files;");
  EXPECT_TOOL(unpacked, kOk,
              "2 loose files are no loose resource file and left out (see patch.manifest): res\\D00002.bin, "
              "res\\D00005.bin");
  const Bytes manifestBytes = Get("mod/patch.manifest");
  const std::string manifest(manifestBytes.begin(), manifestBytes.end());
  EXPECT_NE(manifest.find("# loose/D00002.bin is left out: \"game/res/D00002.bin\" is not a loose resource file"),
            std::string::npos)
      << manifest;
  EXPECT_FALSE(fs::exists(At("mod/loose/D00002.bin")));
  EXPECT_TRUE(fs::exists(At("mod/loose/D00003.bin")));
  // What unpack left out is no deletion, and no difference.
  const test::ProcessResult same = Diff("game", "mod", "patch");
  EXPECT_TOOL(same, kFailedCheck, "the folders hold the same resources");
  EXPECT_EQ(same.out.find("deleted"), std::string::npos) << same.out;
}

TEST_F(DiffUnpackTest, EmptyResourcesAreNeitherUnpackedNorCountedAsDeleted) {
  MakeGame("game");
  SetRecord("game", 7, {0, 0, 0, 0});
  Put("game/res/D00005.bin", LooseFileImage({}));
  const test::ProcessResult unpacked = Tool({"unpack", "game", "mod"});
  EXPECT_TOOL(unpacked, kOk, "wrote 1213 resources (1206 entries, 7 loose files;");
  EXPECT_FALSE(fs::exists(At("mod/entries/00007.bin")));
  EXPECT_FALSE(fs::exists(At("mod/loose/D00005.bin")));
  EXPECT_TOOL(Tool({"build", "--stub", Config().patcher, "--out", "all", "--manifest", "mod/patch.manifest"}), kOk,
              "wrote \"all\"");

  const test::ProcessResult same = Diff("game", "mod", "none");
  EXPECT_TOOL(same, kFailedCheck, "the folders hold the same resources");
  EXPECT_EQ(same.out.find("deleted"), std::string::npos) << same.out;
  fs::remove(At("mod/entries/00010.bin"));
  EXPECT_TOOL(Tool({"diff", "game", "mod", "--stub", Config().patcher, "--out", "none", "--allow-empty"}), kOk,
              "1 resource whose file was deleted from MODIFIED is left as it is");
}

TEST_F(DiffUnpackTest, AManifestFolderHoldsEachKindOfBodyItHas) {
  MakeGame("game");
  MakeGame("first");
  Put("first/res/D00000.bin", LooseFileImage(SampleBody(1, 77)));  // resource 1207, the first loose file
  EXPECT_TOOL(Tool({"diff", "game", "first", "--manifest-out", "changes"}), kOk, "1 of 2715 resources differ");
  EXPECT_EQ(Get("changes/loose/D00000.bin"), SampleBody(1, 77));
  EXPECT_FALSE(fs::exists(At("changes/entries")));
  EXPECT_TOOL(Tool({"build", "--stub", Config().patcher, "--out", "patch", "--manifest", "changes/patch.manifest"}),
              kOk, "1 body");
}

TEST_F(DiffUnpackTest, ALooseBodyOfTheLargestSizeIsTakenAndOneByteMoreIsNot) {
  MakeGame("game");
  MakeGame("largest");
  PutLargeLooseFile("largest/res/D00001.bin", kLooseMaxBodySize);
  EXPECT_TOOL(Tool({"diff", "game", "largest", "--manifest-out", "changes"}), kOk,
              "1 of 2715 resources differs (0 entries, 1 loose file; 132,907,008 bytes)");
  EXPECT_EQ(fs::file_size(At("changes/loose/D00001.bin")), kLooseMaxBodySize);

  PutLargeLooseFile("largest/res/D00001.bin", kLooseMaxBodySize + 1);
  EXPECT_TOOL(Tool({"diff", "game", "largest", "--manifest-out", "more"}), kBadInput,
              "res\\D00001.bin has 132,907,009 bytes in MODIFIED: a loose file holds at most 132,907,008");
  EXPECT_FALSE(fs::exists(At("more")));
}

TEST_F(DiffUnpackTest, DiffAndPlanSayWhenAnEntryLosesItsAttributes) {
  MakeGame("game");
  ASSERT_EQ(Tool({"unpack", "game", "mod"}).exitCode, kOk);
  Put("mod/entries/00049.bin", Text("entry 49 anew"));
  Put("mod/entries/00010.bin", Text("entry 10 anew"));
  const test::ProcessResult diffed = Diff("game", "mod", "patch");
  EXPECT_TOOL(diffed, kOk, "2 of 2715 resources differ");
  EXPECT_TOOL(diffed, kOk, "entry 49: attributes 1 -> 0");
  EXPECT_EQ(diffed.out.find("entry 10:"), std::string::npos) << diffed.out;
  const test::ProcessResult planned = Tool({"plan", "patch", "game"});
  EXPECT_TOOL(planned, kOk, "append (+32 bytes) (attributes 1 -> 0)");
  EXPECT_EQ(planned.out.find("attributes"), planned.out.rfind("attributes")) << "entry 10 had none to lose";
}

// Runs qpxtool with both its outputs on a terminal; returns all it wrote.
// Its progress is drawn from the start unless `quickWorkShowsNone`, when
// it waits for work that takes long, as for a person at the terminal.
std::string RunOnTerminal(const std::string& qpxtool, const std::vector<std::string>& arguments,
                          const fs::path& directory, bool quickWorkShowsNone = false) {
  std::vector<std::string> command{qpxtool};
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : command) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (chdir(directory.c_str()) != 0) _exit(126);
    if (!quickWorkShowsNone && setenv("QPXTOOL_PROGRESS_DELAY_MS", "0", 1) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  close(terminal);
  int status = 0;
  waitpid(pid, &status, 0);
  return text;
}

// The progress line counts the work's real total, and is wiped before the
// report is printed, never left in front of it.
TEST_F(DiffUnpackTest, TheProgressLineCountsTheRealTotalAndIsClearedBeforeTheReport) {
  MakeGame("a");
  MakeGame("b");
  PutLargeLooseFile("a/res/D00009.bin", 100u << 20);
  PutLargeLooseFile("b/res/D00009.bin", 100u << 20);
  Put("b/res/D00001.bin", LooseFileImage(SampleBody(9, 50)));
  const std::string text = RunOnTerminal(Config().qpxtool, {"diff", "a", "b", "--manifest-out", "out"}, dir.Path());

  const std::size_t report = text.find("qpxtool diff: 1 of 2715 resources differ");
  ASSERT_NE(report, std::string::npos) << text;
  const std::size_t lineStart = text.rfind('\n', report);
  const std::string before = text.substr(lineStart == std::string::npos ? 0 : lineStart + 1, report - lineStart - 1);
  // Drawn over with blanks, then the report from the line's start.
  if (!before.empty()) {
    ASSERT_EQ(before.back(), '\r') << "the report is glued to: " << before;
    const std::size_t previous = before.rfind('\r', before.size() - 2);
    ASSERT_NE(previous, std::string::npos) << before;
    EXPECT_EQ(before.find_first_not_of(' ', previous + 1), before.size() - 1) << "not blanked: " << before;
  }

  // Every progress figure is of the whole: ORIGINAL's entries and loose files.
  uint64_t total = 100u << 20;
  for (uint32_t n = 0; n < kEntryCount; ++n) total += 1 + (n * 37) % 600;
  for (uint32_t i = 0; i < 8; ++i) total += LooseFileLength(100 + i * 1000);
  const std::string whole = " of " + tool::Grouped(total >> 20) + " MiB)";
  int shown = 0;
  for (std::size_t at = text.find("diff: "); at != std::string::npos; at = text.find("diff: ", at + 1)) {
    if (at >= report) break;
    const std::size_t end = text.find(')', at);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(at, end + 1 - at);
    EXPECT_NE(line.find(whole), std::string::npos) << line << " (the whole is " << total << " bytes)";
    EXPECT_LE(std::stoul(line.substr(line.find('(') + 1)), total >> 20) << line;
    ++shown;
  }
  EXPECT_GE(shown, 1) << text;

  // Work done in well under a second shows no progress at all.
  fs::remove_all(At("out"));
  const std::string quick =
      RunOnTerminal(Config().qpxtool, {"diff", "a", "b", "--manifest-out", "out"}, dir.Path(), true);
  EXPECT_NE(quick.find("qpxtool diff: 1 of 2715"), std::string::npos) << quick;
  EXPECT_EQ(quick.find("diff: "), quick.find("qpxtool diff: ") + 8) << quick;
}

}  // namespace
}  // namespace qpx

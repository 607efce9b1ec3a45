// The whole run in process: every message it can print, in order, and
// what it reports as the outcome.

#include <gtest/gtest.h>

#include "src/app/run/PatchRunner.h"
#include "src/archive/LooseFile.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx {
namespace {

using test::AppendTable;
using test::AppendTrailer;
using test::BuildPatchFile;
using test::ReadFile;
using test::ScratchDirectory;
using test::TestPatch;
using test::WriteFile;

class RunnerTest : public ::testing::Test {
 protected:
  // Runs a patcher whose file holds `patchFile`, in a folder holding `game`.
  bool Run(const std::vector<uint8_t>& patchFile) {
    WriteFile(dir.Path() / "patcher.bin", patchFile);
    CapturedConsole console;
    const bool success = RunPatcher(*fs, dir.Wide("patcher.bin"), console);
    output = console.Text();
    return success;
  }
  void MakeGame() {
    game.AddEntry(747, SampleBody(1, 100));
    game.AddEntry(748, SampleBody(2, 64));
    game.AddLooseFile(161, LooseFileImage(SampleBody(3, 10)));
    ASSERT_TRUE(game.Write(*fs, dir.Path().wstring()));
  }

  ScratchDirectory dir;
  std::unique_ptr<CFileSystem> fs = CreatePlatformFileSystem();
  GameFolder game;
  std::wstring output;
  const std::vector<uint8_t> image = std::vector<uint8_t>(1000, 0x4D);
};

TEST_F(RunnerTest, ReportsEachPatchAndSuccess) {
  MakeGame();
  const auto body = SampleBody(9, 120);
  EXPECT_TRUE(Run(BuildPatchFile(image, {{747, body}, {748, SampleBody(8, 64)}, {1368, SampleBody(7, 5)}})));
  EXPECT_EQ(output,
            L"Processing patch 747\nDone\nProcessing patch 748\nDone\nProcessing patch 1368\nDone\nSuccess!\n");
  EXPECT_EQ(ReadFile(dir.Path() / "res" / "D00161.bin"), LooseFileImage(SampleBody(7, 5)));
}

TEST_F(RunnerTest, EachPayloadFailureHasItsOwnMessage) {
  for (const std::wstring& path : {dir.Wide("absent.bin"), std::wstring()}) {  // empty: the path was not told whole
    CapturedConsole console;
    EXPECT_FALSE(RunPatcher(*fs, path, console));
    EXPECT_EQ(console.Text(), L"Can't open patch data\nDownload the patch again; nothing was changed\n");
  }

  EXPECT_FALSE(Run(image));
  // Of no known version, a patch is told to be downloaded again; a
  // version-1 one keeps its one line.
  EXPECT_EQ(output, L"Can't find patch data\nDownload the patch again; nothing was changed\n");
  auto badVersion = image;
  AppendTrailer(badVersion, 4, 0, 0);
  EXPECT_FALSE(Run(badVersion));
  EXPECT_EQ(output, L"Can't read patch header\nDownload the patch again; nothing was changed\n");
  // Version 2 is never without its seal.
  auto unsealed = image;
  AppendTrailer(unsealed, 2, 0, 0);
  EXPECT_FALSE(Run(unsealed));
  EXPECT_EQ(output, L"Patch data is damaged\nDownload the patch again; nothing was changed\n");
  auto badTable = image;
  AppendTrailer(badTable, 1, 5000, 3);
  EXPECT_FALSE(Run(badTable));
  EXPECT_EQ(output, L"Can't read patch info\n");
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "DATA0.QPX"));
}

TEST_F(RunnerTest, AMissingArchiveNamesTheDataFile) {
  EXPECT_FALSE(Run(BuildPatchFile(image, {{1, {1}}})));
  EXPECT_EQ(output, L"Can't open DATA1.QPX\n");
  EXPECT_FALSE(Run(BuildPatchFile(image, {})));
  EXPECT_EQ(output, L"Can't open DATA1.QPX\n");
}

TEST_F(RunnerTest, AnIndexOfAnyOtherLengthIsRefusedAndNothingIsWritten) {
  game.AddEntry(747, SampleBody(1, 100));
  game.indexOverride.assign(kIndexFileSize + 32, 0);
  ASSERT_TRUE(game.Write(*fs, dir.Path().wstring()));
  const auto index = ReadFile(dir.Path() / "DATA0.QPX");
  const auto data = ReadFile(dir.Path() / "DATA1.QPX");
  EXPECT_FALSE(Run(BuildPatchFile(image, {{747, SampleBody(2, 100)}})));
  EXPECT_EQ(output, L"Can't open DATA1.QPX\n");
  EXPECT_EQ(ReadFile(dir.Path() / "DATA0.QPX"), index);
  EXPECT_EQ(ReadFile(dir.Path() / "DATA1.QPX"), data);
}

TEST_F(RunnerTest, AnEmptyTableSucceedsAtOnce) {
  MakeGame();
  const auto data = ReadFile(dir.Path() / "DATA1.QPX");
  EXPECT_TRUE(Run(BuildPatchFile(image, {})));
  EXPECT_EQ(output, L"Success!\n");
  EXPECT_EQ(ReadFile(dir.Path() / "DATA1.QPX"), data);
}

TEST_F(RunnerTest, FailedPatchesAreCountedAndReported) {
  MakeGame();
  EXPECT_FALSE(Run(BuildPatchFile(image, {{2715, {1}}, {0x80000000u, {2}}, {747, {3}}, {1207, {4}}})));
  EXPECT_EQ(output,
            L"Processing patch 2715\nFailed\nProcessing patch -2147483648\nFailed\n"
            L"Processing patch 747\nDone\nProcessing patch 1207\nFailed\nFailed patches: 3\n");
}

TEST_F(RunnerTest, EmptyBodiesAreSkippedAndRepeatsApplyInOrder) {
  MakeGame();
  auto file = image;
  const auto first = SampleBody(1, 40), second = SampleBody(2, 50);
  file.insert(file.end(), first.begin(), first.end());
  file.insert(file.end(), second.begin(), second.end());
  const uint32_t table = AppendTable(file, {{748, 0, 1000, 40}, {999, 7, 0, 0}, {748, 0, 1040, 50},
                                            {748, 0, 1040, 50}});
  AppendTrailer(file, 1, table, 4);
  EXPECT_TRUE(Run(file));
  EXPECT_EQ(output, L"Processing patch 748\nDone\nProcessing patch 748\nDone\nProcessing patch 748\nDone\nSuccess!\n");
  const auto data = ReadFile(dir.Path() / "DATA1.QPX");
  EXPECT_TRUE(std::equal(second.begin(), second.end(), data.begin() + 128)) << "the later body is left";
}

TEST_F(RunnerTest, ABodyOutsideTheFileStopsTheRunAfterEarlierPatches) {
  MakeGame();
  auto file = image;
  const auto body = SampleBody(4, 100);
  file.insert(file.end(), body.begin(), body.end());
  const uint32_t table = AppendTable(file, {{747, 0, 1000, 100}, {748, 0, 1050, 0xFFFFFF00u}, {1368, 0, 0, 5}});
  AppendTrailer(file, 1, table, 3);
  EXPECT_FALSE(Run(file));
  EXPECT_EQ(output, L"Processing patch 747\nDone\nProcessing patch 748\nCan't read patch data\n");
  const auto data = ReadFile(dir.Path() / "DATA1.QPX");
  EXPECT_TRUE(std::equal(body.begin(), body.end(), data.begin())) << "earlier patches stay applied";
}

TEST_F(RunnerTest, BodiesMayComeFromTheImageItself) {
  MakeGame();
  auto file = image;
  const uint32_t table = AppendTable(file, {{748, 0, 10, 64}});
  AppendTrailer(file, 1, table, 1);
  EXPECT_TRUE(Run(file));
  const auto data = ReadFile(dir.Path() / "DATA1.QPX");
  EXPECT_EQ(std::vector<uint8_t>(data.begin() + 128, data.begin() + 192), std::vector<uint8_t>(64, 0x4D));
}

}  // namespace
}  // namespace qpx

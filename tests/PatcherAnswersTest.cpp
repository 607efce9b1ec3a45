// A version-2 patch answers before it acts: --help describes it without
// opening the game, --check judges the folder as the run would and writes
// nothing, and after each terse failure line the run names the folder and
// the reason. A version-1 patch ignores every argument.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "src/app/run/PatchRunner.h"
#include "src/app/run/RunMessages.h"
#include "src/archive/LooseFile.h"
#include "src/filesystem/SystemError.h"
#include "tests/support/GameRunFixture.h"

namespace qpx {
namespace {

using test::BuildCheckedPatchFile;
using test::CheckedPatch;
using test::FaultPlan;
using test::FileOperation;
using test::kImage;
using test::Narrow;
using test::ReadFile;
using test::WriteFile;
using Bytes = std::vector<uint8_t>;
using Folder = std::map<std::string, Bytes>;
namespace fs = std::filesystem;

class PatcherAnswersTest : public test::GameRunFixture {
 protected:
  void SetUp() override {
    game.AddEntry(3, SampleBody(1, 100));
    game.AddEntry(4, SampleBody(2, 40));
    game.AddLooseFile(2, LooseFileImage(SampleBody(5, 100)));
    ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
    patch = BuildCheckedPatchFile(kImage, {{3, SampleBody(11, 100), BodyEncoding::Stored, SampleBody(1, 100)},
                                           {4, SampleBody(12, 300), BodyEncoding::Lzma, SampleBody(2, 40)},
                                           {1209, SampleBody(13, 700), BodyEncoding::Stored, SampleBody(5, 100)}});
    PutPatch(patch);
  }

  RunResult Run(PatcherRequest request, FaultPlan& plan, bool progress = false) {
    RunSettings settings;
    settings.request = request;
    settings.progress = progress;
    return RunPatch(plan, settings);
  }
  RunResult Run(PatcherRequest request) {
    FaultPlan plan;
    return Run(request, plan);
  }

  Bytes patch;
};

TEST(PatcherRequestTest, OnlyTheArgumentsItKnowsCount) {
  const std::vector<std::pair<std::vector<std::wstring>, PatcherRequest>> cases = {
      {{}, PatcherRequest::Run},
      {{L"-launcher-flag", L"C:\\games"}, PatcherRequest::Run},
      {{L"--help"}, PatcherRequest::Describe},
      {{L"-h"}, PatcherRequest::Describe},
      {{L"/?"}, PatcherRequest::Describe},
      {{L"--version"}, PatcherRequest::Describe},
      {{L"--check"}, PatcherRequest::Check},
      {{L"/check"}, PatcherRequest::Check},
      {{L"--check", L"--help"}, PatcherRequest::Describe},  // the answer that touches nothing wins
      {{L"--CHECK", L"-help", L"check"}, PatcherRequest::Run},
  };
  for (const auto& [arguments, request] : cases) {
    EXPECT_EQ(ParseRequest(arguments), request) << (arguments.empty() ? "" : Narrow(arguments[0]));
  }
}

// The total a patch writes, as --help tells it, stops at the largest count
// instead of wrapping to a small one when a table's sizes add up past 2^64.
TEST(PatcherRequestTest, TheTotalToWriteNeverWraps) {
  Payload payload;
  payload.version = kPayloadVersion2;
  for (const uint64_t size : {UINT64_MAX - 5, uint64_t{10}}) {
    PayloadRecord record{};
    record.resourceNumber = 3;
    record.resultSize = size;
    payload.records.push_back(record);
  }
  EXPECT_NE(DescribePatch(payload).find(L"2 records, 18,446,744,073,709,551,615 bytes"), std::wstring::npos)
      << Narrow(DescribePatch(payload));
}

// --help opens nothing of the game, writes nothing and asks for no key;
// a version-1 patch ignores the argument and applies itself as ever.
TEST_F(PatcherAnswersTest, HelpDescribesTheVersion2PatchAndTouchesNoGameFile) {
  const Folder before = Snapshot();
  FaultPlan plan;
  const RunResult result = Run(PatcherRequest::Describe, plan);
  EXPECT_TRUE(result.success);
  EXPECT_FALSE(result.waitForKey);
  EXPECT_EQ(plan.opensForWriting, 0u);
  EXPECT_NE(output.find(L"payload format 2, 3 records, 1,100 bytes to write."), std::wstring::npos) << Narrow(output);
  EXPECT_NE(output.find(L"inside the game folder"), std::wstring::npos);
  EXPECT_NE(output.find(L"--check"), std::wstring::npos);
  EXPECT_EQ(Snapshot(), before);

  WriteFile(dir.Path() / "patch.exe", test::BuildPatchFile(kImage, {{3, SampleBody(11, 100)}}));
  const RunResult version1 = Run(PatcherRequest::Describe);
  EXPECT_TRUE(version1.success);
  EXPECT_TRUE(version1.waitForKey);
  EXPECT_EQ(output, L"Processing patch 3\nDone\nSuccess!\n");
}

// One table of folders the patcher is run in: --check writes nothing and
// says what the run then does (its exit status), and the run's extra line
// names the folder and the reason.
TEST_F(PatcherAnswersTest, CheckAgreesWithTheRunInEveryFolder) {
  struct Case {
    const char* what;
    std::function<void(FaultPlan&)> prepare;
    bool succeeds;
    std::wstring line;  // the run's extra line, from its start ("" none); its reason is the platform's
  };
  const std::wstring here = Here();
  const std::vector<Case> cases = {
      {"the game as the patch was made for", [](FaultPlan&) {}, true, L""},
      {"no DATA1.QPX: not the game folder", [&](FaultPlan&) { fs::remove(dir.Path() / "DATA1.QPX"); }, false,
       L"No DATA1.QPX in " + here + L": run the patch inside the game folder"},
      {"an index of another length",
       [&](FaultPlan&) { WriteFile(dir.Path() / "DATA0.QPX", Bytes(100, 0)); }, false,
       L"DATA0.QPX in " + here + L" is 100 bytes, not the 38,624 of the game's index"},
      {"a read-only data file", [](FaultPlan& plan) { plan.readOnly.insert(L"DATA1.QPX"); }, false,
       L"DATA1.QPX in " + here + L" cannot be written"},
      {"a read-only loose file", [](FaultPlan& plan) { plan.readOnly.insert(L"res\\D00002.bin"); }, false,
       L"res\\D00002.bin in " + here + L" cannot be written"},
      {"a read-only folder", [](FaultPlan& plan) { plan.readOnlyFolder = true; }, false,
       L"QPXPATCH.JNL cannot be made in " + here},
      {"another game",
       [&](FaultPlan&) {
         game.AddEntry(3, SampleBody(21, 100));
         ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
       },
       false, L"The game in " + here + L" is not one this patch knows: entry 3 holds 100 bytes (XXH3 "},
      {"a disk too small", [](FaultPlan& plan) { plan.freeSpace = 1000; plan.allocationUnit = 512; }, false,
       L"Free 2,048 bytes more on the disk of " + here + L": it has 1,000 free"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    game.AddEntry(3, SampleBody(1, 100));
    ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
    FaultPlan checkPlan;
    checkPlan.counted = static_cast<uint32_t>(FileOperation::Write) | static_cast<uint32_t>(FileOperation::SetSize) |
                        static_cast<uint32_t>(FileOperation::Delete) | static_cast<uint32_t>(FileOperation::Reserve);
    c.prepare(checkPlan);
    const Folder before = Snapshot();
    const RunResult checked = Run(PatcherRequest::Check, checkPlan);
    const std::wstring checkOutput = output;
    EXPECT_EQ(checkPlan.operations, 0u) << "the check changed nothing";
    EXPECT_EQ(Snapshot(), before);
    EXPECT_FALSE(checked.waitForKey);
    EXPECT_TRUE(checkOutput.starts_with(L"Checking the game in " + here + L"; nothing will be changed\n"));

    FaultPlan runPlan;
    c.prepare(runPlan);
    const RunResult ran = Run(PatcherRequest::Run, runPlan);
    EXPECT_TRUE(ran.waitForKey);
    EXPECT_EQ(ran.success, c.succeeds) << Narrow(output);
    EXPECT_EQ(checked.success, ran.success) << "check:\n" << Narrow(checkOutput) << "run:\n" << Narrow(output);
    if (!c.line.empty()) {
      EXPECT_NE(output.find(L"\n" + c.line), std::wstring::npos) << Narrow(output);
      EXPECT_NE(checkOutput.find(L"\n" + c.line), std::wstring::npos) << Narrow(checkOutput);
    }
    if (c.succeeds) {
      EXPECT_TRUE(checkOutput.ends_with(L"Check passed: the patch would apply; nothing was changed\n"));
      // Applied now: the check finds it so, and still passes.
      EXPECT_TRUE(Run(PatcherRequest::Check).success);
      EXPECT_NE(output.find(L"Patch 3 (entry 3): already applied\n"), std::wstring::npos) << Narrow(output);
    }
    fs::remove_all(dir.Path() / "res");
    fs::remove(dir.Path() / "QPXPATCH.JNL");
  }
}

TEST_F(PatcherAnswersTest, CheckSaysWhatEachRecordWouldDo) {
  EXPECT_TRUE(Run(PatcherRequest::Check).success);
  EXPECT_EQ(output, L"Checking the game in " + Here() + L"; nothing will be changed\n"
                    L"Patch 3 (entry 3): would apply (in place)\n"
                    L"Patch 4 (entry 4): would apply (appended to DATA1.QPX)\n"
                    L"Patch 1209 (res\\D00002.bin): would apply (rewrites res\\D00002.bin)\n"
                    L"Check passed: the patch would apply; nothing was changed\n");

  // A stopped run's journal is noted, and left as it is.
  WriteFile(dir.Path() / "QPXPATCH.JNL", Bytes(10, 1));
  EXPECT_TRUE(Run(PatcherRequest::Check).success);
  EXPECT_NE(output.find(L"\nQPXPATCH.JNL holds a run that was stopped before its changes were sealed"),
            std::wstring::npos) << Narrow(output);
  EXPECT_EQ(ReadFile(dir.Path() / "QPXPATCH.JNL"), Bytes(10, 1));
}

// One table of messages: each text as a test shows it.
TEST_F(PatcherAnswersTest, MessagesSayWhereAndWhy) {
  // Paths and the system's words are shown byte for byte in ASCII.
  EXPECT_EQ(ConsoleSafe("/games/caf\xC3\xA9\t1"), L"/games/caf\\xC3\\xA9\\x091");
  EXPECT_EQ(ConsoleSafe("C:\\Games\\Plain"), L"C:\\Games\\Plain");
  EXPECT_EQ(ReasonSuffix(0), L"");
  const std::wstring io = ReasonSuffix(SystemErrorIo());
  ASSERT_GT(io.size(), 3u);
  for (const wchar_t c : io) EXPECT_LT(static_cast<uint32_t>(c), 0x80u);

  // A write that fails while a record is staged names the record, the
  // file and the system's reason; the game is as it was.
  const Folder before = Snapshot();
  FaultPlan failing;
  failing.counted = static_cast<uint32_t>(FileOperation::Write);
  failing.failAt = 2;  // the journal's header goes in; the first record's bytes fail
  EXPECT_FALSE(Run(PatcherRequest::Run, failing).success);
  EXPECT_EQ(output, L"Processing patch 3\nFailed\nResource 3 (entry 3): writing QPXPATCH.JNL in " + Here() + L" failed" +
                        io + L"\nFailed patches: 1\nNothing was changed\n");
  EXPECT_EQ(Snapshot(), before);

  // The journal that cannot be made, in the run's own words first.
  FaultPlan readOnly;
  readOnly.readOnlyFolder = true;
  EXPECT_FALSE(Run(PatcherRequest::Run, readOnly).success);
  EXPECT_EQ(output, L"Can't write QPXPATCH.JNL in the game folder\nQPXPATCH.JNL cannot be made in " + Here() +
                        ReasonSuffix(SystemErrorAccessDenied()) +
                        L": is the folder read-only, or the disk full?\nNothing was changed\n");
}

// On a terminal a large record shows its percent, redrawn on one line and
// cleared before "Done"; elsewhere the output is as it always was.
TEST_F(PatcherAnswersTest, ALargeRecordShowsItsProgressOnATerminalOnly) {
  const Bytes large = SampleBody(31, static_cast<uint32_t>(kProgressThreshold) + 4096);
  WriteFile(dir.Path() / "patch.exe", BuildCheckedPatchFile(kImage, {{4, large, BodyEncoding::Stored, {}}}));
  FaultPlan plan;
  ASSERT_TRUE(Run(PatcherRequest::Run, plan, /*progress=*/true).success) << Narrow(output);
  ASSERT_TRUE(output.starts_with(L"Processing patch 4\n\r  "));
  EXPECT_TRUE(output.ends_with(L"\r100%\r      \rDone\nSuccess!\n")) << Narrow(output.substr(output.size() - 40));
  EXPECT_EQ(output.find(L'\n', 19), output.size() - 10) << "one line, redrawn";

  game.AddEntry(4, SampleBody(2, 40));
  ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
  ASSERT_TRUE(Run(PatcherRequest::Run, plan, /*progress=*/false).success);
  EXPECT_EQ(output, L"Processing patch 4\nDone\nSuccess!\n");
}

}  // namespace
}  // namespace qpx

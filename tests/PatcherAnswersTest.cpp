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
    settings.arguments.request = request;
    settings.progress = progress;
    settings.someoneCanAnswer = true;
    return RunPatch(plan, settings);
  }
  RunResult Run(PatcherRequest request) {
    FaultPlan plan;
    return Run(request, plan);
  }

  Bytes patch;
};

// One table of argument lines: what a player or a launcher types, and
// what the patch makes of it. Anything it does not know asks for the usage.
TEST(PatcherRequestTest, OnlyTheArgumentsItKnowsCount) {
  struct Case {
    std::vector<std::wstring> arguments;
    bool slashSwitches;  // Windows
    PatcherRequest request;
    bool noPause;
    std::wstring folder;
  };
  using R = PatcherRequest;
  const std::vector<Case> cases = {
      {{}, false, R::Run, false, L""},
      {{L"--help"}, false, R::Describe, false, L""},
      {{L"-h"}, false, R::Describe, false, L""},
      {{L"/?"}, false, R::Describe, false, L""},
      {{L"--version"}, false, R::Version, false, L""},
      {{L"--check"}, false, R::Check, false, L""},
      {{L"/check"}, false, R::Check, false, L""},
      {{L"/CHECK"}, true, R::Check, false, L""},   // Windows switches are case-blind
      {{L"/NoPause"}, true, R::Run, true, L""},
      {{L"--no-pause", L"--check"}, false, R::Check, true, L""},
      {{L"--check", L"--help"}, false, R::Describe, false, L""},  // the answer that touches nothing wins
      {{L"--version", L"--check"}, false, R::Version, false, L""},
      // A folder, given or dropped on the patch (Windows passes its path).
      {{L"/home/p/Games/X"}, false, R::Run, false, L"/home/p/Games/X"},
      {{L"C:\\Games\\Jeu \u00e9"}, true, R::Run, false, L"C:\\Games\\Jeu \u00e9"},
      {{L"--target", L"g"}, false, R::Run, false, L"g"},
      {{L"--target=g", L"--check"}, false, R::Check, false, L"g"},
      {{L"--", L"-odd name"}, false, R::Run, false, L"-odd name"},
      // What must never patch a game.
      {{L"--dry-run"}, false, R::Usage, false, L""},
      {{L"-n"}, false, R::Usage, false, L""},
      {{L"--chek"}, false, R::Usage, false, L""},
      {{L"--CHECK"}, false, R::Usage, false, L""},
      {{L"-v"}, false, R::Usage, false, L""},
      {{L"--list"}, false, R::Usage, false, L""},
      {{L"/dry"}, true, R::Usage, false, L""},
      {{L"--target"}, false, R::Usage, false, L""},
      {{L""}, false, R::Usage, false, L""},
      {{L"a", L"b"}, false, R::Usage, false, L"a"},  // one folder at most
      {{L"--help", L"--dry-run"}, false, R::Usage, false, L""},
  };
  for (const Case& c : cases) {
    const PatcherArguments parsed = ParseArguments(c.arguments, c.slashSwitches);
    SCOPED_TRACE(c.arguments.empty() ? std::string("(none)") : Narrow(c.arguments[0]));
    EXPECT_EQ(parsed.request, c.request);
    EXPECT_EQ(parsed.noPause, c.noPause);
    EXPECT_EQ(parsed.folder, c.folder);
    if (c.request == R::Usage) {
      EXPECT_FALSE(parsed.unknown.empty() && !c.arguments.back().empty());
    }
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
  EXPECT_TRUE(result.Succeeded());
  EXPECT_FALSE(result.waitForKey);
  EXPECT_EQ(plan.opensForWriting, 0u);
  EXPECT_NE(output.find(L"payload format 2, 3 records, 1,100 bytes to write."), std::wstring::npos) << Narrow(output);
  EXPECT_NE(output.find(L"inside the game folder"), std::wstring::npos);
  EXPECT_NE(output.find(L"--check"), std::wstring::npos);
  EXPECT_EQ(Snapshot(), before);

  WriteFile(dir.Path() / "patch.exe", test::BuildPatchFile(kImage, {{3, SampleBody(11, 100)}}));
  const RunResult version1 = Run(PatcherRequest::Describe);
  EXPECT_TRUE(version1.Succeeded());
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
       test::Shown(L"res\\D00002.bin") + L" in " + here + L" cannot be written"},
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
    EXPECT_EQ(ran.Succeeded(), c.succeeds) << Narrow(output);
    EXPECT_EQ(checked.Succeeded(), ran.Succeeded()) << "check:\n" << Narrow(checkOutput) << "run:\n" << Narrow(output);
    if (!c.line.empty()) {
      EXPECT_NE(output.find(L"\n" + c.line), std::wstring::npos) << Narrow(output);
      EXPECT_NE(checkOutput.find(L"\n" + c.line), std::wstring::npos) << Narrow(checkOutput);
    }
    if (c.succeeds) {
      EXPECT_TRUE(checkOutput.ends_with(L"Check passed: the patch would apply; nothing was changed\n"));
      // Applied now: the check finds it so, and still passes.
      EXPECT_TRUE(Run(PatcherRequest::Check).Succeeded());
      EXPECT_NE(output.find(L"Patch 3 (entry 3): already applied\n"), std::wstring::npos) << Narrow(output);
    }
    fs::remove_all(dir.Path() / "res");
    fs::remove(dir.Path() / "QPXPATCH.JNL");
  }
}

TEST_F(PatcherAnswersTest, CheckSaysWhatEachRecordWouldDo) {
  EXPECT_TRUE(Run(PatcherRequest::Check).Succeeded());
  EXPECT_EQ(output, L"Checking the game in " + Here() + L"; nothing will be changed\n"
                    L"Patch 3 (entry 3): would apply (in place)\n"
                    L"Patch 4 (entry 4): would apply (appended to DATA1.QPX)\n" +
                    test::Shown(L"Patch 1209 (res\\D00002.bin): would apply (rewrites res\\D00002.bin)\n") +
                    L"Check passed: the patch would apply; nothing was changed\n");

  // A stopped run's journal is noted, and left as it is.
  WriteFile(dir.Path() / "QPXPATCH.JNL", Bytes(10, 1));
  EXPECT_TRUE(Run(PatcherRequest::Check).Succeeded());
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
  EXPECT_FALSE(Run(PatcherRequest::Run, failing).Succeeded());
  EXPECT_EQ(output, L"Processing patch 3\nFailed\nResource 3 (entry 3): writing QPXPATCH.JNL in " + Here() + L" failed" +
                        io + L"\nFailed patches: 1\nNothing was changed\n");
  EXPECT_EQ(Snapshot(), before);

  // The journal that cannot be made, in the run's own words first.
  FaultPlan readOnly;
  readOnly.readOnlyFolder = true;
  EXPECT_FALSE(Run(PatcherRequest::Run, readOnly).Succeeded());
  EXPECT_EQ(output, L"Can't write QPXPATCH.JNL in the game folder\nQPXPATCH.JNL cannot be made in " + Here() +
                        ReasonSuffix(SystemErrorAccessDenied()) +
                        AccessAdvice(L"folder") + L"\nNothing was changed\n");
}

// On a terminal a large record shows its percent, redrawn on one line and
// cleared before "Done"; elsewhere the output is as it always was.
TEST_F(PatcherAnswersTest, ALargeRecordShowsItsProgressOnATerminalOnly) {
  const Bytes large = SampleBody(31, static_cast<uint32_t>(kProgressThreshold) + 4096);
  WriteFile(dir.Path() / "patch.exe", BuildCheckedPatchFile(kImage, {{4, large, BodyEncoding::Stored, {}}}));
  FaultPlan plan;
  ASSERT_TRUE(Run(PatcherRequest::Run, plan, /*progress=*/true).Succeeded()) << Narrow(output);
  ASSERT_TRUE(output.starts_with(L"Processing patch 4\n\r  "));
  EXPECT_TRUE(output.ends_with(L"\r100%\r      \rDone\nSuccess!\n")) << Narrow(output.substr(output.size() - 40));
  EXPECT_EQ(output.find(L'\n', 19), output.size() - 10) << "one line, redrawn";

  game.AddEntry(4, SampleBody(2, 40));
  ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
  ASSERT_TRUE(Run(PatcherRequest::Run, plan, /*progress=*/false).Succeeded());
  EXPECT_EQ(output, L"Processing patch 4\nDone\nSuccess!\n");
}

// One table of how a run ends: each with its exit status (what a launcher
// does next) and the line that tells the player what to do.
TEST_F(PatcherAnswersTest, EachEndHasItsStatusAndItsNextStep) {
  struct Case {
    const char* what;
    std::function<void(FaultPlan&, RunSettings&)> prepare;
    RunEnd end;
    std::wstring says;  // a line of the output
  };
  const std::wstring held = L" is open in another program (is the game running?): close it and run the patch again\n";
  const std::vector<Case> cases = {
      {"an argument it does not know", [](FaultPlan&, RunSettings& s) {
         s.arguments.request = PatcherRequest::Usage;
         s.arguments.unknown = L"--dry-run";
       }, RunEnd::Usage, L"Unknown argument: --dry-run; nothing was changed\nUsage: "},
      {"the game holds DATA1.QPX", [](FaultPlan& p, RunSettings&) { p.heldOpen.insert(L"DATA1.QPX"); },
       RunEnd::TryAgain, L"Can't open DATA1.QPX\nDATA1.QPX" + held},
      {"the game holds a loose file", [](FaultPlan& p, RunSettings&) { p.heldOpen.insert(L"res\\D00002.bin"); },
       RunEnd::TryAgain, test::Shown(L"\nres\\D00002.bin") + held + L"Nothing was changed\n"},
      {"--check while the game holds DATA1.QPX", [](FaultPlan& p, RunSettings& s) {
         p.heldOpen.insert(L"DATA1.QPX");
         s.arguments.request = PatcherRequest::Check;
       }, RunEnd::TryAgain, L"DATA1.QPX" + held + L"Check failed: the patch would not apply; nothing was changed\n"},
      {"a read-only data file", [](FaultPlan& p, RunSettings&) { p.readOnly.insert(L"DATA1.QPX"); },
       RunEnd::CannotApply, AccessAdvice(L"file or the folder") + L"\n"},
      {"a disk too small", [](FaultPlan& p, RunSettings&) { p.freeSpace = 0; }, RunEnd::TryAgain,
       L"Nothing was changed\n"},
      {"a volume whose files stop at 4 GiB (here: 100 bytes)", [](FaultPlan& p, RunSettings&) { p.largestFile = 100; },
       RunEnd::CannotApply, L"DATA1.QPX would grow to "},
      {"applied", [](FaultPlan&, RunSettings&) {}, RunEnd::Done, L"Success!\n"},
  };
  const Folder before = Snapshot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FaultPlan plan;
    RunSettings settings;
    c.prepare(plan, settings);
    const RunResult result = RunPatch(plan, settings);
    EXPECT_EQ(result.end, c.end) << Narrow(output);
    EXPECT_NE(output.find(c.says), std::wstring::npos) << Narrow(output);
    if (c.end != RunEnd::Done) {
      EXPECT_EQ(Snapshot(), before) << "nothing changed";
    }
    if (c.end == RunEnd::Usage) {
      EXPECT_EQ(plan.opensForWriting, 0u);
    }
  }
  EXPECT_NE(output.find(L"Processing patch 3\nDone\n"), std::wstring::npos);
  FaultPlan counting = CountingWrites();
  EXPECT_EQ(RunPatch(counting).end, RunEnd::Done) << "already applied";
  FaultPlan fat;
  fat.largestFile = 100;
  RunSettings check;
  check.arguments.request = PatcherRequest::Check;
  EXPECT_EQ(RunPatch(fat, check).end, RunEnd::Done) << "an applied game grows no file";
  EXPECT_TRUE(output.ends_with(L"Check passed: the patch is already applied: nothing to do\n")) << Narrow(output);
}

// A run that settles what a stopped run left says so, and does not claim
// that nothing was changed when it refuses afterwards.
TEST_F(PatcherAnswersTest, ARunThatFinishedAStoppedOneSaysSo) {
  test::StoppingConsole stopping(L"Processing patch 1209\n");
  EXPECT_FALSE(RunPatcher(*files, dir.Wide(kPatchName), stopping));
  ASSERT_TRUE(fs::exists(dir.Path() / "QPXPATCH.JNL")) << Narrow(stopping.Text());
  // Another patch, for another version of resource 3, meets the journal.
  PutPatch(BuildCheckedPatchFile(kImage, {{3, SampleBody(21, 100), BodyEncoding::Stored, SampleBody(99, 100)}}));
  FaultPlan plan;
  EXPECT_EQ(RunPatch(plan).end, RunEnd::CannotApply);
  EXPECT_TRUE(output.ends_with(L"The stopped run's changes were written; nothing else was changed\n"))
      << Narrow(output);
  EXPECT_FALSE(fs::exists(dir.Path() / "QPXPATCH.JNL"));
}

// Names as the player's system shows them: UTF-8 as its characters, any
// byte that is not text as \xNN.
TEST(ShownTextTest, NamesKeepTheirCharactersAndOtherBytesAreEscaped) {
  EXPECT_EQ(ShownText("/games/Jeu \xC3\xA9"), L"/games/Jeu \u00e9");
  EXPECT_EQ(ShownText("a\tb"), L"a\\x09b");
  EXPECT_EQ(ShownText("caf\xC3"), L"caf\\xC3") << "cut short";
  EXPECT_EQ(ShownText("\xC0\xAF"), L"\\xC0\\xAF") << "overlong";
  EXPECT_EQ(ShownText("\xED\xA0\x80"), L"\\xED\\xA0\\x80") << "a surrogate";
  EXPECT_EQ(ShownText("\xC2\x85"), L"\\xC2\\x85") << "a control character of its own";
  const std::wstring emoji = ShownText("\xF0\x9F\x8E\xAE");
  EXPECT_EQ(emoji.size(), sizeof(wchar_t) == 2 ? 2u : 1u);
}

}  // namespace
}  // namespace qpx

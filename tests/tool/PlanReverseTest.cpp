// plan, verify, reverse and build at their edges: what plan counts as
// loose-file writes and what it says of a body that does not decode, what
// verify takes for applied, an undo asked for too late or for what no patch
// restores, a damaged read of a patch, and the patcher's marker across a
// read boundary.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "src/app/payload/PatcherMarker.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "tests/support/FaultyFileSystem.h"
#include "tests/tool/ToolFixture.h"
#include "tools/qpxtool/authoring/PatchReader.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx {
namespace {

namespace fs = std::filesystem;

class PlanReverseTest : public test::ToolFixture {
 protected:
  void SetUp() override {
    MakeGame("game");
    Put("entry-10.bin", Text("A new title screen text.\n"));
    Put("loose-2.bin", SampleBody(3, 6000));
    ASSERT_EQ(Tool({"build", "--stub", Config().patcher, "--out", "patch", "10=entry-10.bin", "1209=loose-2.bin"})
                  .exitCode,
              kOk);
  }
};

TEST_F(PlanReverseTest, PlanCountsOnlyLooseFileWritesAsSuch) {
  // Entry 10 is appended: 25 bytes, 7 zeros and its 32-byte record, none of
  // them in a loose file; res\D00002.bin is rewritten: header, body, zeros.
  EXPECT_TOOL(Tool({"plan", "patch", "game"}), kOk,
              "DATA1.QPX: 380,288 -> 380,320 bytes (grows by 32); loose files: 8,064 bytes written");
}

// Whatever the format, the bytes an entry takes in the archive (appended,
// or written over its old body in place, and its index record) are no
// loose file's.
TEST_F(PlanReverseTest, PlanCountsNoArchiveWriteAsALooseFile) {
  Put("same-size.bin", SampleBody(500, 1 + (20 * 37) % 600));  // entry 20's length: in place
  for (const char* format : {"1", "2"}) {
    SCOPED_TRACE(std::string("format ") + format);
    ASSERT_EQ(Tool({"build", "--format", format, "--stub", Config().patcher, "-fo", "both", "10=entry-10.bin",
                    "20=same-size.bin", "1209=loose-2.bin"})
                  .exitCode,
              kOk);
    const test::ProcessResult planned = Tool({"plan", "both", "game"});
    EXPECT_TOOL(planned, kOk, "in place");
    // res\D00002.bin alone: its header, its 6,000 bytes and 16 zeros.
    ASSERT_EQ(LooseFileLength(6000), 8064u);
    EXPECT_TOOL(planned, kOk, "DATA1.QPX: 380,288 -> 380,320 bytes (grows by 32); loose files: 8,064 bytes written");
  }
}

// A version-2 body that does not decode to the result its record names is
// a record that fails, as the patcher fails it, never a plan that passes.
TEST_F(PlanReverseTest, PlanOfABodyThatDoesNotDecodeToItsResultFails) {
  const Bytes body = Text("the body as stored");
  PatchRecordV2 record{};
  record.resourceNumber = 10;
  record.bodyOffset = 100;
  record.storedSize = body.size();
  record.resultSize = body.size();
  const ContentHash other = HashOf(Text("other bytes, as long"));  // what the record claims
  std::copy(other.begin(), other.end(), record.resultHash);
  Bytes patch(100 + body.size(), 0x90);
  std::copy(body.begin(), body.end(), patch.begin() + 100);
  test::AppendCheckedTable(patch, 100, {record});
  Put("faulty", patch);
  const test::ProcessResult planned = Tool({"plan", "faulty", "game"});
  EXPECT_TOOL(planned, kFailedCheck, "FAILS: its body does not decode to the resource it names (\"Failed\")");
  EXPECT_TOOL(planned, kFailedCheck, "plan: 0 of 1 record would apply, 1 would FAIL");
}

// verify takes a loose file for applied only as the patcher writes it: the
// right body under another header, in a file of another length, or with
// other bytes than zeros after it, is not applied, and neither is a body of
// the right length with other bytes.
TEST_F(PlanReverseTest, VerifyJudgesALooseFileByItsBytesAndItsLayout) {
  const std::size_t fillAt = kLooseBodyOffset + 6000;  // 16 zeros follow the body
  const std::vector<std::pair<std::string, void (*)(Bytes&)>> changes{
      {"another header", [](Bytes& file) { file[offsetof(LooseFileHeader, blockSizes) + 4] = 5; }},
      {"another length", [](Bytes& file) { file.resize(file.size() + kLooseFileAlignment, 0); }},
      {"a fill that is not zeros", [](Bytes& file) { file[kLooseBodyOffset + 6000 + 3] = 1; }},
      {"other bytes", [](Bytes& file) { file[kLooseBodyOffset + 17] ^= 0xFF; }},
  };
  for (const char* format : {"1", "2"}) {
    fs::remove_all(At("game"));
    MakeGame("game");
    ASSERT_EQ(Tool({"build", "--format", format, "--stub", Config().patcher, "-fo", "patch", "10=entry-10.bin",
                    "1209=loose-2.bin"})
                  .exitCode,
              kOk);
    ASSERT_EQ(RunPatch("patch", "game").exitCode, 0);
    ASSERT_EQ(Tool({"verify", "patch", "game"}).exitCode, kOk) << format;
    const Bytes applied = Get("game/res/D00002.bin");
    ASSERT_EQ(applied.size(), fillAt + 16);
    for (const auto& [what, change] : changes) {
      SCOPED_TRACE(std::string("format ") + format + ", " + what);
      Bytes file = applied;
      change(file);
      Put("game/res/D00002.bin", file);
      EXPECT_TOOL(Tool({"verify", "patch", "game"}), kFailedCheck, "verify: 1 of 2 records applied, 1 NOT applied");
    }
    Put("game/res/D00002.bin", applied);
  }
}

// A game holding a stopped run's journal is judged as it is, and plan says
// that the patcher settles that run first.
TEST_F(PlanReverseTest, PlanSaysWhenAStoppedRunLeftItsJournal) {
  Put("game/QPXPATCH.JNL", Bytes(100, 1));
  const test::ProcessResult planned = Tool({"plan", "patch", "game"});
  EXPECT_TOOL(planned, kOk, "DATA1.QPX: 380,288 -> 380,320 bytes");
  EXPECT_NE(planned.err.find("holds QPXPATCH.JNL, left by a run that was stopped"), std::string::npos) << planned.err;
}

// What plan and verify say, read as sentences: a patch already there is
// "already applied", counts agree with their verbs, and verify names the
// bytes it expected and those it found.
TEST_F(PlanReverseTest, PlanAndVerifySayWhatTheyFoundInSentences) {
  // Records that know the bytes they replace: entries 10 and 11 of another
  // version of the game fail their checks, then one of them alone.
  ASSERT_EQ(Tool({"unpack", "game", "mod"}).exitCode, kOk);
  Put("mod/entries/00010.bin", Text("entry ten, anew"));
  Put("mod/entries/00011.bin", Text("entry eleven, anew"));
  ASSERT_EQ(Tool({"diff", "game", "mod", "--stub", Config().patcher, "--out", "known"}).exitCode, kOk);
  fs::copy(At("game"), At("other"), fs::copy_options::recursive);
  Bytes data = Get("other/DATA1.QPX");
  const Bytes index = Get("other/DATA0.QPX");
  for (const uint32_t number : {10u, 11u}) {
    ArchiveIndexEntry entry{};
    std::memcpy(&entry, index.data() + number * sizeof entry, sizeof entry);
    data[entry.offset] ^= 0xFF;  // the same length, other bytes
  }
  Put("other/DATA1.QPX", data);
  EXPECT_TOOL(Tool({"plan", "known", "other"}), kFailedCheck,
              "plan: the patcher would refuse this patch and change nothing: 2 of 2 records fail their checks\n");
  EXPECT_TOOL(Tool({"verify", "known", "other"}), kFailedCheck,
              "NOT APPLIED: expected the 15 bytes the patch writes, found 371 bytes");
  fs::copy_file(At("game/DATA1.QPX"), At("other/DATA1.QPX"), fs::copy_options::overwrite_existing);
  data = Get("other/DATA1.QPX");
  ArchiveIndexEntry entry{};
  std::memcpy(&entry, index.data() + 11 * sizeof entry, sizeof entry);
  data[entry.offset] ^= 0xFF;
  Put("other/DATA1.QPX", data);
  EXPECT_TOOL(Tool({"plan", "known", "other"}), kFailedCheck, "change nothing: 1 of 2 records fails its checks\n");

  // Applied: nothing to do, and said so.
  ASSERT_EQ(RunPatch("patch", "game").exitCode, 0);
  EXPECT_TOOL(Tool({"plan", "patch", "game"}), kOk,
              "plan: the patch is already applied; the patcher would change nothing (2 of 2 records already applied)");
  // The same length as the patch writes, but other bytes.
  Bytes applied = Get("game/DATA0.QPX");
  std::memcpy(&entry, applied.data() + 10 * sizeof entry, sizeof entry);
  data = Get("game/DATA1.QPX");
  data[entry.offset] ^= 0xFF;
  Put("game/DATA1.QPX", data);
  EXPECT_TOOL(Tool({"verify", "patch", "game"}), kFailedCheck,
              "NOT APPLIED: expected the 25 bytes the patch writes, found 25 other bytes");
  EXPECT_TOOL(Tool({"plan", "patch", "game"}), kOk, "plan: 1 of 2 records would apply, 1 already applied");
}

TEST_F(PlanReverseTest, AnUndoIsRefusedOnceThePatchIsApplied) {
  ASSERT_EQ(RunPatch("patch", "game").exitCode, 0);
  const auto before = Snapshot();
  EXPECT_TOOL(Tool({"reverse", "patch", "game", "--stub", Config().patcher, "--out", "undo"}), kBadInput,
              "already holds every body of \"patch\": it was applied already, and an undo made now would be the "
              "patch again. Make the undo before applying the patch");
  EXPECT_EQ(Snapshot(), before);

  // Put back in part: what is not yet applied can still be undone.
  ASSERT_EQ(Tool({"extract", "game", "1210", "other.bin"}).exitCode, kOk);
  ASSERT_EQ(Tool({"build", "--stub", Config().patcher, "--out", "partly", "10=entry-10.bin", "1210=loose-2.bin"})
                .exitCode,
            kOk);
  EXPECT_TOOL(Tool({"reverse", "partly", "game", "--stub", Config().patcher, "--out", "undo"}), kOk,
              "puts back 2 resources");
}

TEST_F(PlanReverseTest, ReverseSaysWhyAnEmptyResourceCannotBeRestored) {
  Bytes index = Get("game/DATA0.QPX");
  const ArchiveIndexEntry empty{0, 0, 0, 0};
  std::memcpy(index.data() + 7 * sizeof empty, &empty, sizeof empty);
  Put("game/DATA0.QPX", index);
  ASSERT_EQ(Tool({"build", "--stub", Config().patcher, "--out", "fills", "7=entry-10.bin"}).exitCode, kOk);
  EXPECT_TOOL(Tool({"reverse", "fills", "game", "--stub", Config().patcher, "--out", "undo"}), kBadInput,
              "entry 7 is empty: a patch cannot make a resource empty again");
  EXPECT_FALSE(fs::exists(At("undo")));
}

// A read of the patch that fails while its seal is checked is the patch
// refused as damaged, a failed check (exit 1), as the patcher refuses it.
TEST_F(PlanReverseTest, AFailedReadOfASealedPatchIsAFailedCheck) {
  const auto real = CreatePlatformFileSystem();
  test::FaultPlan plan;
  plan.failAt = 6;  // after the signature probe, the magic, the header, the table and the seal
  plan.counted = static_cast<uint32_t>(test::FileOperation::Read);
  test::CFileSystem_Faulty faulty(*real, plan);
  std::unique_ptr<CAbstractFile> file;
  Payload payload;
  try {
    tool::OpenPatchOrFail(faulty, At("patch").string(), file, payload);
    ADD_FAILURE() << "the patch was taken";
  } catch (const tool::ToolError& error) {
    EXPECT_EQ(error.Status(), kFailedCheck) << error.what();
    EXPECT_NE(std::string(error.what()).find("Can't read patch data"), std::string::npos) << error.what();
  }
  EXPECT_TRUE(plan.struck);
}

// The marker is found wherever it lies, a read boundary of build's included.
TEST_F(PlanReverseTest, TheMarkerIsFoundAcrossAReadBoundary) {
  const auto marker = Unmasked(kMaskedPatcherMarker);
  Put("body", Text("a body"));
  const std::size_t piece = tool::kCopyBufferSize;
  for (const std::size_t at : {std::size_t{0}, piece - 10, piece - 1, 2 * piece - marker.size()}) {
    SCOPED_TRACE("marker at " + std::to_string(at));
    Bytes stub(2 * tool::kCopyBufferSize, 0x90);
    std::copy(marker.begin(), marker.end(), stub.begin() + static_cast<std::ptrdiff_t>(at));
    Put("stub", stub);
    EXPECT_TOOL(Tool({"build", "--format", "1", "--stub", "stub", "-f", "--out", "built", "10=body"}), kOk,
                "wrote \"built\"");
  }
  Put("stub", Bytes(2 * tool::kCopyBufferSize, 0x90));
  EXPECT_TOOL(Tool({"build", "--format", "1", "--stub", "stub", "--out", "built", "10=body"}), kBadInput,
              "is not a qpxpatch patcher");
}

}  // namespace
}  // namespace qpx

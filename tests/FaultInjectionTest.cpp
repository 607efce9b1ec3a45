// Whole patch jobs run over a file layer that fails at one operation after
// another: whatever fails, the run must say so, and the archive must hold
// nothing but the patches before the fault, the one it struck (at most its
// own slot, zero fill and index record, the record last) and, when the run
// goes on, the patches after it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>
#include <set>

#include "src/app/codecs/lzma/LzmaEncoder.h"
#include "src/app/run/PatchRunner.h"
#include "src/archive/LooseFile.h"
#include "src/archive/ResourceArchive.h"
#include "tests/support/FaultyFileSystem.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx {
namespace {

using test::AppendTable;
using test::AppendTrailer;
using test::CFileSystem_Faulty;
using test::FaultPlan;
using test::FaultStyle;
using test::FileOperation;
using test::ReadFile;
using test::ScratchDirectory;
using test::WriteFile;

namespace fs = std::filesystem;

const fs::path kPatcherName = "patcher.bin";
const fs::path kDataPath = "DATA1.QPX";
constexpr uint32_t kImageLength = 1000;  // of the patcher program in front of the bodies

// ---------------------------------------------------------------------------
// The file layer itself.

TEST(FaultyFileSystemTest, FailsTheNthOperationInTheChosenStyle) {
  ScratchDirectory dir;
  const auto real = CreatePlatformFileSystem();
  WriteFile(dir.Path() / "f", std::vector<uint8_t>(10, 7));

  FaultPlan plan;
  plan.failAt = 3;
  plan.style = FaultStyle::Short;
  CFileSystem_Faulty faulty(*real, plan);
  auto file = faulty.Open(L"f", OpenMode_ReadWrite);  // 1
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->GetSize(), 10u);  // 2: the 32-bit form counts as its 64-bit one
  uint8_t buffer[10] = {};
  EXPECT_EQ(file->Read(buffer, 9), 4u) << "3: a short read moves half";
  EXPECT_TRUE(plan.struck);
  EXPECT_EQ(plan.struckOperation, FileOperation::Read);
  EXPECT_EQ(plan.struckPath, L"f");
  EXPECT_EQ(file->Tell64(), 4) << "4: the fault was transient";
  EXPECT_EQ(plan.operations, 4u);

  plan = FaultPlan{};
  plan.failAt = 2;
  plan.style = FaultStyle::Persistent;
  EXPECT_TRUE(file->Seek64(0));    // 1
  EXPECT_EQ(file->Write("ab", 2), 0u);  // 2: disk full...
  EXPECT_FALSE(file->Seek64(0));        // ...and everything after fails
  int64_t size = 0;
  EXPECT_FALSE(file->QuerySize64(size));
  EXPECT_EQ(file->GetSize64(), 0);
  EXPECT_FALSE(file->SetSize(1));
  EXPECT_EQ(faulty.Open(L"f", OpenMode_Read), nullptr);
  EXPECT_FALSE(faulty.CreateDirectory(L"d"));
  EXPECT_FALSE(faulty.DeleteFile(L"f"));
  EXPECT_EQ(ReadFile(dir.Path() / "f"), std::vector<uint8_t>(10, 7)) << "nothing reached the disk";

  plan = FaultPlan{};
  plan.failAt = 1;
  plan.counted = static_cast<uint32_t>(FileOperation::Write);
  EXPECT_TRUE(file->Seek64(0)) << "seeks do not count when only writes do";
  EXPECT_EQ(file->Write("ab", 2), 0u);
  EXPECT_EQ(file->Write("ab", 2), 2u);
  EXPECT_EQ(plan.operations, 2u);
}

// ---------------------------------------------------------------------------
// Refused seeks: the bytes at the old position must never be taken for the
// ones sought.

// Fails only the `failAt`th seek.
FaultPlan SeekFault(uint64_t failAt) {
  FaultPlan plan;
  plan.failAt = failAt;
  plan.counted = static_cast<uint32_t>(FileOperation::Seek);
  return plan;
}

TEST(RefusedSeekTest, ThePayloadReaderJudgesOnlyTheBytesItSought) {
  ScratchDirectory dir;
  const auto real = CreatePlatformFileSystem();
  // The file starts with the magic and a valid header, as its end does: a
  // read from the start would pass for the trailer.
  std::vector<uint8_t> file;
  AppendTrailer(file, kPayloadVersion1, 0, 0);
  std::vector<uint8_t> head(file.begin() + 16, file.end());
  head.insert(head.end(), file.begin(), file.begin() + 16);
  AppendTrailer(head, kPayloadVersion1, 0, 0);
  WriteFile(dir.Path() / "p", head);

  const PayloadError expected[] = {PayloadError::CantFind, PayloadError::CantReadHeader, PayloadError::CantReadInfo};
  for (uint64_t failAt = 1; failAt <= 3; ++failAt) {
    FaultPlan plan = SeekFault(failAt);
    CFileSystem_Faulty faulty(*real, plan);
    Payload payload;
    EXPECT_EQ(ReadPayload(*faulty.Open(L"p", OpenMode_Read), payload), expected[failAt - 1]) << failAt;
  }
  FaultPlan none;
  CFileSystem_Faulty faulty(*real, none);
  Payload payload;
  EXPECT_EQ(ReadPayload(*faulty.Open(L"p", OpenMode_Read), payload), PayloadError::None);
}

TEST(RefusedSeekTest, ABodyNotSoughtIsNotReadFromWhereTheLastOneEnded) {
  ScratchDirectory dir;
  const auto real = CreatePlatformFileSystem();
  GameFolder game;
  game.AddEntry(748, SampleBody(1, 64));
  game.AddLooseFile(0, LooseFileImage(SampleBody(2, 10)));
  ASSERT_TRUE(game.Write(*real, dir.Path().wstring()));
  const auto loose = ReadFile(dir.Path() / "res" / "D00000.bin");

  // The loose file's body lies in front of the entry's: after the entry's
  // body has been read the position is the start of the table, which has
  // bytes enough for the second body.
  std::vector<uint8_t> file(100, 0x4D);
  const auto second = SampleBody(3, 20), first = SampleBody(4, 64);
  file.insert(file.end(), second.begin(), second.end());
  file.insert(file.end(), first.begin(), first.end());
  const uint32_t table = AppendTable(file, {{748, 0, 120, 64}, {1207, 0, 100, 20}});
  AppendTrailer(file, kPayloadVersion1, table, 2);
  WriteFile(dir.Path() / kPatcherName, file);

  // Five seeks find the payload (the start of the file, for a signature's
  // table; the magic, the trailer, the table and where a seal would lie),
  // one the first body and one its place in the data file (same length: no
  // record to seek to); the eighth is the second body's.
  FaultPlan plan = SeekFault(8);
  CFileSystem_Faulty faulty(*real, plan);
  CapturedConsole console;
  EXPECT_FALSE(RunPatcher(faulty, dir.Wide(kPatcherName), console));
  EXPECT_EQ(console.Text(), L"Processing patch 748\nDone\nProcessing patch 1207\nCan't read patch data\n");
  EXPECT_EQ(ReadFile(dir.Path() / "res" / "D00000.bin"), loose);
  const auto data = ReadFile(dir.Path() / "DATA1.QPX");
  EXPECT_TRUE(std::equal(first.begin(), first.end(), data.begin())) << "the patch before stays applied";
}

// ---------------------------------------------------------------------------
// A record whose write failed is not trusted by the next replacement.

TEST(InterruptedRecordTest, TheNextReplacementOfTheSameLengthWritesTheRecordAgain) {
  for (FaultStyle style : {FaultStyle::Fail, FaultStyle::Short}) {
    ScratchDirectory dir;
    const auto real = CreatePlatformFileSystem();
    GameFolder game;
    game.AddEntry(20, SampleBody(1, 10));  // slot 32 at 0
    ASSERT_TRUE(game.Write(*real, dir.Path().wstring()));

    // The first replacement moves the body to the end (slot 64 at 32); its
    // third write, the record, fails.
    FaultPlan plan;
    plan.failAt = 3;
    plan.style = style;
    plan.counted = static_cast<uint32_t>(FileOperation::Write);
    CFileSystem_Faulty faulty(*real, plan);
    ResourceArchive archive(faulty);
    ASSERT_TRUE(archive.OpenArchive());
    const auto first = SampleBody(2, 40), second = SampleBody(3, 40);
    EXPECT_FALSE(archive.ApplyPatch(20, first.data(), 40));
    ASSERT_EQ(plan.struckOperation, FileOperation::Write);

    // Same length, same slot: in memory the record already names it, on
    // disk it does not, or only in part.
    EXPECT_TRUE(archive.ApplyPatch(20, second.data(), 40));
    const auto index = ReadFile(dir.Path() / "DATA0.QPX");
    ArchiveIndexEntry record;
    std::memcpy(&record, index.data() + 20 * sizeof record, sizeof record);
    EXPECT_EQ(record.offset, 32u);
    EXPECT_EQ(record.size, 40u);
    EXPECT_EQ(record.secondSize, 40u);
    const auto data = ReadFile(dir.Path() / "DATA1.QPX");
    ASSERT_EQ(data.size(), 96u);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), data.begin() + 32));
  }
}

// ---------------------------------------------------------------------------
// Whole runs.

// Every file and directory of the game folder, by relative path; the
// patcher's own file is left out (it is checked by itself).
struct FolderState {
  std::map<std::string, std::vector<uint8_t>> files;
  std::set<std::string> directories;
  bool operator==(const FolderState&) const = default;
};

void PrintTo(const FolderState& state, std::ostream* os) {
  *os << state.files.size() << " files, " << state.directories.size() << " directories";
}

FolderState ReadFolder(const fs::path& root) {
  FolderState state;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(item.path(), root).generic_string();
    if (item.is_directory()) {
      state.directories.insert(name);
    } else if (name != kPatcherName.generic_string()) {
      state.files[name] = ReadFile(item.path());
    }
  }
  return state;
}

void WriteFolder(const fs::path& root, const FolderState& state) {
  for (const std::string& name : state.directories) fs::create_directories(root / name);
  for (const auto& [name, bytes] : state.files) WriteFile(root / name, bytes);
}

// Where the first difference between two states lies, for messages.
std::string FirstDifference(const FolderState& a, const FolderState& b) {
  if (a.directories != b.directories) return "directories differ";
  for (const auto& [name, bytes] : a.files) {
    const auto other = b.files.find(name);
    if (other == b.files.end()) return name + " missing";
    if (bytes.size() != other->second.size()) {
      return name + " length " + std::to_string(bytes.size()) + " vs " + std::to_string(other->second.size());
    }
    const auto mismatch = std::mismatch(bytes.begin(), bytes.end(), other->second.begin());
    if (mismatch.first != bytes.end()) {
      return name + " byte " + std::to_string(mismatch.first - bytes.begin());
    }
  }
  return b.files.size() != a.files.size() ? "file sets differ" : "equal";
}

size_t CountOf(const std::wstring& text, const std::wstring& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Plain payloads; sealed ones, whose check reads the whole payload before
// the archive is opened; and version-2 ones, whose checks read every
// resource before the first write, and some of whose bodies are compressed.
enum class PayloadKind { Plain, Sealed, Checked };

class FaultLoopTest : public ::testing::TestWithParam<PayloadKind> {
 protected:
  void SetUp() override {
    // Entries replaced in place (with and without a new length), appended
    // (a larger slot, non-zero attributes, a one-byte overhang) and loose
    // files cut shorter and grown; neighbours that must stay as they are.
    game.AddEntry(0, SampleBody(1, 70));
    game.AddEntry(10, SampleBody(2, 100));
    game.AddEntry(11, SampleBody(3, 64));
    game.AddEntry(12, SampleBody(4, 100));
    game.AddEntry(13, SampleBody(5, 50), /*attributes=*/1);
    game.AddEntry(14, SampleBody(6, 32));
    game.AddEntry(15, SampleBody(7, 40));
    game.AddLooseFile(0, LooseFileImage(SampleBody(8, 3000)));
    game.AddLooseFile(1, LooseFileImage(SampleBody(9, 5)));
    game.AddLooseFile(2, LooseFileImage(SampleBody(10, 20)));

    patches = {{10, SampleBody(11, 120)},   {11, SampleBody(12, 64)},   {12, SampleBody(13, 200)},
               {1207, SampleBody(14, 10)},  {13, SampleBody(15, 50)},   {1208, SampleBody(16, 300)},
               {14, SampleBody(17, 33)}};

    // The bodies lie in reverse order behind the image, so that reading one
    // from wherever the previous read stopped never yields the right bytes.
    prefix.assign(kImageLength, 0x4D);
    bodyOffsets.resize(patches.size());
    stored.resize(patches.size());
    for (size_t i = patches.size(); i-- > 0;) {
      bodyOffsets[i] = static_cast<uint32_t>(prefix.size());
      stored[i] = patches[i].body;
      // A version-2 payload stores every other body compressed.
      if (GetParam() == PayloadKind::Checked && i % 2 == 0) {
        stored[i] = *tool::EncodeLzma(patches[i].body, tool::LzmaSettings{1}, UINT64_MAX);
      }
      prefix.insert(prefix.end(), stored[i].begin(), stored[i].end());
    }

    // The state after the first j patches of a run that meets no fault.
    for (size_t j = 0; j <= patches.size(); ++j) {
      ScratchDirectory ref;
      ASSERT_TRUE(game.Write(*real, ref.Path().wstring()));
      if (j == 0) original = ReadFolder(ref.Path());
      ASSERT_TRUE(RunClean(ref, 0, j));
      after.push_back(ReadFolder(ref.Path()));
    }
    ASSERT_EQ(after[0], original);
    for (size_t j = 1; j <= patches.size(); ++j) ASSERT_NE(after[j], after[j - 1]) << "patch " << j;
  }

  // The patcher's file with the records of patches [first, last); a record
  // of size 0 leads the table and must be skipped.
  std::vector<uint8_t> PatcherFile(size_t first, size_t last) const {
    std::vector<uint8_t> file = prefix;
    if (GetParam() == PayloadKind::Checked) {
      std::vector<PatchRecordV2> records(1, PatchRecordV2{});
      records[0].resourceNumber = 999;
      for (size_t i = first; i < last; ++i) {
        PatchRecordV2 record{};
        record.resourceNumber = patches[i].resourceNumber;
        record.encoding = static_cast<uint16_t>(stored[i] == patches[i].body ? BodyEncoding::Stored : BodyEncoding::Lzma);
        record.bodyOffset = bodyOffsets[i];
        record.storedSize = stored[i].size();
        record.resultSize = patches[i].body.size();
        const ContentHash hash = test::HashOf(patches[i].body);
        std::memcpy(record.resultHash, hash.data(), sizeof record.resultHash);
        records.push_back(record);
      }
      test::AppendCheckedTable(file, kImageLength, records);
      return file;
    }
    std::vector<PatchRecord> records = {{999, 0, 0, 0}};
    for (size_t i = first; i < last; ++i) {
      records.push_back({patches[i].resourceNumber, 0, bodyOffsets[i], static_cast<uint32_t>(patches[i].body.size())});
    }
    const uint32_t table = AppendTable(file, records);
    if (GetParam() == PayloadKind::Sealed) {
      test::AppendSealAndTrailer(file, kImageLength, table, static_cast<uint32_t>(records.size()));
    } else {
      AppendTrailer(file, kPayloadVersion1, table, static_cast<uint32_t>(records.size()));
    }
    return file;
  }

  // Applies patches [first, last) to the game in `dir` with no fault.
  bool RunClean(const ScratchDirectory& dir, size_t first, size_t last) {
    WriteFile(dir.Path() / kPatcherName, PatcherFile(first, last));
    CapturedConsole console;
    const bool success = RunPatcher(*real, dir.Wide(kPatcherName), console);
    EXPECT_TRUE(EndsWith(console.Text(), L"Success!\n")) << "a clean run";
    return success;
  }

  // What the folder held once the patch that the fault struck had done
  // whatever it did: the state before it, except where that patch writes,
  // where the final state's bytes are taken (each checked to be the byte
  // before or after the patch). `appendedLater` bytes at the data file's
  // end belong to the patches after it and are left out.
  FolderState StateAfterStruckPatch(const FolderState& final, size_t k, uint64_t appendedLater) {
    const FolderState& before = after[k - 1];
    const FolderState& whole = after[k];
    FolderState partial = before;
    for (auto& [name, bytes] : partial.files) {
      const std::vector<uint8_t>& a = before.files.at(name);
      const std::vector<uint8_t>& b = whole.files.at(name);
      if (a == b) continue;  // not written by this patch
      std::vector<uint8_t> f = final.files.at(name);
      if (name == kDataPath.generic_string()) {
        EXPECT_GE(f.size(), appendedLater);
        f.resize(f.size() - std::min<uint64_t>(appendedLater, f.size()));
      }
      EXPECT_GE(f.size(), std::min(a.size(), b.size())) << name;
      EXPECT_LE(f.size(), std::max(a.size(), b.size())) << name;
      bytes.resize(f.size());
      for (size_t i = 0; i < f.size(); ++i) {
        const bool inA = i < a.size(), inB = i < b.size();
        if (inA && inB && a[i] == b[i]) {
          bytes[i] = a[i];
          continue;
        }
        if (!((inA && f[i] == a[i]) || (inB && f[i] == b[i]))) {
          ADD_FAILURE() << name << " byte " << i << " is neither the old nor the new one";
          return partial;
        }
        bytes[i] = f[i];
      }
    }
    return partial;
  }

  // One run with a fault at operation `failAt`. False when the run
  // completed without meeting it.
  bool RunWithFault(uint64_t failAt, FaultStyle style) {
    ScratchDirectory dir;
    EXPECT_TRUE(game.Write(*real, dir.Path().wstring()));
    const std::vector<uint8_t> patcherFile = PatcherFile(0, patches.size());
    WriteFile(dir.Path() / kPatcherName, patcherFile);

    CapturedConsole console;
    std::wstring atStrike;
    FaultPlan plan;
    plan.failAt = failAt;
    plan.style = style;
    plan.onStrike = [&] { atStrike = console.Text(); };
    CFileSystem_Faulty faulty(*real, plan);
    const bool success = RunPatcher(faulty, dir.Wide(kPatcherName), console);
    const std::wstring& text = console.Text();
    const FolderState final = ReadFolder(dir.Path());

    if (!plan.struck) {
      EXPECT_TRUE(success) << "no fault met";
      EXPECT_EQ(final, after.back());
      return false;
    }
    const std::string where = "fault at operation " + std::to_string(failAt) + " (" +
                              OperationName(plan.struckOperation) + ", style " +
                              std::to_string(static_cast<int>(style)) + ")";
    SCOPED_TRACE(where);
    ++faultPoints;
    if (style == FaultStyle::Fail) ++struckBy[OperationName(plan.struckOperation)];

    // What it says matches what it did, and success means every patch is in.
    EXPECT_EQ(success, EndsWith(text, L"Success!\n")) << std::string(text.begin(), text.end());
    if (success) {
      ++harmless;
      EXPECT_EQ(final, after.back()) << FirstDifference(final, after.back());
      return true;
    }
    EXPECT_EQ(CountOf(text, L"Success!"), 0u);
    EXPECT_EQ(ReadFile(dir.Path() / kPatcherName), patcherFile);
    if (GetParam() == PayloadKind::Checked) {
      // All or nothing: a run that says so changed nothing at all, and
      // whatever a failed run left, the next one finishes the job.
      if (EndsWith(text, L"Nothing was changed\n")) {
        EXPECT_EQ(final, original) << FirstDifference(final, original);
      }
      CapturedConsole again;
      EXPECT_TRUE(RunPatcher(*real, dir.Wide(kPatcherName), again))
          << std::string(again.Text().begin(), again.Text().end());
      const FolderState finished = ReadFolder(dir.Path());
      EXPECT_EQ(finished, after.back()) << FirstDifference(finished, after.back());
      return true;
    }
    EXPECT_EQ(final.directories, original.directories) << "nothing created or removed";
    EXPECT_EQ(final.files.size(), original.files.size()) << "nothing created or removed";

    const size_t k = CountOf(atStrike, L"Processing patch");
    if (k == 0) {
      // Struck while reading or checking the payload, or opening the archive.
      EXPECT_EQ(final, original) << FirstDifference(final, original);
      if (plan.struckPath == dir.Wide(kPatcherName)) {
        EXPECT_EQ(plan.opensForWriting, 0u) << "the archive is opened only once the payload is known good";
      }
      return true;
    }
    const size_t later = CountOf(text, L"Processing patch") - k;
    const bool laterApplied = later != 0 && style != FaultStyle::Persistent;
    if (laterApplied) {
      EXPECT_EQ(later, patches.size() - k) << "the run goes on after a failed patch";
    }

    uint64_t appendedLater = 0;
    if (laterApplied) {
      const auto& data = [&](size_t j) { return after[j].files.at(kDataPath.generic_string()).size(); };
      appendedLater = data(patches.size()) - data(k);
    }
    const FolderState partial = StateAfterStruckPatch(final, k, appendedLater);

    // The index record goes last: once any byte of it changed, the body and
    // its zero fill are whole where the new record points.
    const auto& file = [](const FolderState& s, const fs::path& name) { return s.files.at(name.generic_string()); };
    if (file(partial, "DATA0.QPX") != file(after[k - 1], "DATA0.QPX")) {
      EXPECT_EQ(file(partial, kDataPath), file(after[k], kDataPath)) << "record written before its body";
    }

    if (!laterApplied) {
      EXPECT_EQ(final, partial) << FirstDifference(final, partial);
      return true;
    }
    ScratchDirectory replay;
    WriteFolder(replay.Path(), partial);
    EXPECT_TRUE(RunClean(replay, k, patches.size()));
    const FolderState expected = ReadFolder(replay.Path());
    EXPECT_EQ(final, expected) << FirstDifference(final, expected);
    return true;
  }

  std::unique_ptr<CFileSystem> real = CreatePlatformFileSystem();
  GameFolder game;
  std::vector<test::TestPatch> patches;
  std::vector<uint8_t> prefix;
  std::vector<uint32_t> bodyOffsets;
  std::vector<std::vector<uint8_t>> stored;  // each body as the payload holds it
  FolderState original;
  std::vector<FolderState> after;
  uint64_t faultPoints = 0;
  uint64_t harmless = 0;
  std::map<std::string, int> struckBy;  // operations failed, one style's worth
};

TEST_P(FaultLoopTest, EveryOperationFailingInTurnIsReportedAndConfined) {
  std::string perStyle;
  for (FaultStyle style : {FaultStyle::Fail, FaultStyle::Short, FaultStyle::Persistent}) {
    const uint64_t before = faultPoints;
    uint64_t failAt = 1;
    while (RunWithFault(failAt, style)) {
      ++failAt;
      if (HasFailure()) break;  // one broken invariant is enough to read
    }
    EXPECT_GT(faultPoints - before, 40u) << "every stage of the run was reached";
    perStyle += (perStyle.empty() ? "" : ", ") + std::to_string(faultPoints - before);
  }
  std::cout << "[ fault points exercised: " << faultPoints << " (fail, short, persistent: " << perStyle
            << "), harmless: " << harmless << "; by operation:";
  for (const auto& [operation, count] : struckBy) std::cout << " " << operation << " " << count;
  std::cout << " ]\n";
  RecordProperty("faultPoints", static_cast<int>(faultPoints));
}

INSTANTIATE_TEST_SUITE_P(Payloads, FaultLoopTest,
                         ::testing::Values(PayloadKind::Plain, PayloadKind::Sealed, PayloadKind::Checked),
                         [](const ::testing::TestParamInfo<PayloadKind>& info) {
                           switch (info.param) {
                             case PayloadKind::Plain: return "Plain";
                             case PayloadKind::Sealed: return "Sealed";
                             case PayloadKind::Checked: return "Checked";
                           }
                           return "";
                         });

// ---------------------------------------------------------------------------
// A coded body that cannot be read.

// A read of the patch that fails while a version-2 run decodes a coded
// body (compressed or a delta) is a fault of the disk, not of the patch:
// the run says so and stops there, takes back what it staged, and goes on
// to no later record; it never calls the body faulty.
TEST(CodedBodyReadFaultTest, AFailedReadOfACodedBodyStopsTheRunAndChangesNothing) {
  const auto real = CreatePlatformFileSystem();
  const std::vector<uint8_t> base = SampleBody(1, 100000);
  std::vector<uint8_t> edited = base;
  for (std::size_t i = 500; i < edited.size(); i += 9000) edited[i] ^= 0x5A;
  std::vector<uint8_t> words;
  while (words.size() < 50000) words.insert(words.end(), {'p', 'a', 't', 'c', 'h', ' ', 'd', 'a', 't', 'a', '\n'});
  for (const BodyEncoding coding : {BodyEncoding::Lzma, BodyEncoding::Delta}) {
    SCOPED_TRACE(coding == BodyEncoding::Lzma ? "compressed" : "a delta");
    GameFolder game;
    game.AddEntry(5, base);
    game.AddEntry(6, SampleBody(2, 64));
    const std::vector<uint8_t> body = coding == BodyEncoding::Lzma ? words : edited;
    const std::vector<uint8_t> patch =
        test::BuildCheckedPatchFile(std::vector<uint8_t>(kImageLength, 0x4D),
                                    {{5, body, coding, base}, {6, SampleBody(3, 80), BodyEncoding::Stored, {}}});
    std::size_t struckInBody = 0;
    for (const FaultStyle style : {FaultStyle::Fail, FaultStyle::Short}) {
      for (uint64_t failAt = 1;; ++failAt) {
        ScratchDirectory dir;
        ASSERT_TRUE(game.Write(*real, dir.Path().wstring()));
        WriteFile(dir.Path() / kPatcherName, patch);
        const auto before = test::ReadFolder(dir.Path(), kPatcherName.string());
        CapturedConsole console;
        std::wstring atStrike;
        FaultPlan plan;
        plan.failAt = failAt;
        plan.style = style;
        plan.counted = static_cast<uint32_t>(FileOperation::Read);
        plan.onStrike = [&] { atStrike = console.Text(); };
        CFileSystem_Faulty faulty(*real, plan);
        const bool success = RunPatcher(faulty, dir.Wide(kPatcherName), console);
        if (!plan.struck) {
          EXPECT_TRUE(success);
          break;
        }
        // Only the reads of the body itself: after the record's line, of the patch.
        if (plan.struckPath != dir.Wide(kPatcherName) || !EndsWith(atStrike, L"Processing patch 5\n")) continue;
        ++struckInBody;
        SCOPED_TRACE(failAt);
        EXPECT_FALSE(success);
        EXPECT_EQ(console.Text().substr(atStrike.size()), L"Can't read patch data\nNothing was changed\n");
        EXPECT_EQ(test::ReadFolder(dir.Path(), kPatcherName.string()), before) << "nothing written";
      }
    }
    EXPECT_GE(struckInBody, 2u) << "a read of the body failed in each style";
  }
}

}  // namespace
}  // namespace qpx

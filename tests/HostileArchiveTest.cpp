// Game folders made to mislead the patcher: index records that point far
// outside the data file. Nothing may be written for them.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "src/archive/ResourceArchive.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx {
namespace {

using test::ReadFile;
using test::ScratchDirectory;

class FarSlotTest : public ::testing::Test {
 protected:
  bool Apply(ResourceNumber number, const std::vector<uint8_t>& body) {
    return archive.ApplyPatch(number, body.data(), static_cast<uint32_t>(body.size()));
  }

  ScratchDirectory dir;
  std::unique_ptr<CFileSystem> fs = CreatePlatformFileSystem();
  ResourceArchive archive{*fs};
  GameFolder game;
};

// An entry whose old body lies, in whole or in part, past the end of
// DATA1.QPX has no slot there: a body of the same slot length is refused,
// and neither file changes, however far the record points.
TEST_F(FarSlotTest, AnInPlaceSlotOutsideTheDataFileIsRefusedAndNothingIsWritten) {
  game.AddEntry(0, SampleBody(1, 100));  // slot 0..128
  game.AddEntry(1, SampleBody(2, 64));   // slot 128..192: the data file's end
  game.index[10] = {uint64_t{1} << 40, 100, 100, 0};
  game.index[11] = {0x7FFFFFFFFFFFFFF0, 100, 100, 0};
  game.index[12] = {~uint64_t{0} - 50, 100, 100, 0};
  game.index[13] = {150, 100, 100, 0};  // starts inside, ends 58 bytes past the end
  game.index[14] = {192, 1, 1, 0};      // starts exactly at the end
  ASSERT_TRUE(game.Write(*fs, dir.Path().wstring()));
  ASSERT_TRUE(archive.OpenArchive());
  const auto data = ReadFile(dir.Path() / "DATA1.QPX");
  const auto index = ReadFile(dir.Path() / "DATA0.QPX");

  for (uint32_t number : {10u, 11u, 12u, 13u}) {
    EXPECT_FALSE(Apply(number, SampleBody(3, 100))) << "entry " << number << ", same length";
    EXPECT_FALSE(Apply(number, SampleBody(3, 120))) << "entry " << number << ", same slot";
  }
  EXPECT_FALSE(Apply(14, SampleBody(4, 1)));
  EXPECT_EQ(std::filesystem::file_size(dir.Path() / "DATA1.QPX"), 192u);
  EXPECT_EQ(ReadFile(dir.Path() / "DATA1.QPX"), data);
  EXPECT_EQ(ReadFile(dir.Path() / "DATA0.QPX"), index);

  // A body of another slot length is appended as always: its place is the
  // data file's end, wherever the old record pointed.
  EXPECT_TRUE(Apply(10, SampleBody(5, 200)));
  EXPECT_EQ(std::filesystem::file_size(dir.Path() / "DATA1.QPX"), 192u + 224u);
}

// The last slot of the data file may be filled up to its slot length: the
// file grows by the zero fill, and by no more.
TEST_F(FarSlotTest, ASlotEndingTheDataFileGrowsItByItsZeroFillOnly) {
  game.PutData(0, SampleBody(1, 100));  // the slot's own zero fill was never written
  game.index[0] = {0, 100, 100, 0};
  ASSERT_TRUE(game.Write(*fs, dir.Path().wstring()));
  ASSERT_TRUE(archive.OpenArchive());
  EXPECT_TRUE(Apply(0, SampleBody(2, 120)));
  const auto data = ReadFile(dir.Path() / "DATA1.QPX");
  ASSERT_EQ(data.size(), 128u);
  const auto body = SampleBody(2, 120);
  EXPECT_TRUE(std::equal(body.begin(), body.end(), data.begin()));
  ArchiveIndexEntry record;
  std::memcpy(&record, ReadFile(dir.Path() / "DATA0.QPX").data(), sizeof record);
  EXPECT_EQ(record.offset, 0u);
  EXPECT_EQ(record.size, 120u);
}

}  // namespace
}  // namespace qpx

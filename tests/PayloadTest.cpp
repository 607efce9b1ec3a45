// Finding and checking the payload at the end of a patch file.

#include <gtest/gtest.h>

#include "src/app/payload/PatchPayload.h"
#include "tests/support/TestSupport.h"

namespace qpx {
namespace {

using test::AppendTable;
using test::AppendTrailer;
using test::BuildPatchFile;
using test::ScratchDirectory;
using test::WriteFile;

class PayloadTest : public ::testing::Test {
 protected:
  PayloadError Read(const std::vector<uint8_t>& bytes) {
    WriteFile(dir.Path() / "patch.bin", bytes);
    auto file = fs->Open(dir.Wide("patch.bin").c_str(), OpenMode_Read);
    EXPECT_NE(file, nullptr);
    payload = Payload{};
    return ReadPayload(*file, payload);
  }

  ScratchDirectory dir;
  std::unique_ptr<CFileSystem> fs = CreatePlatformFileSystem();
  Payload payload;
  const std::vector<uint8_t> image = std::vector<uint8_t>(300, 0x90);
};

TEST_F(PayloadTest, AcceptsAWellFormedPayload) {
  const auto file = BuildPatchFile(image, {{747, {1, 2, 3}}, {1368, {4}}});
  ASSERT_EQ(Read(file), PayloadError::None);
  ASSERT_EQ(payload.records.size(), 2u);
  EXPECT_EQ(payload.records[0].resourceNumber, 747u);
  EXPECT_EQ(payload.records[0].bodyOffset, 300u);
  EXPECT_EQ(payload.records[1].bodyOffset, 303u);
  EXPECT_EQ(payload.records[1].storedSize, 1u);
  EXPECT_EQ(payload.fileSize, static_cast<int64_t>(file.size()));
  EXPECT_EQ(payload.tableOffset, 304u);
}

TEST_F(PayloadTest, RefusesFilesWithoutTheExactMagic) {
  EXPECT_EQ(Read(image), PayloadError::CantFind);
  EXPECT_EQ(Read({}), PayloadError::CantFind);
  EXPECT_EQ(Read({'P', 'A', 'T', 'C', 'H'}), PayloadError::CantFind) << "shorter than the magic";
  auto lower = BuildPatchFile(image, {});
  lower.back() = 't';
  EXPECT_EQ(Read(lower), PayloadError::CantFind);
}

TEST_F(PayloadTest, RefusesShortTrailersAndOtherVersions) {
  EXPECT_EQ(Read({'P', 'A', 'T', 'C', 'H', 'D', 'A', 'T'}), PayloadError::CantReadHeader);
  for (uint32_t version : {0u, 4u, 0xFFFFFFFFu}) {
    auto file = image;
    AppendTrailer(file, version, static_cast<uint32_t>(file.size()), 0);
    EXPECT_EQ(Read(file), PayloadError::CantReadHeader) << version;
  }
  auto anyReserved = image;
  AppendTrailer(anyReserved, 1, static_cast<uint32_t>(anyReserved.size()), 0, 0xDEADBEEF);
  EXPECT_EQ(Read(anyReserved), PayloadError::None);
}

TEST_F(PayloadTest, RefusesTablesThatDoNotLieWhollyInsideTheFile) {
  auto pastEnd = image;
  AppendTrailer(pastEnd, 1, 10000, 1);
  EXPECT_EQ(Read(pastEnd), PayloadError::CantReadInfo);

  // A count whose table would need 4 GiB or more: refused, not allocated.
  for (uint32_t count : {0x10000000u, 0xFFFFFFFFu, 1000u}) {
    auto forged = image;
    AppendTrailer(forged, 1, 0, count);
    EXPECT_EQ(Read(forged), PayloadError::CantReadInfo) << count;
    EXPECT_TRUE(payload.records.empty());
  }

  // One record reaching one byte past the end.
  auto straddling = image;
  AppendTrailer(straddling, 1, static_cast<uint32_t>(straddling.size() + 24 - 15), 1);
  EXPECT_EQ(Read(straddling), PayloadError::CantReadInfo);
}

TEST_F(PayloadTest, AnEmptyTableIsValidWhereverItPoints) {
  auto file = image;
  AppendTrailer(file, 1, 0xFFFFFFF0u, 0);
  EXPECT_EQ(Read(file), PayloadError::None);
  EXPECT_TRUE(payload.records.empty());
}

TEST_F(PayloadTest, TablesMayLieAnywhereInsideTheFile) {
  // The table is the image's own first bytes: legal, whatever they hold.
  auto file = image;
  AppendTable(file, {{1, 0, 0, 4}});
  AppendTrailer(file, 1, 300, 1);
  ASSERT_EQ(Read(file), PayloadError::None);
  EXPECT_EQ(payload.records[0].resourceNumber, 1u);
  auto inImage = image;
  AppendTrailer(inImage, 1, 0, 2);
  ASSERT_EQ(Read(inImage), PayloadError::None);
  EXPECT_EQ(payload.records[1].storedSize, 0x90909090u);
}

TEST(LiesInsideTest, HandlesEveryBoundaryWithoutWrapping) {
  EXPECT_TRUE(LiesInside(0, 0, 0));
  EXPECT_TRUE(LiesInside(10, 0, 10));
  EXPECT_FALSE(LiesInside(11, 0, 10));
  EXPECT_TRUE(LiesInside(5, 5, 10));
  EXPECT_FALSE(LiesInside(5, 6, 10));
  EXPECT_FALSE(LiesInside(0xFFFFFFFFu, 0xFFFFFFFFu, 100));
  EXPECT_TRUE(LiesInside(0xFFFFFFFFu, 0xFFFFFFFFu, int64_t{0x1FFFFFFFE}));
  EXPECT_FALSE(LiesInside(0, 1, -1));
}

}  // namespace
}  // namespace qpx

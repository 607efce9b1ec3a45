// Read-only views of a file: the bytes where they lie, from any offset;
// none for a range the file does not hold. And new files made under their
// name exactly as spelled.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "src/app/payload/PayloadSeal.h"
#include "src/filesystem/FileSystem.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx {
namespace {

using test::ScratchDirectory;

TEST(FileViewTest, AViewHoldsTheFilesBytesFromAnyOffset) {
  ScratchDirectory dir;
  const auto fs = CreatePlatformFileSystem();
  const std::vector<uint8_t> bytes = SampleBody(1, 200000);
  test::WriteFile(dir.Path() / "f", bytes);
  const auto file = fs->Open(dir.Wide("f").c_str(), OpenMode_Read);
  ASSERT_NE(file, nullptr);
  for (const int64_t offset : {int64_t{0}, int64_t{1}, int64_t{4095}, int64_t{65537}, int64_t{199999}}) {
    const auto size = static_cast<uint32_t>(std::min<int64_t>(70000, 200000 - offset));
    const auto view = file->MapForReading(offset, size);
    ASSERT_NE(view, nullptr) << offset;
    EXPECT_TRUE(std::equal(view->Bytes(), view->Bytes() + size, bytes.begin() + offset)) << offset;
  }
  EXPECT_EQ(file->MapForReading(199999, 2), nullptr) << "past the end";
  EXPECT_EQ(file->MapForReading(200001, 1), nullptr) << "beyond the end";
  EXPECT_EQ(file->MapForReading(-1, 1), nullptr);
  EXPECT_EQ(file->MapForReading(0, 0), nullptr) << "nothing to map";
  // Mapping moves nothing: the position is where reading left it.
  uint8_t first[3] = {};
  ASSERT_TRUE(file->Seek64(10));
  ASSERT_EQ(file->Read(first, 3), 3u);
  EXPECT_EQ(file->Tell64(), 13);
}

// The seal's check gives one answer whether it maps the file, in several
// views from an offset on no page, or reads it.
TEST(FileViewTest, TheSealsCheckAgreesWhetherItMapsOrReads) {
  ScratchDirectory dir;
  const auto fs = CreatePlatformFileSystem();
  const std::vector<uint8_t> image(1001, 0x4D);
  std::vector<uint8_t> patch = test::BuildSealedPatchFile(
      image, {{747, SampleBody(1, kSealViewSize + 5000)}, {1207, SampleBody(2, 300)}});
  for (const bool damaged : {false, true}) {
    if (damaged) patch[1001 + kSealViewSize + 10] ^= 1;  // in the second view
    test::WriteFile(dir.Path() / "patch.bin", patch);
    const auto file = fs->Open(dir.Wide("patch.bin").c_str(), OpenMode_Read);
    Payload payload;
    ASSERT_EQ(ReadPayload(*file, payload), PayloadError::None);
    for (const bool map : {false, true}) {
      CTransferBuffer buffer;
      EXPECT_EQ(VerifySeal(*file, payload, buffer, map), damaged ? PayloadError::Damaged : PayloadError::None)
          << (map ? "mapped" : "read") << (damaged ? ", damaged" : "");
    }
  }
}

TEST(NewFileTest, ANewFileIsMadeOnlyWhereNoneIsAndNeverTruncatesOne) {
  ScratchDirectory dir;
  const auto fs = CreatePlatformFileSystem();
  const OpenMode fresh = OpenMode_Write | OpenMode_Create | OpenMode_New;
  auto file = fs->Open(dir.Wide("made").c_str(), fresh);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Write("abc", 3), 3u);
  file.reset();
  EXPECT_EQ(fs->Open(dir.Wide("made").c_str(), fresh), nullptr) << "it exists";
  EXPECT_EQ(test::ReadFile(dir.Path() / "made").size(), 3u) << "and was left as it was";
  std::filesystem::create_directory(dir.Path() / "Folder");
  EXPECT_NE(fs->Open(dir.Wide("Folder\\inside").c_str(), fresh), nullptr) << "in a folder, with a backslash";
  EXPECT_EQ(fs->Open(dir.Wide("nowhere\\inside").c_str(), fresh), nullptr) << "no folder";
}

}  // namespace
}  // namespace qpx

// One suite for every platform's file layer: the same expectations run
// natively against the POSIX layer and under Wine against the Windows one.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "src/filesystem/FileSystem.h"
#include "tests/support/TestSupport.h"

namespace qpx {
namespace {

using test::ReadFile;
using test::ScratchDirectory;
using test::WriteFile;

class FileLayerTest : public ::testing::Test {
 protected:
  std::unique_ptr<CAbstractFile> Open(const char* name, OpenMode mode) {
    return fs->Open(dir.Wide(name).c_str(), mode);
  }
  void MakeFile(const char* name, std::size_t size) {
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i);
    WriteFile(dir.Path() / name, bytes);
  }

  ScratchDirectory dir;
  std::unique_ptr<CFileSystem> fs = CreatePlatformFileSystem();
};

TEST_F(FileLayerTest, OpenRefusesNullPathsInvalidAccessAndMissingFiles) {
  MakeFile("present", 10);
  EXPECT_EQ(fs->Open(nullptr, OpenMode_Read), nullptr);
  EXPECT_FALSE(fs->DeleteFile(nullptr));
  EXPECT_FALSE(fs->CreateDirectory(nullptr));
  EXPECT_EQ(Open("present", 3), nullptr);
  EXPECT_EQ(Open("present", 3 | OpenMode_Create), nullptr);
  for (OpenMode mode : {OpenMode_Read, OpenMode_Write, OpenMode_ReadWrite, OpenMode_ReadWrite | OpenMode_NoTruncate}) {
    EXPECT_EQ(Open("missing", mode), nullptr) << mode;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "missing"));
  EXPECT_EQ(Open(".", OpenMode_Read), nullptr) << "a directory is not a file";
}

TEST_F(FileLayerTest, CreationAndTruncationBits) {
  MakeFile("keep", 100);
  MakeFile("cut", 100);
  MakeFile("plain", 100);

  auto kept = Open("keep", OpenMode_ReadWrite | OpenMode_Create | OpenMode_NoTruncate);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->GetSize64(), 100);
  EXPECT_EQ(kept->Tell64(), 0);

  EXPECT_NE(Open("cut", OpenMode_Write | OpenMode_Create), nullptr);
  EXPECT_EQ(std::filesystem::file_size(dir.Path() / "cut"), 0u);

  // NoTruncate alone has no effect: the file is opened as it is.
  EXPECT_NE(Open("plain", OpenMode_Write | OpenMode_NoTruncate), nullptr);
  EXPECT_EQ(std::filesystem::file_size(dir.Path() / "plain"), 100u);

  auto made = Open("new", OpenMode_Write | OpenMode_Create | OpenMode_NoTruncate);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->GetSize64(), 0);
  EXPECT_TRUE(std::filesystem::exists(dir.Path() / "new"));
}

TEST_F(FileLayerTest, ReadsAndWritesReportTheBytesMoved) {
  MakeFile("eleven", 11);
  auto file = Open("eleven", OpenMode_ReadWrite);
  ASSERT_NE(file, nullptr);
  uint8_t buffer[8] = {};
  EXPECT_EQ(file->Read(nullptr, 8), 0u);
  EXPECT_EQ(file->Read(buffer, 0), 0u);
  EXPECT_EQ(file->Write(nullptr, 8), 0u);
  EXPECT_EQ(file->Tell64(), 0) << "refused transfers leave the position";

  EXPECT_EQ(file->Read(buffer, 8), 8u);
  EXPECT_EQ(file->Read(buffer, 8), 3u) << "short read at the end";
  EXPECT_EQ(buffer[2], 10);
  EXPECT_EQ(file->Read(buffer, 8), 0u);

  auto readOnly = Open("eleven", OpenMode_Read);
  EXPECT_EQ(readOnly->Write(buffer, 4), 0u);
  auto writeOnly = Open("eleven", OpenMode_Write);
  EXPECT_EQ(writeOnly->Read(buffer, 4), 0u);
}

TEST_F(FileLayerTest, LargeTransfersArriveWholeAcrossChunks) {
  // 10 MiB and one byte: two full 4 MiB chunks and a remainder.
  const uint32_t size = 10 * 1024 * 1024 + 1;
  std::vector<uint8_t> out(size);
  for (uint32_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  auto file = Open("big", OpenMode_ReadWrite | OpenMode_Create);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Write(out.data(), size), size);
  ASSERT_TRUE(file->Seek(0));
  std::vector<uint8_t> in(size);
  EXPECT_EQ(file->Read(in.data(), size), size);
  EXPECT_EQ(in, out);
  ASSERT_TRUE(file->Seek(size - 5));
  EXPECT_EQ(file->Read(in.data(), size), 5u) << "a large read past the end returns what there was";
}

TEST_F(FileLayerTest, SeeksRefuseNegativePositions) {
  MakeFile("hundred", 100);
  auto file = Open("hundred", OpenMode_Read);
  ASSERT_NE(file, nullptr);
  uint8_t buffer[8];
  ASSERT_EQ(file->Read(buffer, 8), 8u);
  EXPECT_FALSE(file->Seek(-1));
  EXPECT_EQ(file->Tell(), 8u);
  EXPECT_TRUE(file->SeekCurrent(-4));
  EXPECT_EQ(file->Tell(), 4u);
  EXPECT_FALSE(file->SeekCurrent(-5)) << "before the start";

  EXPECT_TRUE(file->SeekEnd(0));
  EXPECT_EQ(file->Tell(), 100u);
  EXPECT_TRUE(file->SeekEnd(8));
  EXPECT_EQ(file->Tell(), 92u);
  EXPECT_FALSE(file->SeekEnd(200));
  EXPECT_FALSE(file->SeekEnd(-1));
  EXPECT_FALSE(file->SeekEnd64(-1));
  EXPECT_EQ(file->Tell(), 92u) << "a refused seek leaves the position";

  // 2^31 as a 32-bit offset is negative: refused before the platform.
  EXPECT_FALSE(file->Seek(static_cast<int32_t>(0x80000000u)));
  EXPECT_EQ(file->Tell(), 92u);
}

TEST_F(FileLayerTest, SeekingPastTheEndGrowsTheFileOnlyWhenWritten) {
  MakeFile("ten", 10);
  auto file = Open("ten", OpenMode_ReadWrite);
  ASSERT_TRUE(file->Seek64(50));
  EXPECT_EQ(file->GetSize64(), 10);
  const uint8_t byte = 0xAB;
  EXPECT_EQ(file->Write(&byte, 1), 1u);
  EXPECT_EQ(file->GetSize64(), 51);
  const auto bytes = ReadFile(dir.Path() / "ten");
  ASSERT_EQ(bytes.size(), 51u);
  EXPECT_EQ(bytes[49], 0);
  EXPECT_EQ(bytes[50], 0xAB);
}

TEST_F(FileLayerTest, SetSizeCutsOrExtendsAndLeavesThePositionThere) {
  MakeFile("hundred", 100);
  auto file = Open("hundred", OpenMode_ReadWrite);
  EXPECT_TRUE(file->SetSize(50));
  EXPECT_EQ(file->GetSize(), 50u);
  EXPECT_EQ(file->Tell(), 50u);
  EXPECT_FALSE(file->SetSize64(-1));
  EXPECT_EQ(file->GetSize(), 50u);

  // The 32-bit size is zero-extended: 2^31 is a positive size (sparse).
  EXPECT_TRUE(file->SetSize(0x80000000u));
  EXPECT_EQ(file->GetSize64(), int64_t{0x80000000});
  EXPECT_EQ(file->Tell64(), int64_t{0x80000000});
  EXPECT_TRUE(file->SetSize(100));
}

TEST_F(FileLayerTest, FilesBeyondFourGiBKeepFull64BitPositions) {
  auto file = Open("huge", OpenMode_ReadWrite | OpenMode_Create);
  ASSERT_NE(file, nullptr);
  const int64_t size = (int64_t{1} << 32) + 5;
  ASSERT_TRUE(file->SetSize64(size));  // sparse
  EXPECT_EQ(file->GetSize64(), size);
  EXPECT_EQ(file->GetSize(), 5u) << "the 32-bit size is the low half";
  int64_t queried = 0;
  EXPECT_TRUE(file->QuerySize64(queried));
  EXPECT_EQ(queried, size);

  const char text[] = "far";
  ASSERT_TRUE(file->Seek64((int64_t{1} << 32) + 1));
  EXPECT_EQ(file->Write(text, 3), 3u);
  EXPECT_EQ(file->Tell64(), (int64_t{1} << 32) + 4);
  EXPECT_EQ(file->Tell(), 4u);
  ASSERT_TRUE(file->SeekEnd(4));
  char back[4] = {};
  EXPECT_EQ(file->Read(back, 4), 4u);
  EXPECT_EQ(std::memcmp(back, "far", 3), 0);
  EXPECT_EQ(back[3], 0);
  ASSERT_TRUE(file->SeekEnd64(size));
  EXPECT_EQ(file->Tell64(), 0);
  file.reset();
  std::filesystem::remove(dir.Path() / "huge");
}

TEST_F(FileLayerTest, DescriptionsOwnTheirPaths) {
  CFileInfo_Default none(nullptr);
  EXPECT_STREQ(none.GetFileName(), L"");

  std::unique_ptr<CFileInfo> clone;
  {
    CFileInfo_Default original(L"res\\D00042.bin");
    clone = original.Clone();
  }
  EXPECT_STREQ(clone->GetFileName(), L"res\\D00042.bin");

  MakeFile("named", 1);
  const std::wstring path = dir.Wide("named");
  auto file = fs->Open(path.c_str(), OpenMode_Read);
  ASSERT_NE(file, nullptr);
  ASSERT_NE(file->Info(), nullptr);
  EXPECT_EQ(file->Info()->GetFileName(), path);
  EXPECT_EQ(file->OpenedBy(), fs.get());
}

TEST_F(FileLayerTest, DeleteFileAndCreateDirectory) {
  MakeFile("doomed", 1);
  EXPECT_TRUE(fs->DeleteFile(dir.Wide("doomed").c_str()));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "doomed"));
  EXPECT_FALSE(fs->DeleteFile(dir.Wide("doomed").c_str()));

  EXPECT_TRUE(fs->CreateDirectory(dir.Wide("sub").c_str()));
  EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "sub"));
  EXPECT_TRUE(fs->CreateDirectory(dir.Wide("sub").c_str())) << "an existing directory is fine";
  EXPECT_FALSE(fs->CreateDirectory(dir.Wide("no/such/parent").c_str()));
  EXPECT_FALSE(fs->DeleteFile(dir.Wide("sub").c_str())) << "directories are not deleted";
}

TEST_F(FileLayerTest, RelativePathsUseBackslashesFromTheCurrentDirectory) {
  std::filesystem::create_directory(dir.Path() / "res");
  WriteFile(dir.Path() / "res" / "D00000.bin", {1, 2, 3});
  auto file = fs->Open(L"res\\D00000.bin", OpenMode_Write);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->GetSize64(), 3);
  EXPECT_STREQ(file->Info()->GetFileName(), L"res\\D00000.bin");
}

}  // namespace
}  // namespace qpx

// What the POSIX layer adds so that it behaves as Windows does: wide paths
// as bytes, backslash separators and case-insensitive names.

#include <gtest/gtest.h>

#include <filesystem>

#include "filesystem/posix/FileSystem_Posix.h"
#include "filesystem/posix/PathEncoding_Posix.h"
#include "support/TestSupport.h"

namespace qpx {
namespace {

using test::ReadFile;
using test::ScratchDirectory;
using test::WriteFile;

TEST(PathEncodingTest, RoundTripsEveryBytePath) {
  EXPECT_EQ(posix::EncodePath(L"res\\D00042.bin"), "res/D00042.bin");
  EXPECT_EQ(posix::EncodePath(L"Spiel/\u00e9t\u00e9/\u6587"), "Spiel/\xc3\xa9t\xc3\xa9/\xe6\x96\x87");
  const std::string raw = "bad\xff\xc3(\xe2\x82\x80ok";  // invalid and overlong bytes
  const std::wstring wide = posix::DecodePath(raw);
  EXPECT_EQ(wide.substr(0, 3), L"bad");
  EXPECT_EQ(wide[3], static_cast<wchar_t>(0xDCFF));
  EXPECT_EQ(posix::EncodePath(wide.c_str()), raw);
  EXPECT_EQ(posix::DecodePath("\xc3\xa9\xf0\x9f\x98\x80"), L"\u00e9\U0001F600");
}

TEST(PosixFileSystemTest, NamesMatchRegardlessOfCaseWhenTheSpellingIsMissing) {
  ScratchDirectory dir;
  std::filesystem::create_directory(dir.Path() / "Res");
  WriteFile(dir.Path() / "DATA0.QPX", {1});
  WriteFile(dir.Path() / "Res" / "d00007.BIN", {2, 2});
  CFileSystem_Posix fs;

  auto index = fs.Open(L"data0.qpx", OpenMode_ReadWrite);
  ASSERT_NE(index, nullptr);
  EXPECT_EQ(index->GetSize64(), 1);
  auto loose = fs.Open(L"res\\D00007.bin", OpenMode_Write);
  ASSERT_NE(loose, nullptr);
  EXPECT_EQ(loose->GetSize64(), 2);
  EXPECT_STREQ(loose->Info()->GetFileName(), L"res\\D00007.bin") << "the description keeps the path as given";

  // Creating under another case opens the existing file, as Windows does.
  auto again = fs.Open(L"Data0.Qpx", OpenMode_Write | OpenMode_Create | OpenMode_NoTruncate);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->GetSize64(), 1);
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "Data0.Qpx"));
  EXPECT_TRUE(fs.CreateDirectory(L"RES"));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "RES"));
  EXPECT_TRUE(fs.DeleteFile(L"RES/D00007.bin"));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "Res" / "d00007.BIN"));
}

TEST(PosixFileSystemTest, AmbiguousOrMissingNamesAreNotFound) {
  ScratchDirectory dir;
  WriteFile(dir.Path() / "data1.qpx", {1});
  WriteFile(dir.Path() / "DATA1.qpx", {2});
  CFileSystem_Posix fs;
  EXPECT_EQ(fs.Open(L"Data1.QPX", OpenMode_Read), nullptr) << "two candidates: neither is picked";
  EXPECT_NE(fs.Open(L"data1.qpx", OpenMode_Read), nullptr) << "the exact spelling always wins";
  EXPECT_EQ(fs.Open(L"nothing/D00000.bin", OpenMode_Write), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "nothing"));
}

TEST(PosixFileSystemTest, CreationBitsMapToTheSameOutcomes) {
  ScratchDirectory dir;
  CFileSystem_Posix fs;
  auto made = fs.Open(L"fresh.bin", OpenMode_ReadWrite | OpenMode_Create);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->Write("abc", 3), 3u);
  made.reset();
  auto cut = fs.Open(L"FRESH.BIN", OpenMode_Write | OpenMode_Create);
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(cut->GetSize64(), 0) << "truncation reaches the existing file under another case";
  EXPECT_TRUE(ReadFile(dir.Path() / "fresh.bin").empty());
}

}  // namespace
}  // namespace qpx

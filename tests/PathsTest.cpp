#include <gtest/gtest.h>

#include "src/paths/Paths.h"

namespace qpx {
namespace {

TEST(JoinPathTest, AddsOneBackslashOnlyWhereNeeded) {
  EXPECT_EQ(JoinPath(L"", L"DATA0.QPX"), L"DATA0.QPX");
  EXPECT_EQ(JoinPath(L"res", L"D00161.bin"), L"res\\D00161.bin");
  EXPECT_EQ(JoinPath(L"res\\", L"D00161.bin"), L"res\\D00161.bin");
  EXPECT_EQ(JoinPath(L"res/", L"D00161.bin"), L"res/\\D00161.bin") << "only a backslash counts";
  EXPECT_EQ(JoinPath(L"res", L""), L"res\\");
  EXPECT_EQ(JoinPath(L"", L""), L"");
}

TEST(DirectoryOfTest, CutsAfterTheLastSeparatorOfEitherKind) {
  EXPECT_EQ(DirectoryOf(L"DATA1.QPX"), L"");
  EXPECT_EQ(DirectoryOf(L""), L"");
  EXPECT_EQ(DirectoryOf(L"\\DATA1.QPX"), L"\\");
  EXPECT_EQ(DirectoryOf(L"game\\data\\DATA1.QPX"), L"game\\data\\");
  EXPECT_EQ(DirectoryOf(L"a\\b/c"), L"a\\b/");
  EXPECT_EQ(DirectoryOf(L"a/b\\c"), L"a/b\\");
  EXPECT_EQ(DirectoryOf(L"dir/"), L"dir/");
}

TEST(FormatToBufferTest, FormatsLooseNamesWhole) {
  wchar_t buffer[kFormatBufferLength];
  EXPECT_EQ(FormatToBuffer(buffer, L"D%05d.bin", 0), 10);
  EXPECT_STREQ(buffer, L"D00000.bin");
  EXPECT_EQ(FormatToBuffer(buffer, L"D%05d.bin", 1507), 10);
  EXPECT_STREQ(buffer, L"D01507.bin");
  EXPECT_EQ(FormatToBuffer(buffer, L"D%05d.bin", 99999), 10);
}

TEST(FormatToBufferTest, NeverTruncatesNorOverruns) {
  // Guard characters on both sides catch any write outside the buffer.
  struct {
    wchar_t before = L'#';
    wchar_t buffer[kFormatBufferLength];
    wchar_t after = L'#';
  } guarded;
  EXPECT_EQ(FormatToBuffer(guarded.buffer, L"D%05d.bin", 100000), -1);
  EXPECT_STREQ(guarded.buffer, L"");
  EXPECT_EQ(FormatToBuffer(guarded.buffer, L"D%05d.bin", -10000), -1);
  EXPECT_STREQ(guarded.buffer, L"");
  EXPECT_EQ(FormatToBuffer(guarded.buffer, L"%ls", L"0123456789"), 10);
  EXPECT_EQ(FormatToBuffer(guarded.buffer, L"%ls", L"01234567890"), -1);
  EXPECT_EQ(guarded.before, L'#');
  EXPECT_EQ(guarded.after, L'#');
}

}  // namespace
}  // namespace qpx

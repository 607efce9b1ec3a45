// Paths that name no regular file (a FIFO, a device, a folder) fail to
// open in every mode, at once: a FIFO would otherwise block the open until
// some other process opened its other end.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "src/filesystem/FileSystem.h"
#include "tests/support/TestSupport.h"

namespace qpx {
namespace {

using test::ScratchDirectory;

TEST(FileTypeTest, OnlyRegularFilesOpenInAnyModeAndNothingBlocks) {
  ScratchDirectory dir;
  const auto fs = CreatePlatformFileSystem();
  ASSERT_EQ(mkfifo((dir.Path() / "fifo").c_str(), 0666), 0);
  std::filesystem::create_directory(dir.Path() / "folder");
  std::filesystem::create_symlink("/dev/null", dir.Path() / "device");
  test::WriteFile(dir.Path() / "file", {1, 2, 3});
  std::filesystem::create_symlink(dir.Path() / "file", dir.Path() / "link");

  // A hang ends the test program: that is a failure too.
  alarm(10);
  for (const OpenMode mode : {OpenMode_Read, OpenMode_Write, OpenMode_ReadWrite, OpenMode_Write | OpenMode_Create,
                              OpenMode_ReadWrite | OpenMode_Create | OpenMode_NoTruncate}) {
    for (const char* name : {"fifo", "device", "folder"}) {
      EXPECT_EQ(fs->Open(dir.Wide(name).c_str(), mode), nullptr) << name << ", mode " << mode;
    }
    EXPECT_NE(fs->Open(dir.Wide("link").c_str(), mode | OpenMode_NoTruncate), nullptr)
        << "a link to a file is that file, mode " << mode;
  }
  alarm(0);
  EXPECT_TRUE(std::filesystem::is_fifo(dir.Path() / "fifo")) << "nothing replaced it";

  // A file that opens reads and writes as a file: blocking as ever.
  const auto file = fs->Open(dir.Wide("file").c_str(), OpenMode_ReadWrite);
  ASSERT_NE(file, nullptr);
  uint8_t bytes[3] = {};
  EXPECT_EQ(file->Read(bytes, 3), 3u);
  EXPECT_EQ(file->Write(bytes, 3), 3u);
  EXPECT_EQ(file->GetSize64(), 6);
}

}  // namespace
}  // namespace qpx

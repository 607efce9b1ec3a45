// What the POSIX layer adds so that it behaves as Windows does: wide paths
// as bytes, backslash separators and case-insensitive names.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "src/filesystem/posix/FileSystem_Posix.h"
#include "src/filesystem/posix/PathEncoding_Posix.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

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

TEST(PathEncodingTest, BytesOfALoneSurrogateNameTheirOwnFile) {
  // ED B2 80 would decode to U+DC80, the very character that stands for a
  // raw byte 0x80: taken as one, the name would lead to "x\x80".
  const std::string lone = "x\xED\xB2\x80";
  const std::wstring wide = posix::DecodePath(lone);
  EXPECT_EQ(posix::EncodePath(wide.c_str()), lone);
  EXPECT_EQ(posix::EncodePath(posix::DecodePath("\xED\xA0\x80\xED\xBF\xBF").c_str()), "\xED\xA0\x80\xED\xBF\xBF");

  ScratchDirectory dir;
  WriteFile(dir.Path() / lone, {1});
  WriteFile(dir.Path() / "x\x80", {2, 2});
  CFileSystem_Posix fs;
  const auto file = fs.Open(wide.c_str(), OpenMode_Read);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->GetSize64(), 1);
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

// A read or write that a signal interrupts before moving a byte fails with
// EINTR (the handler is installed without SA_RESTART); the layer retries
// it, as one synchronous Windows call would just go on. A FIFO blocks where
// a regular file never would, so the signals land mid-call (the layer opens
// regular files only: the FIFO is opened here and handed to a file object).
// A child process on the other end sends them while this one is blocked.
class InterruptedTransferTest : public ::testing::Test {
 protected:
  static void Count(int) { signals = signals + 1; }

  void SetUp() override {
    signals = 0;
    struct sigaction action {};
    action.sa_handler = Count;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    ASSERT_EQ(mkfifo((dir.Path() / "fifo").c_str(), 0600), 0);
  }
  void TearDown() override { sigaction(SIGUSR1, &previous, nullptr); }

  // Starts a child that opens the FIFO (`forWriting`: the other end of
  // this process's), signals this process twice while it waits, then
  // calls `finish` on its end and exits.
  template <typename Finish>
  pid_t StartPeer(bool forWriting, Finish finish) {
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
      signal(SIGPIPE, SIG_IGN);
      const int fd = open((dir.Path() / "fifo").c_str(), forWriting ? O_WRONLY : O_RDONLY);
      if (fd < 0) _exit(2);
      for (int i = 0; i < 2; ++i) {
        usleep(200000);
        kill(parent, SIGUSR1);
      }
      usleep(200000);
      _exit(finish(fd) ? 0 : 1);
    }
    return child;
  }
  // This process's end of the FIFO; the open waits for the peer's.
  std::unique_ptr<CAbstractFile> OpenFifo(int flags) {
    const int fd = open((dir.Path() / "fifo").c_str(), flags | O_CLOEXEC);
    return fd < 0 ? nullptr : std::make_unique<CDiskFile_Posix>(fd);
  }
  static int Wait(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static inline volatile sig_atomic_t signals = 0;
  ScratchDirectory dir;
  struct sigaction previous {};
};

TEST_F(InterruptedTransferTest, ReadsGoOnAfterASignal) {
  const std::vector<uint8_t> bytes = SampleBody(7, 100000);
  const pid_t child = StartPeer(true, [&](int fd) {
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  });
  auto file = OpenFifo(O_RDONLY);
  ASSERT_NE(file, nullptr);
  std::vector<uint8_t> read(bytes.size());
  EXPECT_EQ(file->Read(read.data(), static_cast<uint32_t>(read.size())), read.size());
  EXPECT_EQ(read, bytes);
  file.reset();  // a writer left with bytes to send gets EPIPE, not a wait
  EXPECT_EQ(Wait(child), 0);
  EXPECT_EQ(signals, 2);
}

TEST_F(InterruptedTransferTest, WritesGoOnAfterASignal) {
  // More than the pipe holds: the write blocks until the peer drains it.
  const std::vector<uint8_t> bytes = SampleBody(7, 1 << 20);
  const pid_t child = StartPeer(false, [&](int fd) {
    std::vector<uint8_t> read;
    uint8_t buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) read.insert(read.end(), buffer, buffer + n);
    return read == bytes;
  });
  auto file = OpenFifo(O_WRONLY);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Write(bytes.data(), static_cast<uint32_t>(bytes.size())), bytes.size());
  file.reset();
  EXPECT_EQ(Wait(child), 0) << "the reader got other bytes";
  EXPECT_EQ(signals, 2);
}

}  // namespace
}  // namespace qpx

namespace qpx {
namespace {

// The free space is what a player may use (the blocks kept back for the
// administrator are not), and the unit is the volume's fragment.
TEST(PosixFileSystemTest, FreeSpaceIsWhatAnUnprivilegedWriterMayUse) {
  CFileSystem_Posix files;
  struct statvfs volume {};
  ASSERT_EQ(statvfs(".", &volume), 0);
  VolumeSpace space;
  ASSERT_TRUE(files.QueryFreeSpace(L"", space));
  const uint64_t available = uint64_t{volume.f_bavail} * volume.f_frsize;
  const uint64_t slack = 64u << 20;  // others write meanwhile
  EXPECT_LE(space.freeBytes, available + slack);
  EXPECT_GE(space.freeBytes + slack, available);
  if (volume.f_bfree - volume.f_bavail > 2 * slack / volume.f_frsize) {
    EXPECT_LT(space.freeBytes, uint64_t{volume.f_bfree} * volume.f_frsize - slack);
  }
  EXPECT_EQ(space.allocationUnit, volume.f_frsize);
}

}  // namespace
}  // namespace qpx

// Real faults from the operating system rather than from a test layer: a
// volume that fills up in the middle of a body (a file size limit makes
// the kernel refuse the write) and archive files the user may not write.
// Each run happens in a child process, so that the limit or the lowered
// rights never reach the test program.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "src/app/run/PatchRunner.h"
#include "src/archive/LooseFile.h"
#include "src/filesystem/ProcessSetup.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx {
namespace {

using test::BuildPatchFile;
using test::ReadFile;
using test::ScratchDirectory;
using test::WriteFile;

namespace fs = std::filesystem;

// The child's exit status when it could not set up its conditions.
constexpr int kCannotSetUp = 77;

struct ChildRun {
  int status = -1;   // exit status, or -1 when it did not exit normally
  std::string text;  // what the run printed
};

// Runs the patcher whose file is `patcherPath` in a child process, after
// `prepare` (which returns false when it cannot set up).
ChildRun RunInChild(const std::wstring& patcherPath, const std::function<bool()>& prepare) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    // As a freshly started program: whatever the test program does with
    // these signals is not what the patcher does.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    if (!prepare()) _exit(kCannotSetUp);
    const auto fileSystem = CreatePlatformFileSystem();
    CapturedConsole console;
    const bool success = RunPatcher(*fileSystem, patcherPath, console);
    const std::string text(console.Text().begin(), console.Text().end());  // the messages are ASCII
    const bool sent = write(pipeEnds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    _exit(sent ? (success ? 0 : 1) : kCannotSetUp + 1);
  }
  close(pipeEnds[1]);
  ChildRun run;
  char buffer[512];
  for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) run.text.append(buffer, static_cast<size_t>(n));
  close(pipeEnds[0]);
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  return run;
}

class PosixFaultTest : public ::testing::Test {
 protected:
  void Write(const std::vector<test::TestPatch>& patches) {
    ASSERT_TRUE(game.Write(*fs, dir.Path().wstring()));
    WriteFile(dir.Path() / "patcher.bin", BuildPatchFile(std::vector<uint8_t>(500, 0x4D), patches));
  }
  std::vector<uint8_t> Record(const std::vector<uint8_t>& index, uint32_t number) {
    return std::vector<uint8_t>(index.begin() + number * 32, index.begin() + number * 32 + 32);
  }

  ScratchDirectory dir;
  std::unique_ptr<CFileSystem> fs = CreatePlatformFileSystem();
  GameFolder game;
};

TEST_F(PosixFaultTest, AVolumeFillingUpMidBodyFailsThatPatchAndKeepsItsOldRecord) {
  // The index and the loose file stay below the limit; only the data file
  // reaches it, 100 bytes into the appended body.
  game.AddEntry(0, SampleBody(1, 50000));
  game.AddEntry(1, SampleBody(2, 100));
  game.AddEntry(2, SampleBody(3, 64));
  game.AddLooseFile(0, LooseFileImage(SampleBody(4, 20)));
  const auto inPlace = SampleBody(5, 120), appended = SampleBody(6, 300), loose = SampleBody(7, 5);
  Write({{1, inPlace}, {2, appended}, {1207, loose}});
  const auto index = ReadFile(dir.Path() / "DATA0.QPX");
  const auto data = ReadFile(dir.Path() / "DATA1.QPX");
  const rlim_t limit = data.size() + 100;
  ASSERT_GT(limit, index.size());

  const ChildRun run = RunInChild(dir.Wide("patcher.bin"), [&] {
    // The kernel signals as well as refusing; the patcher's own set-up must
    // keep the signal from ending the run.
    const rlimit fileSize{limit, limit};
    PrepareProcess();
    return setrlimit(RLIMIT_FSIZE, &fileSize) == 0;
  });
  ASSERT_NE(run.status, kCannotSetUp);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.text,
            "Processing patch 1\nDone\nProcessing patch 2\nFailed\nProcessing patch 1207\nDone\n"
            "Failed patches: 1\n");

  const auto indexAfter = ReadFile(dir.Path() / "DATA0.QPX");
  const auto dataAfter = ReadFile(dir.Path() / "DATA1.QPX");
  EXPECT_EQ(Record(indexAfter, 2), Record(index, 2)) << "the old record still names the old body";
  const auto old = static_cast<std::ptrdiff_t>(game.index[2].offset);
  EXPECT_TRUE(std::equal(data.begin() + old, data.begin() + old + 64, dataAfter.begin() + old));
  ASSERT_EQ(dataAfter.size(), limit) << "the body was cut where the volume filled";
  EXPECT_TRUE(std::equal(appended.begin(), appended.begin() + 100, dataAfter.begin() + data.size()));
  EXPECT_TRUE(std::equal(inPlace.begin(), inPlace.end(), dataAfter.begin() + static_cast<std::ptrdiff_t>(game.index[1].offset)))
      << "the patch before";
  EXPECT_EQ(ReadFile(dir.Path() / "res" / "D00000.bin"), LooseFileImage(loose)) << "the patch after";
}

// Lowers the child's rights when it runs as the superuser, who may write
// any file whatever its mode says.
bool DropRights() {
  if (geteuid() != 0) return true;
  constexpr uid_t kNobody = 65534;
  return setgid(kNobody) == 0 && setuid(kNobody) == 0 && geteuid() == kNobody;
}

TEST_F(PosixFaultTest, ArchiveFilesTheUserMayNotWriteAreReportedAndLeftAlone) {
  game.AddEntry(1, SampleBody(1, 100));
  game.AddLooseFile(0, LooseFileImage(SampleBody(2, 20)));
  game.AddLooseFile(1, LooseFileImage(SampleBody(3, 20)));
  Write({{1207, SampleBody(4, 30)}, {1208, SampleBody(5, 40)}, {1, SampleBody(6, 100)}});
  // Everything writable by the lowered user but one loose file; the folders
  // stay the superuser's, so nothing could be made in them either.
  for (const char* name : {"DATA0.QPX", "DATA1.QPX", "res/D00000.bin", "res/D00001.bin"}) {
    fs::permissions(dir.Path() / name, fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec));
  }
  fs::permissions(dir.Path() / "res/D00000.bin", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const auto readOnly = ReadFile(dir.Path() / "res/D00000.bin");

  ChildRun run = RunInChild(dir.Wide("patcher.bin"), DropRights);
  if (run.status == kCannotSetUp) GTEST_SKIP() << "cannot run as another user here";
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.text,
            "Processing patch 1207\nFailed\nProcessing patch 1208\nDone\nProcessing patch 1\nDone\n"
            "Failed patches: 1\n");
  EXPECT_EQ(ReadFile(dir.Path() / "res/D00000.bin"), readOnly);
  EXPECT_EQ(ReadFile(dir.Path() / "res/D00001.bin"), LooseFileImage(SampleBody(5, 40)));

  // A data file that cannot be written stops the run before any patch.
  fs::permissions(dir.Path() / "DATA1.QPX", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const auto index = ReadFile(dir.Path() / "DATA0.QPX");
  const auto data = ReadFile(dir.Path() / "DATA1.QPX");
  run = RunInChild(dir.Wide("patcher.bin"), DropRights);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.text, "Can't open DATA1.QPX\n");
  EXPECT_EQ(ReadFile(dir.Path() / "DATA0.QPX"), index);
  EXPECT_EQ(ReadFile(dir.Path() / "DATA1.QPX"), data);
}

}  // namespace
}  // namespace qpx

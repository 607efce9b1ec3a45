// The order of a version-2 run's calls that the journal's promise rests
// on, as the system saw them (strace): the folder's lock before the index
// is read; the appended bodies on the disk before the commit record is
// written; the commit record on the disk before a byte goes in place; and
// every file written in place on the disk before the journal goes.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "src/archive/LooseFile.h"
#include "tests/e2e/E2eGlobals.h"
#include "tests/support/SystemCallTrace.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kReads = "read,pread64,readv,preadv,mmap";
constexpr const char* kWrites = "write,pwrite64,writev,pwritev,ftruncate,fallocate";
constexpr const char* kFlushes = "fdatasync,fsync";
// The files a run writes in place, by how the trace names them.
const char* const kGameFiles[] = {"/DATA0.QPX", "/DATA1.QPX", "/res/D00002.bin"};

bool OnGameFile(const TracedCall& call) {
  for (const char* file : kGameFiles) {
    if (OnFile(call, file)) return true;
  }
  return false;
}

TEST(SystemCallOrder, TheLockComesFirstAndEachFlushBeforeTheStepThatNeedsIt) {
  if (!g_launcher.empty()) GTEST_SKIP() << "strace follows native programs";
  if (!CanTrace()) GTEST_SKIP() << "strace cannot trace here";
  ASSERT_FALSE(g_patcher.empty()) << "--patcher=PATH is required";
  ScratchDirectory dir;
  const fs::path game = dir.Path() / "game", patch = dir.Path() / "qpxpatch";
  fs::create_directories(game);
  GameFolder folder;
  folder.AddEntry(3, SampleBody(1, 100));  // in place
  folder.AddEntry(4, SampleBody(2, 40));   // grows: appended, and its index record rewritten
  folder.AddLooseFile(2, LooseFileImage(SampleBody(5, 100)));  // grows
  const auto files = CreatePlatformFileSystem();
  ASSERT_TRUE(folder.Write(*files, game.wstring()));
  WriteFile(patch, BuildCheckedPatchFile(ReadFile(g_patcher),
                                         {{3, SampleBody(11, 100), BodyEncoding::Stored, SampleBody(1, 100)},
                                          {4, SampleBody(12, 300), BodyEncoding::Stored, SampleBody(2, 40)},
                                          {1209, SampleBody(13, 700), BodyEncoding::Stored, SampleBody(5, 100)}}));
  chmod(patch.c_str(), 0755);

  const Trace trace = RunTraced({patch.string()}, game,
                                std::string(kReads) + "," + kWrites + "," + kFlushes + ",flock,unlink,unlinkat,openat");
  ASSERT_EQ(trace.result.exitCode, 0) << trace.result.out << trace.result.err;
  ASSERT_TRUE(trace.result.out.starts_with("Processing patch 3\nDone\n")) << trace.result.out;
  const auto is = [](const char* names, const char* file) {
    return [=](const TracedCall& call) { return IsCall(call, names) && OnFile(call, file); };
  };

  // One run at a time: no byte of the index is read before the lock is held.
  const auto lock = trace.Find(is("flock", "/DATA0.QPX"));
  const auto firstRead = trace.Find(is(kReads, "/DATA0.QPX"));
  ASSERT_TRUE(lock && firstRead);
  EXPECT_LT(*lock, *firstRead) << trace.calls[*firstRead].line;

  const auto commit = trace.Find([](const TracedCall& call) {
    return IsCall(call, kWrites) && OnFile(call, "/QPXPATCH.JNL") && call.line.find("\"QPXCOMIT") != std::string::npos;
  });
  ASSERT_TRUE(commit) << "the commit record is written";
  // Entry 4's body, appended before the commit, is on the disk before it.
  const auto appended = trace.FindLast(is(kWrites, "/DATA1.QPX"), *commit);
  ASSERT_TRUE(appended);
  EXPECT_TRUE(trace.Find(is(kFlushes, "/DATA1.QPX"), *appended + 1, *commit)) << "DATA1.QPX flushed before the commit";

  // The commit record is on the disk before the first byte in place.
  const auto inPlace = trace.Find([](const TracedCall& call) { return IsCall(call, kWrites) && OnGameFile(call); },
                                  *commit + 1);
  ASSERT_TRUE(inPlace);
  EXPECT_TRUE(trace.Find(is(kFlushes, "/QPXPATCH.JNL"), *commit + 1, *inPlace))
      << "the journal flushed after its commit record, before " << trace.calls[*inPlace].line;

  // Each file written in place is on the disk before the journal is deleted.
  const auto deleted = trace.Find([](const TracedCall& call) {
    return IsCall(call, "unlink,unlinkat") && call.line.find("QPXPATCH.JNL\"") != std::string::npos;
  });
  ASSERT_TRUE(deleted) << "the journal is deleted";
  EXPECT_LT(*inPlace, *deleted);
  for (const char* file : kGameFiles) {
    SCOPED_TRACE(file);
    const auto lastWrite = trace.FindLast(is(kWrites, file), *deleted, *commit + 1);
    ASSERT_TRUE(lastWrite) << "written in place";
    EXPECT_TRUE(trace.Find(is(kFlushes, file), *lastWrite + 1, *deleted))
        << "flushed between its last write and the journal's deletion";
  }
}

}  // namespace
}  // namespace qpx::test

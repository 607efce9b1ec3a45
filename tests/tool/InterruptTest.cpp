// Work that a signal ends, or that fails part way, leaves nothing behind:
// no temporary file of a build, no half-written folder of an unpack. A signal that was ignored when
// qpxtool started stays ignored.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include "src/archive/LooseFile.h"
#include "tests/tool/ToolFixture.h"
#include "tools/qpxtool/platform/ToolPlatform.h"

namespace qpx {
namespace {

namespace fs = std::filesystem;

class InterruptTest : public test::ToolFixture {
 protected:
  // Starts qpxtool with `arguments` in the scratch folder, every signal at
  // its default action but those of `ignored`, its standard output and
  // error into the file `log` (none: discarded).
  pid_t Start(const std::vector<std::string>& arguments, const std::vector<int>& ignored, const std::string& log) {
    std::vector<std::string> command{Config().qpxtool};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : command) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
      for (const int s : ignored) signal(s, SIG_IGN);
      const rlimit noCore{0, 0};
      setrlimit(RLIMIT_CORE, &noCore);
      const int null = open("/dev/null", O_RDWR);
      const int out = log.empty() ? null : open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(null, STDIN_FILENO);
      for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) dup2(out, fd);
      if (chdir(dir.Path().c_str()) != 0) _exit(126);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return pid;
  }

  // Starts qpxtool as Start does, its output discarded; sends it
  // `signalNumber` as soon as a temporary file or folder of it shows, and
  // returns its wait status.
  int Interrupt(const std::vector<std::string>& arguments, int signalNumber, const std::vector<int>& ignored = {}) {
    const pid_t pid = Start(arguments, ignored, "");
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool sent = false;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (!sent && (LeftoverTemporaryFiles() || std::chrono::steady_clock::now() > deadline)) {
        kill(pid, signalNumber);
        sent = true;
      }
      usleep(1000);
    }
    EXPECT_TRUE(sent) << "it ended before anything showed";
    return status;
  }

  // Starts qpxtool as Start does, its output into `output`; as soon as its
  // temporary for the output `out` shows, does `meanwhile` (as another
  // program would) and lets it finish. Its wait status.
  int RunMeanwhile(const std::vector<std::string>& arguments, const std::string& out,
                   const std::function<void()>& meanwhile, std::string& output) {
    const test::ScratchDirectory logs;
    const pid_t pid = Start(arguments, {}, (logs.Path() / "output").string());
    int status = 0;
    bool done = false;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (!done && TemporaryOf(out)) {
        meanwhile();
        done = true;
      }
      usleep(1000);
    }
    EXPECT_TRUE(done) << "it ended before anything showed";
    const Bytes bytes = test::ReadFile(logs.Path() / "output");
    output.assign(bytes.begin(), bytes.end());
    return status;
  }

  // Whether a temporary that qpxtool makes for the output `out` is there.
  bool TemporaryOf(const std::string& out) const {
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
      if (entry.path().filename().string().starts_with("." + out + ".qpxtool-")) return true;
    }
    return false;
  }

  // A file of `size` bytes that takes no room on disk.
  void PutSparse(const std::string& name, uint64_t size) {
    Put(name, {});
    fs::resize_file(At(name), size);
  }
};

TEST_F(InterruptTest, EverySignalThatWouldEndABuildLeavesNothingBehind) {
  fs::copy_file(Config().patcher, At("stub"));
  PutSparse("big", uint64_t{3} << 30);  // writing it takes long enough for the signal to land
  Put("earlier", Text("an earlier patch"));
  std::vector<int> signals = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,    SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,
                              SIGSEGV, SIGUSR1, SIGUSR2, SIGPIPE,   SIGALRM, SIGTERM,   SIGXCPU, SIGVTALRM,
                              SIGPROF, SIGSYS,  SIGPOLL, SIGSTKFLT, SIGPWR,  SIGRTMIN, SIGRTMIN + 7, SIGRTMAX};
  for (const int signalNumber : signals) {
    SCOPED_TRACE(strsignal(signalNumber));
    const int status = Interrupt({"build", "--format", "1", "--stub", "stub", "--out", "patch", "0=big"}, signalNumber);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << "wait status " << status;
    EXPECT_FALSE(LeftoverTemporaryFiles());
    EXPECT_FALSE(fs::exists(At("patch")));
  }
  // An output that was there before stays as it was.
  for (const int signalNumber : {SIGINT, SIGUSR2}) {
    SCOPED_TRACE(strsignal(signalNumber));
    const int status =
        Interrupt({"build", "--format", "1", "--stub", "stub", "--out", "earlier", "--force", "0=big"}, signalNumber);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << "wait status " << status;
    EXPECT_FALSE(LeftoverTemporaryFiles());
    EXPECT_EQ(Get("earlier"), Text("an earlier patch"));
  }
}

// As under nohup: the signal the shell set to be ignored does not end the
// build, nor take its temporary file away.
TEST_F(InterruptTest, ASignalIgnoredAtTheStartStaysIgnored) {
  fs::copy_file(Config().patcher, At("stub"));
  PutSparse("big", uint64_t{256} << 20);
  const int status =
      Interrupt({"build", "--format", "1", "--stub", "stub", "--out", "patch", "0=big"}, SIGHUP, {SIGHUP, SIGUSR1});
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_EQ(WEXITSTATUS(status), kOk);
  EXPECT_GT(fs::file_size(At("patch")), uint64_t{256} << 20);
  EXPECT_FALSE(LeftoverTemporaryFiles());
}

// An unpack writes into a folder beside its output and renames it into
// place when complete: interrupted, it leaves the output as it was, and
// the next unpack goes ahead.
TEST_F(InterruptTest, AnInterruptedUnpackLeavesNothingAndTheNextOneWorks) {
  MakeGame("game");
  // A loose file of the largest body, sparse: copying it takes a while.
  const LooseFileHeader header = MakeLooseFileHeader(kLooseMaxBodySize);
  Bytes bytes(sizeof header);
  std::memcpy(bytes.data(), &header, sizeof header);
  Put("game/res/D00008.bin", bytes);
  fs::resize_file(At("game/res/D00008.bin"), LooseFileLength(kLooseMaxBodySize));

  for (const int signalNumber : {SIGINT, SIGTERM, SIGUSR1}) {
    SCOPED_TRACE(strsignal(signalNumber));
    const int status = Interrupt({"unpack", "game", "out"}, signalNumber);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << "wait status " << status;
    EXPECT_FALSE(LeftoverTemporaryFiles());
    EXPECT_FALSE(fs::exists(At("out")));
  }
  fs::create_directory(At("empty"));
  const int status = Interrupt({"unpack", "game", "empty"}, SIGTERM);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "wait status " << status;
  EXPECT_FALSE(LeftoverTemporaryFiles());
  EXPECT_TRUE(fs::is_directory(At("empty")) && fs::is_empty(At("empty")));

  EXPECT_TOOL(Tool({"unpack", "game", "out"}), kOk, "wrote 1216 resources");
  EXPECT_EQ(fs::file_size(At("out/loose/D00008.bin")), kLooseMaxBodySize);
  EXPECT_FALSE(LeftoverTemporaryFiles());
}

// An unpack that fails once its fresh folder is made, because the output
// can no longer be renamed into place or a game file changes under it,
// says why and fails: it never reports the output written, and it leaves
// neither its fresh folder nor anything of it behind.
TEST_F(InterruptTest, AFailedUnpackSaysWhyAndLeavesNothingBehind) {
  MakeGame("game");
  const LooseFileHeader header = MakeLooseFileHeader(kLooseMaxBodySize);
  Bytes bytes(sizeof header);
  std::memcpy(bytes.data(), &header, sizeof header);
  Put("game/res/D00008.bin", bytes);
  fs::resize_file(At("game/res/D00008.bin"), LooseFileLength(kLooseMaxBodySize));

  // Someone else fills the output folder meanwhile: the rename must fail.
  std::string output;
  int status =
      RunMeanwhile({"unpack", "game", "out"}, "out", [&] { Put("out/theirs", Text("someone else's")); }, output);
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_EQ(WEXITSTATUS(status), kFailedCheck) << output;
  EXPECT_NE(output.find("cannot rename"), std::string::npos) << output;
  EXPECT_EQ(output.find("wrote"), std::string::npos) << output;
  EXPECT_FALSE(LeftoverTemporaryFiles());
  EXPECT_EQ(test::ReadFolder(At("out")), (std::map<std::string, Bytes>{{"theirs", Text("someone else's")}}));

  // The largest loose file cut short while it is being copied.
  status = RunMeanwhile(
      {"unpack", "game", "other"}, "other", [&] { fs::resize_file(At("game/res/D00008.bin"), 1000); }, output);
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_EQ(WEXITSTATUS(status), kFailedCheck) << output;
  EXPECT_NE(output.find("reading failed part way"), std::string::npos) << output;
  EXPECT_EQ(output.find("wrote"), std::string::npos) << output;
  EXPECT_FALSE(LeftoverTemporaryFiles());
  EXPECT_FALSE(fs::exists(At("other")));
}

// The id of a process that has ended (and been waited for).
pid_t EndedProcess() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// Killed outright, a run removes nothing; the next output made in that
// folder removes what it left, whoever makes it.
TEST_F(InterruptTest, WhatAKilledRunLeftGoesWithTheNextOutputInThatFolder) {
  fs::copy_file(Config().patcher, At("stub"));
  PutSparse("big", uint64_t{3} << 30);
  Put("body", Text("a new body"));
  for (const std::string out : {"patch", "other"}) {
    const int status =
        Interrupt({"build", "--format", "1", "--stub", "stub", "--out", "patch", "--force", "0=big"}, SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "wait status " << status;
    ASSERT_TRUE(LeftoverTemporaryFiles());
    EXPECT_TOOL(Tool({"build", "--stub", "stub", "--out", out, "10=body"}), kOk, "");
    EXPECT_FALSE(LeftoverTemporaryFiles()) << out;
  }
}

// Only what a run that has ended left, and only by the name qpxtool gives
// it: the temporaries of a run that still runs, names that merely look
// alike, links, and whatever lies deeper than qpxtool writes stay.
TEST_F(InterruptTest, OnlyTheTemporariesOfEndedRunsAreRemoved) {
  const std::string ended = std::to_string(EndedProcess());
  const pid_t sleeper = fork();
  if (sleeper == 0) {
    pause();
    _exit(0);
  }
  const std::string half = ".out.qpxtool-" + ended + "-0.tmp", deep = ".deep.qpxtool-" + ended + "-1.tmp";
  const std::vector<std::string> removed = {".patch.qpxtool-" + ended + "-0.tmp", "..x.qpxtool-" + ended + "-999.tmp",
                                            half + "/patch.manifest", half + "/entries/00010.bin",
                                            deep + "/entries/00010.bin"};
  std::vector<std::string> kept = {
      ".patch.qpxtool-" + std::to_string(getpid()) + "-0.tmp", ".patch.qpxtool-" + std::to_string(sleeper) + "-0.tmp",
      "..qpxtool-" + ended + "-0.tmp",         "patch.qpxtool-" + ended + "-0.tmp",
      ".patch.qpxtool-" + ended + "-0.tmp~",   ".patch.qpxtool-" + ended + "-0.TMP",
      ".patch.QPXTOOL-" + ended + "-0.tmp",    ".patch.qpxtool-0" + ended + "-0.tmp",
      ".patch.qpxtool-" + ended + "-00.tmp",   ".patch.qpxtool-" + ended + "-1000.tmp",
      ".patch.qpxtool-" + ended + ".tmp",      ".patch.qpxtool-" + ended + "-0-1.tmp",
      ".patch.qpxtool-0-0.tmp",                ".patch.qpxtool- " + ended + "-0.tmp",
      "sub/.patch.qpxtool-" + ended + "-0.tmp",  // another folder
      deep + "/entries/more/file", "outside"};
  for (const std::string& name : removed) Put(name, Text(name));
  for (const std::string& name : kept) Put(name, Text(name));
  // Links, followed nowhere: one in a stale folder goes, one by such a name
  // stays.
  fs::create_directory(At(half + "/loose"));
  fs::create_symlink(At("outside"), At(half + "/loose/D00002.bin"));
  fs::create_symlink(At("outside"), At(".link.qpxtool-" + ended + "-0.tmp"));
  // Another user's file (only root can make one).
  const std::string foreign = ".foreign.qpxtool-" + ended + "-0.tmp";
  Put(foreign, Text(foreign));
  if (chown(At(foreign).c_str(), 12345, 12345) == 0) kept.push_back(foreign);

  fs::copy_file(Config().patcher, At("stub"));
  Put("body", Text("a new body"));
  EXPECT_TOOL(Tool({"build", "--stub", "stub", "--out", "patch", "10=body"}), kOk, "");
  kill(sleeper, SIGKILL);
  waitpid(sleeper, nullptr, 0);

  for (const std::string& name : removed) EXPECT_FALSE(fs::exists(At(name))) << name;
  EXPECT_FALSE(fs::exists(At(half)));
  for (const std::string& name : kept) EXPECT_EQ(Get(name), Text(name)) << name;
  EXPECT_TRUE(fs::is_symlink(At(".link.qpxtool-" + ended + "-0.tmp")));
}

// A temporary name is made new: one that is taken, by a file or a folder,
// is passed over and what holds it left alone.
TEST_F(InterruptTest, ATemporaryNameThatIsTakenIsNeverReused) {
  const std::string taken = ".out.qpxtool-" + std::to_string(getpid()) + "-0.tmp";
  const std::wstring prefix = posix::DecodePath((dir.Path() / ".out.qpxtool-").string());
  Put(taken, Text("someone else's"));
  const auto fileSystem = CreatePlatformFileSystem();
  {
    tool::InterruptibleFile file;
    ASSERT_TRUE(file.Create(*fileSystem, prefix));
    EXPECT_NE(file.Path(), posix::DecodePath(At(taken).string()));
    EXPECT_TRUE(fs::is_regular_file(file.Path()) && fs::is_empty(file.Path()));
    fs::remove(file.Path());
  }
  EXPECT_EQ(Get(taken), Text("someone else's"));

  fs::remove(At(taken));
  Put(taken + "/inside", Text("someone else's"));
  tool::InterruptibleFolder folder;
  ASSERT_TRUE(folder.Create(*fileSystem, prefix, {L"inside"}));
  EXPECT_NE(folder.Path(), posix::DecodePath(At(taken).string()));
  folder.RemoveNow();
  EXPECT_EQ(Get(taken + "/inside"), Text("someone else's"));
}

}  // namespace
}  // namespace qpx

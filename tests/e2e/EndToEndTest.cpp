// Runs the built patcher as a player would: a copy with a payload appended,
// started in a game folder with standard input closed. Checks the exact
// bytes it prints, its exit status and every archive file afterwards.
//
//   e2e_tests --patcher=PATH [--wine=LAUNCHER]
//
// With --wine the patcher is a Windows program started through LAUNCHER,
// and its console lines end in CR LF.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <fstream>

#include "src/archive/LooseFile.h"
#include "src/filesystem/posix/PathEncoding_Posix.h"
#include "tests/e2e/E2eGlobals.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx::test {

std::string g_patcher;
std::string g_launcher;
std::string g_holder;

namespace {

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(g_patcher.empty()) << "--patcher=PATH is required";
    image = ReadFile(g_patcher);
    ASSERT_FALSE(image.empty());
  }

  std::filesystem::path PatcherPath() const {
    return dir.Path() / (g_launcher.empty() ? "qpxpatch" : "qpxpatch.exe");
  }

  ProcessResult Run(const std::vector<uint8_t>& patchFile) {
    WriteFile(PatcherPath(), patchFile);
    return RunPrepared();
  }
  ProcessResult RunPrepared(uint64_t addressSpaceLimit = 0) {
    ProcessOptions options;
    options.addressSpaceLimit = addressSpaceLimit;
    return RunPrepared(options);
  }
  ProcessResult RunPrepared(ProcessOptions options) {
    chmod(PatcherPath().c_str(), 0755);
    options.launcher = g_launcher;
    return RunProcess({PatcherPath().string()}, dir.Path(), options);
  }

  // Writes the image, then `tail` at `offset` (the gap stays sparse).
  void WriteSparsePatcher(uint64_t offset, const std::vector<uint8_t>& tail) {
    std::ofstream out(PatcherPath(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(reinterpret_cast<const char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
    ASSERT_TRUE(out.good());
  }

  // What the console shows for `lines`, followed by the final prompt where
  // the run asks for a key (a version-1 payload always; a version-2 one
  // only where someone can answer, never here).
  static std::string Screen(const std::string& lines, bool prompt = true) {
    std::string text = lines + (prompt ? "Press Any Key..." : "");
    if (g_launcher.empty()) return text;
    std::string crlf;
    for (char c : text) crlf += (c == '\n') ? std::string("\r\n") : std::string(1, c);
    return crlf;
  }

  void ExpectOutcome(const ProcessResult& result, const std::string& lines, int status, bool prompt = true) {
    EXPECT_EQ(result.out, Screen(lines, prompt));
    EXPECT_EQ(result.exitCode, status) << result.err << " signal " << result.endSignal;
  }

  // A small game: entries 747 (100 bytes, slot 128 at 0) and 748 (64 bytes
  // at 128), loose file 161.
  void MakeGame() {
    game.AddEntry(747, SampleBody(1, 100));
    game.AddEntry(748, SampleBody(2, 64));
    game.AddLooseFile(161, LooseFileImage(SampleBody(3, 10)));
    ASSERT_TRUE(game.Write(*fs, dir.Path().wstring()));
    index = ReadFile(dir.Path() / "DATA0.QPX");
    data = ReadFile(dir.Path() / "DATA1.QPX");
  }

  void PutRecord(uint32_t number, const ArchiveIndexEntry& entry) {
    std::memcpy(index.data() + number * sizeof entry, &entry, sizeof entry);
  }

  ScratchDirectory dir;
  std::unique_ptr<CFileSystem> fs = CreatePlatformFileSystem();
  std::vector<uint8_t> image;
  GameFolder game;
  std::vector<uint8_t> index, data;
};

TEST_F(EndToEndTest, RefusesPayloadsItCannotFindOrRead) {
  // Of no known version, or of version 2: damaged, download it again
  // (exit 4), and no wait where nobody can answer.
  const std::string again = "Download the patch again; nothing was changed\n";
  ExpectOutcome(Run(image), "Can't find patch data\n" + again, 4, false);

  auto lower = BuildPatchFile(image, {});
  std::memcpy(lower.data() + lower.size() - 8, "patchdat", 8);
  ExpectOutcome(Run(lower), "Can't find patch data\n" + again, 4, false);

  auto version = image;
  AppendTrailer(version, 4, 0, 0);
  ExpectOutcome(Run(version), "Can't read patch header\n" + again, 4, false);
  auto unsealed = image;
  AppendTrailer(unsealed, 2, 0, 0);
  ExpectOutcome(Run(unsealed), "Patch data is damaged\n" + again, 4, false);

  // Version 1 as it always was.

  auto pastEnd = image;
  AppendTrailer(pastEnd, 1, static_cast<uint32_t>(image.size() + 100), 1);
  ExpectOutcome(Run(pastEnd), "Can't read patch info\n", 1);

  auto huge = image;
  AppendTrailer(huge, 1, 0, 0x10000000u);
  ExpectOutcome(Run(huge), "Can't read patch info\n", 1);
}

TEST_F(EndToEndTest, AMissingArchiveChangesNothing) {
  ExpectOutcome(Run(BuildPatchFile(image, {{747, {1, 2, 3}}})), "Can't open DATA1.QPX\n", 1);
  ExpectOutcome(Run(BuildPatchFile(image, {})), "Can't open DATA1.QPX\n", 1);
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "DATA1.QPX"));
}

TEST_F(EndToEndTest, AppliesEveryPatchAndLeavesTheArchiveExact) {
  MakeGame();
  const auto inPlace = SampleBody(10, 120), appended = SampleBody(11, 129), loose = SampleBody(12, 300);
  const auto result = Run(BuildPatchFile(image, {{747, inPlace}, {748, appended}, {1368, loose}}));
  ExpectOutcome(result, "Processing patch 747\nDone\nProcessing patch 748\nDone\nProcessing patch 1368\nDone\nSuccess!\n",
                0);

  std::copy(inPlace.begin(), inPlace.end(), data.begin());
  std::fill(data.begin() + 120, data.begin() + 128, 0);
  data.insert(data.end(), appended.begin(), appended.end());
  data.resize(data.size() + 31, 0);
  PutRecord(747, {0, 120, 120, 0});
  PutRecord(748, {192, 129, 129, 0});
  EXPECT_EQ(ReadFile(dir.Path() / "DATA1.QPX"), data);
  EXPECT_EQ(ReadFile(dir.Path() / "DATA0.QPX"), index);
  EXPECT_EQ(ReadFile(dir.Path() / "res" / "D00161.bin"), LooseFileImage(loose));
}

TEST_F(EndToEndTest, FailedPatchesAreReportedAndTheRunGoesOn) {
  MakeGame();
  const auto body = SampleBody(13, 64);
  ExpectOutcome(Run(BuildPatchFile(image, {{2715, {1}}, {1300, {2}}, {748, body}})),
                "Processing patch 2715\nFailed\nProcessing patch 1300\nFailed\nProcessing patch 748\nDone\n"
                "Failed patches: 2\n",
                1);
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "res" / "D00093.bin")) << "loose files are never created";
  std::copy(body.begin(), body.end(), data.begin() + 128);
  EXPECT_EQ(ReadFile(dir.Path() / "DATA1.QPX"), data);
}

TEST_F(EndToEndTest, ABodyBeyondTheFileStopsTheRun) {
  MakeGame();
  auto file = image;
  const auto body = SampleBody(14, 100);
  file.insert(file.end(), body.begin(), body.end());
  const uint32_t table = AppendTable(file, {{747, 0, static_cast<uint32_t>(image.size()), 100},
                                            {748, 0, static_cast<uint32_t>(image.size()), 0x7FFFFFFF}});
  AppendTrailer(file, 1, table, 2);
  ExpectOutcome(Run(file), "Processing patch 747\nDone\nProcessing patch 748\nCan't read patch data\n", 1);
  EXPECT_TRUE(std::equal(body.begin(), body.end(), ReadFile(dir.Path() / "DATA1.QPX").begin()));
}

// Reads `size` bytes at `offset` without loading a sparse giant whole.
std::vector<uint8_t> ReadAt(const std::filesystem::path& path, uint64_t offset, std::size_t size) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> bytes(size);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

TEST_F(EndToEndTest, DataFilesBeyondFourGiBKeepFullOffsets) {
  const uint64_t far = (uint64_t{1} << 32) + 64;
  game.PutData(far, SampleBody(20, 50));
  game.index[5] = {far, 50, 50, 0};
  game.SetDataSize((uint64_t{1} << 32) + 1000 + 3);  // sparse, unaligned end
  ASSERT_TRUE(game.Write(*fs, dir.Path().wstring()));

  const auto inPlace = SampleBody(21, 60), appended = SampleBody(22, 70);
  ExpectOutcome(Run(BuildPatchFile(image, {{5, inPlace}, {6, appended}})),
                "Processing patch 5\nDone\nProcessing patch 6\nDone\nSuccess!\n", 0);

  const auto dataPath = dir.Path() / "DATA1.QPX";
  const uint64_t end = (uint64_t{1} << 32) + 1003;
  EXPECT_EQ(std::filesystem::file_size(dataPath), end + 96);
  auto expected = inPlace;
  expected.resize(64, 0);
  EXPECT_EQ(ReadAt(dataPath, far, 64), expected);
  expected = appended;
  expected.resize(96, 0);
  EXPECT_EQ(ReadAt(dataPath, end, 96), expected);
  const auto records = ReadFile(dir.Path() / "DATA0.QPX");
  ArchiveIndexEntry entry5, entry6;
  std::memcpy(&entry5, records.data() + 5 * 32, 32);
  std::memcpy(&entry6, records.data() + 6 * 32, 32);
  EXPECT_EQ(entry5.offset, far);
  EXPECT_EQ(entry5.size, 60u);
  EXPECT_EQ(entry6.offset, end);
  EXPECT_EQ(entry6.size, 70u);
  std::filesystem::remove(dataPath);
}

TEST_F(EndToEndTest, PayloadsBeyondTwoGiBAreReadAtPositiveOffsets) {
  MakeGame();
  // Image, a sparse gap, then bodies, table and trailer above 2^31.
  const uint32_t base = 0x80000010u;
  const auto entryBody = SampleBody(30, 120), looseBody = SampleBody(31, 0x40000);
  std::vector<uint8_t> tail = entryBody;
  tail.insert(tail.end(), looseBody.begin(), looseBody.end());
  std::vector<uint8_t> table;
  AppendTable(table, {{747, 0, base, 120}, {1368, 0, base + 120, 0x40000}});
  tail.insert(tail.end(), table.begin(), table.end());
  AppendTrailer(tail, 1, base + 120 + 0x40000, 2);
  WriteSparsePatcher(base, tail);
  ExpectOutcome(RunPrepared(), "Processing patch 747\nDone\nProcessing patch 1368\nDone\nSuccess!\n", 0);
  std::filesystem::remove(PatcherPath());
  const auto written = ReadFile(dir.Path() / "DATA1.QPX");
  EXPECT_EQ(std::vector<uint8_t>(written.begin(), written.begin() + 120), entryBody) << "in place: same slot";
  EXPECT_EQ(ReadFile(dir.Path() / "res" / "D00161.bin"), LooseFileImage(looseBody));
}

TEST_F(EndToEndTest, AnAllocationFailureIsReportedAsOutOfMemory) {
  if (kUnderSanitizer && g_launcher.empty()) GTEST_SKIP() << "a sanitized patcher cannot run under a memory cap";
  MakeGame();
  // A body that lies inside the (sparse) file but cannot be held in memory:
  // beyond a 32-bit process's reach under Wine, beyond a set limit natively.
  const uint32_t bodySize = g_launcher.empty() ? 0x60000000u : 0xE0000000u;
  const uint64_t limit = g_launcher.empty() ? 0x40000000u : 0;
  const uint32_t bodyOffset = 0x100000;
  std::vector<uint8_t> tail;
  AppendTable(tail, {{747, 0, bodyOffset, bodySize}});
  const uint32_t tableOffset = bodyOffset + bodySize;
  AppendTrailer(tail, 1, tableOffset, 1);
  WriteSparsePatcher(tableOffset, tail);
  ExpectOutcome(RunPrepared(limit), "Processing patch 747\nOut of memory\n", 1);
  std::filesystem::remove(PatcherPath());
  EXPECT_EQ(ReadFile(dir.Path() / "DATA1.QPX"), data);
}

TEST_F(EndToEndTest, ABodyOutsideTheFileIsRefusedBeforeMemoryIsSetAside) {
  if (kUnderSanitizer && g_launcher.empty()) GTEST_SKIP() << "a sanitized patcher cannot run under a memory cap";
  MakeGame();
  // A forged size near 4 GiB: set aside first, it would fail as "Out of
  // memory" under the cap (and in any 32-bit process).
  auto file = image;
  const uint32_t table = AppendTable(file, {{747, 0, static_cast<uint32_t>(image.size()), 0xFFFFFF00u}});
  AppendTrailer(file, 1, table, 1);
  WriteFile(PatcherPath(), file);
  ExpectOutcome(RunPrepared(g_launcher.empty() ? 0x40000000u : 0), "Processing patch 747\nCan't read patch data\n", 1);
  EXPECT_EQ(ReadFile(dir.Path() / "DATA1.QPX"), data);
}

TEST_F(EndToEndTest, EveryMessageIsOnScreenBeforeTheKeyWait) {
  MakeGame();
  WriteFile(PatcherPath(), BuildPatchFile(image, {{748, SampleBody(15, 64)}}));
  ProcessOptions options;
  options.keyAfter = "Press Any Key...";
  const ProcessResult result = RunPrepared(options);
  EXPECT_TRUE(result.keySent) << "the prompt never showed while the patcher waited; it printed \"" << result.out << '"';
  EXPECT_EQ(result.outBeforeKey, Screen("Processing patch 748\nDone\nSuccess!\n"));
  ExpectOutcome(result, "Processing patch 748\nDone\nSuccess!\n", 0);
}

TEST_F(EndToEndTest, AClosedOutputEndsNoRun) {
  MakeGame();
  // The first message already finds no reader; every patch is still applied.
  const auto entry = SampleBody(16, 64), loose = SampleBody(17, 30);
  WriteFile(PatcherPath(), BuildPatchFile(image, {{748, entry}, {1368, loose}}));
  ProcessOptions options;
  options.outputClosed = true;
  const ProcessResult result = RunPrepared(options);
  EXPECT_EQ(result.endSignal, 0);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  std::copy(entry.begin(), entry.end(), data.begin() + 128);
  EXPECT_EQ(ReadFile(dir.Path() / "DATA1.QPX"), data);
  EXPECT_EQ(ReadFile(dir.Path() / "DATA0.QPX"), index);
  EXPECT_EQ(ReadFile(dir.Path() / "res" / "D00161.bin"), LooseFileImage(loose));
}

TEST_F(EndToEndTest, AFileSizeLimitFailsThePatchLikeAFullDisk) {
  // A limit set on Wine would bind its server and loader too.
  if (!g_launcher.empty()) GTEST_SKIP() << "POSIX file size limits only";
  game.AddEntry(0, SampleBody(9, 50000));  // a data file longer than the index
  MakeGame();
  const auto appended = SampleBody(18, 300), loose = SampleBody(19, 20);
  WriteFile(PatcherPath(), BuildPatchFile(image, {{747, appended}, {1368, loose}}));
  ProcessOptions options;
  options.fileSizeLimit = data.size() + 100;  // the loose file and the index stay below it
  ASSERT_GT(options.fileSizeLimit, index.size());
  ASSERT_GT(options.fileSizeLimit, LooseFileImage(loose).size());
  const ProcessResult result = RunPrepared(options);
  EXPECT_EQ(result.endSignal, 0);
  ExpectOutcome(result, "Processing patch 747\nFailed\nProcessing patch 1368\nDone\nFailed patches: 1\n", 1);
  EXPECT_EQ(ReadFile(dir.Path() / "DATA0.QPX"), index) << "the old record still names the old body";
  EXPECT_EQ(ReadFile(dir.Path() / "res" / "D00161.bin"), LooseFileImage(loose));
}

TEST_F(EndToEndTest, LongPathsToThePatcherAreNeverCut) {
  MakeGame();
  // Deeper than the 260 characters of a classic Windows path buffer.
  std::filesystem::path deep = dir.Path();
  for (int i = 0; i < 8; ++i) deep /= std::string(40, static_cast<char>('a' + i));
  std::filesystem::create_directories(deep);
  const auto body = SampleBody(40, 64);
  WriteFile(deep / "qpxpatch.exe", BuildPatchFile(image, {{748, body}}));
  chmod((deep / "qpxpatch.exe").c_str(), 0755);
  ASSERT_GT((deep / "qpxpatch.exe").string().size(), 300u);
  ProcessOptions options;
  options.launcher = g_launcher;
  ExpectOutcome(RunProcess({(deep / "qpxpatch.exe").string()}, dir.Path(), options),
                "Processing patch 748\nDone\nSuccess!\n", 0);
}

// Signed with the real tools: a throwaway self-signed certificate made by
// openssl, osslsigncode to sign and to verify. Windows programs only: the
// native patcher is no PE and nobody signs it.
TEST_F(EndToEndTest, ASignedPatchAppliesAndADamagedOneIsRefused) {
  if (g_launcher.empty()) GTEST_SKIP() << "Authenticode signs Windows programs";
  const auto tool = [&](const std::vector<std::string>& argv) { return RunProcess(argv, dir.Path()); };
  ASSERT_EQ(tool({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out",
                  "cert.pem", "-days", "2", "-subj", "/CN=qpxpatch test publisher"}).exitCode, 0);

  const auto body = SampleBody(9, 300);
  WriteFile(dir.Path() / "unsigned.exe", BuildSealedPatchFile(image, {{747, body}, {1368, SampleBody(8, 20)}}));
  const auto sign = [&](const std::string& in, const std::string& out) {
    return tool({"/usr/bin/osslsigncode", "sign", "-certs", "cert.pem", "-key", "key.pem", "-n", "qpxpatch test", "-in", in,
                 "-out", out});
  };
  const auto verify = [&](const std::string& file) {
    return tool({"/usr/bin/osslsigncode", "verify", "-CAfile", "cert.pem", "-in", file});
  };
  ASSERT_EQ(sign("unsigned.exe", "signed.exe").exitCode, 0);
  EXPECT_EQ(verify("signed.exe").exitCode, 0) << "the signature holds over the payload";
  const auto signedPatch = ReadFile(dir.Path() / "signed.exe");
  ASSERT_GT(signedPatch.size(), ReadFile(dir.Path() / "unsigned.exe").size());

  // The unsigned and the signed patch leave the same game.
  const auto runIn = [&](const std::string& folder, const std::vector<uint8_t>& patch) {
    std::filesystem::create_directories(dir.Path() / folder);
    EXPECT_TRUE(game.Write(*fs, (dir.Path() / folder).wstring()));
    const auto path = dir.Path() / folder / "patch.exe";
    WriteFile(path, patch);
    chmod(path.c_str(), 0755);
    ProcessOptions options;
    options.launcher = g_launcher;
    return RunProcess({path.string()}, dir.Path() / folder, options);
  };
  game.AddEntry(747, SampleBody(1, 100));
  game.AddLooseFile(161, LooseFileImage(SampleBody(3, 10)));
  const auto files = [&](const std::string& folder) {
    return std::vector{ReadFile(dir.Path() / folder / "DATA0.QPX"), ReadFile(dir.Path() / folder / "DATA1.QPX"),
                       ReadFile(dir.Path() / folder / "res" / "D00161.bin")};
  };
  ExpectOutcome(runIn("a", ReadFile(dir.Path() / "unsigned.exe")),
                "Processing patch 747\nDone\nProcessing patch 1368\nDone\nSuccess!\n", 0);
  ExpectOutcome(runIn("b", signedPatch), "Processing patch 747\nDone\nProcessing patch 1368\nDone\nSuccess!\n", 0);
  EXPECT_EQ(files("a"), files("b"));

  // One body byte changed: the signature and the seal both see it.
  auto damaged = signedPatch;
  damaged[image.size() + 100] ^= 0x10;
  WriteFile(dir.Path() / "damaged.exe", damaged);
  EXPECT_NE(verify("damaged.exe").exitCode, 0);
  std::filesystem::create_directories(dir.Path() / "c");
  ASSERT_TRUE(game.Write(*fs, (dir.Path() / "c").wstring()));
  const auto untouched = files("c");
  std::filesystem::remove_all(dir.Path() / "c");
  ExpectOutcome(runIn("c", damaged), "Patch data is damaged\n", 1);
  EXPECT_EQ(files("c"), untouched);
}

// A version-2 patch asked --help, --version or --check changes not a byte
// of the folder, nor a file's time, and asks for no key; --check's exit
// status is the run's; a version-1 patch ignores every argument.
TEST_F(EndToEndTest, QuestionsChangeNothingAndCheckForetellsTheRun) {
  MakeGame();
  const auto snapshot = [&] {
    std::map<std::string, std::pair<std::vector<uint8_t>, std::filesystem::file_time_type>> files;
    for (const auto& item : std::filesystem::recursive_directory_iterator(dir.Path())) {
      if (item.is_regular_file() && item.path() != PatcherPath()) {
        files[item.path().generic_string()] = {ReadFile(item.path()), item.last_write_time()};
      }
    }
    return files;
  };
  const auto ask = [&](const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {PatcherPath().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.launcher = g_launcher;
    return RunProcess(argv, dir.Path(), options);
  };
  const auto lines = [](std::string text) {
    std::erase(text, '\r');
    return text;
  };
  const std::vector<uint8_t> base = SampleBody(1, 100), other = SampleBody(9, 100);
  WriteFile(PatcherPath(), BuildCheckedPatchFile(image, {{747, SampleBody(10, 100), BodyEncoding::Stored, base},
                                                         {1368, SampleBody(12, 300), BodyEncoding::Stored, {}}}));
  chmod(PatcherPath().c_str(), 0755);
  const auto before = snapshot();
  for (const char* question : {"--help", "-h", "/?", "--version"}) {
    SCOPED_TRACE(question);
    const ProcessResult answer = ask({question});
    EXPECT_EQ(answer.exitCode, 0) << answer.err;
    if (std::string(question) == "--version") {
      EXPECT_EQ(lines(answer.out).find('\n'), answer.out.size() - (g_launcher.empty() ? 1 : 2)) << "one line";
      EXPECT_TRUE(answer.out.starts_with("qpxpatch ")) << answer.out;
    } else {
      EXPECT_NE(lines(answer.out).find("payload format 2, 2 records, 400 bytes to write.\n"), std::string::npos)
          << answer.out;
    }
    EXPECT_EQ(answer.out.find("Press Any Key"), std::string::npos);
    EXPECT_TRUE(snapshot() == before);
  }
  // Anything else is the usage, exit 2, and not a byte of the game changed.
  for (const char* unknown : {"--dry-run", "-n", "--chek", "--CHECK", "-v", "--list", "--launcher-option"}) {
    SCOPED_TRACE(unknown);
    const ProcessResult answer = ask({unknown});
    EXPECT_EQ(answer.exitCode, 2) << answer.out;
    EXPECT_TRUE(lines(answer.out).starts_with("Unknown argument: " + std::string(unknown) + "; nothing was changed\nUsage:"))
        << answer.out;
    EXPECT_TRUE(snapshot() == before);
  }
  const std::string separator = g_launcher.empty() ? "/" : "\\";
  ProcessResult check = ask({"--check"});
  EXPECT_EQ(check.exitCode, 0) << check.out;
  EXPECT_TRUE(lines(check.out).ends_with("Patch 747 (entry 747): would apply (in place)\n"
                                         "Patch 1368 (res" + separator + "D00161.bin): would apply (rewrites res" +
                                         separator + "D00161.bin)\n"
                                         "Check passed: the patch would apply; nothing was changed\n")) << check.out;
  EXPECT_TRUE(snapshot() == before);
  ExpectOutcome(RunPrepared(), "Processing patch 747\nDone\nProcessing patch 1368\nDone\nSuccess!\n", 0, false);
  check = ask({"--check"});
  EXPECT_EQ(check.exitCode, 0);
  EXPECT_TRUE(lines(check.out).ends_with("Check passed: the patch is already applied: nothing to do\n")) << check.out;

  // Another version of the game: both refuse, and the run says where.
  WriteFile(PatcherPath(), BuildCheckedPatchFile(image, {{748, SampleBody(11, 64), BodyEncoding::Stored, other}}));
  const auto patched = snapshot();
  check = ask({"/check"});
  EXPECT_EQ(check.exitCode, 1) << check.out;
  EXPECT_TRUE(lines(check.out).ends_with("Check failed: the patch would not apply; nothing was changed\n")) << check.out;
  EXPECT_TRUE(snapshot() == patched);
  const ProcessResult refused = RunPrepared();
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(lines(refused.out).find("Resource 748 (entry 748) is from another version of the game\nThe game in "),
            std::string::npos) << refused.out;
  EXPECT_TRUE(lines(refused.out).ends_with(" is not one this patch knows: entry 748 holds 64 bytes (XXH3 " +
                                           std::string(lines(refused.out).substr(lines(refused.out).find("(XXH3 ") + 6, 16)) +
                                           "), where the patch expects 100 bytes (XXH3 " +
                                           lines(refused.out).substr(lines(refused.out).rfind("(XXH3 ") + 6, 16) +
                                           ")\nNothing was changed\n"))
      << refused.out;

  // Outside the game folder: the folder is named, with the hint.
  std::filesystem::remove(dir.Path() / "DATA0.QPX");
  check = ask({"--check"});
  EXPECT_EQ(check.exitCode, 1);
  EXPECT_NE(lines(check.out).find("Can't open DATA0.QPX\nNo DATA0.QPX in "), std::string::npos) << check.out;
  EXPECT_TRUE(lines(check.out).ends_with(": run the patch inside the game folder\n"
                                         "Check failed: the patch would not apply; nothing was changed\n"))
      << check.out;

  // Version 1 ignores the question, and applies.
  WriteFile(PatcherPath(), BuildPatchFile(image, {{748, SampleBody(11, 64)}}));
  MakeGame();
  ExpectOutcome(ask({"--help"}), "Processing patch 748\nDone\nSuccess!\n", 0);
}

// A folder given on the command line, or dropped on the patch (which
// passes its path, spaces and all), is patched exactly as if the patch
// were started inside it; a folder that is not there changes nothing.
TEST_F(EndToEndTest, AFolderGivenOrDroppedIsTheOnePatched) {
  const std::filesystem::path game = dir.Path() / "My Game";
  const std::filesystem::path elsewhere = dir.Path() / "elsewhere";
  std::filesystem::create_directories(game);
  std::filesystem::create_directories(elsewhere);
  GameFolder folder;
  folder.AddEntry(747, SampleBody(1, 100));
  ASSERT_TRUE(folder.Write(*fs, game.wstring()));
  const auto original = ReadFolder(game, "");
  WriteFile(PatcherPath(), BuildCheckedPatchFile(image, {{747, SampleBody(10, 100), BodyEncoding::Stored,
                                                          SampleBody(1, 100)}}));
  chmod(PatcherPath().c_str(), 0755);
  // As the player's system names a folder: under Wine, the drive that
  // holds the whole Linux tree.
  const auto named = [](const std::filesystem::path& path) {
    if (g_launcher.empty()) return path.string();
    std::string windows = "Z:" + path.string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
  };
  const auto run = [&](const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {PatcherPath().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.launcher = g_launcher;
    return RunProcess(argv, elsewhere, options);
  };
  const ProcessResult nowhere = run({"--check", named(dir.Path() / "nowhere")});
  EXPECT_EQ(nowhere.exitCode, 1);
  EXPECT_TRUE(nowhere.out.starts_with("Can't open the game folder")) << nowhere.out;
  EXPECT_NE(nowhere.out.find("nowhere cannot be opened"), std::string::npos) << nowhere.out;
  EXPECT_EQ(ReadFolder(game, ""), original);
  const ProcessResult applied = run({named(game)});
  ExpectOutcome(applied, "Processing patch 747\nDone\nSuccess!\n", 0, false);
  EXPECT_NE(ReadFolder(game, ""), original);
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere)) << "nothing written where it was started";
  ExpectOutcome(run({"--target", named(game)}), "Processing patch 747\nAlready applied\nSuccess!\n", 0, false);
}

// The patch on a terminal of its own (a pseudo-terminal): what it shows
// until it exits or `key` is due, and its exit status. `key`, when not 0,
// is typed once the prompt shows, alone, with no line end. With
// `outputToFile`, standard output goes to a file and only standard input
// is the terminal.
struct TerminalRun {
  std::string shown;
  int exitCode = -1;
  bool exited = false;
};
TerminalRun RunOnTerminal(const std::filesystem::path& patcher, const std::filesystem::path& folder,
                          const std::vector<std::string>& arguments, char key, bool outputToFile) {
  TerminalRun run;
  int terminal = -1;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (child < 0) return run;
  if (child == 0) {
    if (chdir(folder.c_str()) != 0) _exit(127);
    if (outputToFile) {
      const int file = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (file < 0 || dup2(file, 1) < 0) _exit(127);
    }
    std::vector<char*> argv = {const_cast<char*>(patcher.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(patcher.c_str(), argv.data());
    _exit(127);
  }
  bool typed = false;
  for (int waited = 0; waited < 20000;) {
    pollfd ready{terminal, POLLIN, 0};
    if (poll(&ready, 1, 100) > 0) {
      char bytes[256];
      const ssize_t got = read(terminal, bytes, sizeof bytes);
      if (got <= 0) break;
      run.shown.append(bytes, static_cast<std::size_t>(got));
    } else {
      waited += 100;
    }
    if (key != 0 && !typed && run.shown.find("Press Any Key...") != std::string::npos) {
      typed = write(terminal, &key, 1) == 1;
    }
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
      run.exited = true;
      run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
  }
  // The terminal closes as the program ends: give it a moment to be reaped.
  for (int i = 0; i < 50 && !run.exited; ++i) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
      run.exited = true;
      run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else if (run.shown.find("Press Any Key...") == std::string::npos || key != 0) {
      usleep(100000);
    } else {
      break;  // waiting for a key nobody types
    }
  }
  if (!run.exited) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  close(terminal);
  return run;
}

// The wait at the end of a run is for a person: on a terminal it asks, and
// one key (no line end) ends it; --no-pause, or output to a file, and it
// asks nothing and does not wait.
TEST_F(EndToEndTest, ThePauseIsOnlyForSomeoneWhoCanAnswer) {
  if (!g_launcher.empty()) GTEST_SKIP() << "a pseudo-terminal is a POSIX console";
  MakeGame();
  WriteFile(PatcherPath(), BuildCheckedPatchFile(image, {{748, SampleBody(15, 64), BodyEncoding::Stored, {}}}));
  chmod(PatcherPath().c_str(), 0755);
  const TerminalRun asked = RunOnTerminal(PatcherPath(), dir.Path(), {}, 'x', false);
  EXPECT_TRUE(asked.exited) << "one key ends the wait: " << asked.shown;
  EXPECT_EQ(asked.exitCode, 0);
  EXPECT_NE(asked.shown.find("Success!\r\nPress Any Key..."), std::string::npos) << asked.shown;

  const TerminalRun told = RunOnTerminal(PatcherPath(), dir.Path(), {"--no-pause"}, 0, false);
  EXPECT_TRUE(told.exited) << told.shown;
  EXPECT_EQ(told.shown.find("Press Any Key"), std::string::npos) << told.shown;

  const TerminalRun logged = RunOnTerminal(PatcherPath(), dir.Path(), {}, 0, true);
  EXPECT_TRUE(logged.exited) << "nobody reads the prompt in a file";
  EXPECT_EQ(ReadFile(dir.Path() / "out.txt").size(), std::string("Processing patch 748\nAlready applied\nSuccess!\n").size());
}

// Under Wine, with DATA1.QPX held open (shared for reading only) by
// another program: held for a moment (a virus scanner), the run waits and
// applies; held on (the game running), it says to close the game and exits
// 3, the game as it was.
TEST_F(EndToEndTest, AFileTheGameHoldsIsWaitedForThenNamed) {
  if (g_launcher.empty() || g_holder.empty()) GTEST_SKIP() << "sharing a file is Windows' own";
  MakeGame();
  const std::filesystem::path game = dir.Path();
  const std::filesystem::path marker = dir.Path().parent_path() / (dir.Path().filename().string() + ".held");
  const auto hold = [&](int milliseconds) {
    std::filesystem::remove(marker);
    ProcessOptions options;
    options.launcher = g_launcher;
    auto holder = StartProcess({g_holder, "DATA1.QPX", std::to_string(milliseconds), marker.string()}, game, options);
    for (int i = 0; i < 200 && !std::filesystem::exists(marker); ++i) usleep(50000);
    EXPECT_TRUE(std::filesystem::exists(marker)) << "the holder opened DATA1.QPX";
    return holder;
  };
  WriteFile(PatcherPath(), BuildCheckedPatchFile(image, {{748, SampleBody(15, 64), BodyEncoding::Stored, {}}}));
  {
    const auto holder = hold(20000);
    const ProcessResult held = RunPrepared();
    EXPECT_EQ(held.exitCode, 3) << held.out;
    EXPECT_NE(held.out.find("Can't open DATA1.QPX\r\nDATA1.QPX is open in another program (is the game running?): "
                            "close it and run the patch again\r\n"),
              std::string::npos)
        << held.out;
    EXPECT_EQ(ReadFile(dir.Path() / "DATA1.QPX"), data);
  }
  const auto holder = hold(700);
  const ProcessResult waited = RunPrepared();
  EXPECT_EQ(waited.exitCode, 0) << waited.out;
  EXPECT_NE(waited.out.find("Success!"), std::string::npos) << waited.out;
  std::filesystem::remove(marker);
}

// A folder's name as the player's system shows it: its characters where
// the output takes UTF-8 (a POSIX locale that says so), else \xNN.
TEST_F(EndToEndTest, AFolderIsNamedInTheCharactersTheOutputCarries) {
  const std::filesystem::path game = dir.Path() / "Jeu \xC3\xA9";
  std::filesystem::create_directories(game);
  GameFolder folder;
  folder.AddEntry(747, SampleBody(1, 100));
  // The name's bytes as they are, whatever this process's locale.
  ASSERT_TRUE(folder.Write(*fs, posix::DecodePath(game.string())));
  WriteFile(PatcherPath(), BuildCheckedPatchFile(image, {{747, SampleBody(10, 100), BodyEncoding::Stored,
                                                          SampleBody(1, 100)}}));
  chmod(PatcherPath().c_str(), 0755);
  const auto check = [&](const char* locale) {
    ProcessOptions options;
    options.launcher = g_launcher;
    options.environment = {std::string("LC_ALL=") + locale};
    return RunProcess({PatcherPath().string(), "--check"}, game, options).out;
  };
  if (g_launcher.empty()) {
    EXPECT_NE(check("C.UTF-8").find("/Jeu \xC3\xA9; nothing will be changed"), std::string::npos);
    EXPECT_NE(check("C").find("/Jeu \\xC3\\xA9; nothing will be changed"), std::string::npos);
  } else {
    // A pipe on Windows carries no more than ASCII.
    EXPECT_NE(check("C.UTF-8").find("\\Jeu \\xC3\\xA9; nothing will be changed"), std::string::npos);
  }
}

}  // namespace
}  // namespace qpx::test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    // Absolute: every test runs in a scratch folder of its own.
    if (arg.rfind("--patcher=", 0) == 0) qpx::test::g_patcher = std::filesystem::absolute(arg.substr(10));
    if (arg.rfind("--wine=", 0) == 0) qpx::test::g_launcher = std::filesystem::absolute(arg.substr(7));
    if (arg.rfind("--holder=", 0) == 0) qpx::test::g_holder = std::filesystem::absolute(arg.substr(9));
  }
  return RUN_ALL_TESTS();
}

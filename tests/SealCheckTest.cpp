// The seal's check at its edges: what a failed read makes of it, a table
// that runs into the seal, the writer's padding, the choice of the hash's
// loop, and how much of a PE header a signature needs.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "src/app/payload/DigestKernel.h"
#include "src/app/payload/PayloadSeal.h"
#include "src/app/payload/SignedImage.h"
#include "src/app/run/PatchRunner.h"
#include "tests/support/FaultyFileSystem.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace qpx {
namespace {

using test::CFileSystem_Faulty;
using test::FaultPlan;
using test::FaultStyle;
using test::FileOperation;
using test::ReadFile;
using test::ScratchDirectory;
using test::WriteFile;
using Bytes = std::vector<uint8_t>;

// A read of the patcher's own file that fails, wherever it falls before the
// first patch, is never taken for an intact payload nor for a damaged one:
// the run ends with the message of the step that could not read, and the
// archive is never opened.
TEST(SealReadFaultTest, AFailedReadOfASealedPayloadEndsTheRunBeforeTheGameIsOpened) {
  ScratchDirectory dir;
  const auto real = CreatePlatformFileSystem();
  GameFolder game;
  game.AddEntry(747, SampleBody(1, 100));
  ASSERT_TRUE(game.Write(*real, dir.Path().wstring()));
  const Bytes before = ReadFile(dir.Path() / "DATA1.QPX");
  // Bodies of more than one transfer chunk: the check reads in several steps.
  WriteFile(dir.Path() / "patch.bin",
            test::BuildSealedPatchFile(Bytes(100, 0x4D), {{747, SampleBody(2, 5u << 20)}, {748, SampleBody(3, 64)}}));

  // Read 1 looks for a signature's certificate table, which a file that is
  // no PE image has either way; then come the trailer's magic (2), its
  // header (3), the table (4), the seal (5) and the check's pass over the
  // bodies and the table, a transfer chunk at a time (6, 7).
  // Until the header is read, the patch's version is not known: it is told
  // to be downloaded again.
  const std::wstring again = L"Download the patch again; nothing was changed\n";
  const std::wstring expected[] = {L"", L"Can't find patch data\n" + again, L"Can't read patch header\n" + again,
                                   L"Can't read patch info\n", L"Can't read patch data\n",
                                   L"Can't read patch data\n", L"Can't read patch data\n"};
  for (uint64_t failAt = 2;; ++failAt) {
    FaultPlan plan;
    plan.failAt = failAt;
    plan.counted = static_cast<uint32_t>(FileOperation::Read);
    CFileSystem_Faulty faulty(*real, plan);
    CapturedConsole console;
    const bool success = RunPatcher(faulty, dir.Wide("patch.bin"), console);
    ASSERT_TRUE(plan.struck) << "the run reads its bodies, so some read is struck";
    if (plan.struckPath != dir.Wide("patch.bin")) {
      EXPECT_EQ(failAt, std::size(expected) + 1) << "the next read is the game's index";
      break;
    }
    SCOPED_TRACE("read " + std::to_string(failAt));
    EXPECT_FALSE(success);
    EXPECT_EQ(plan.opensForWriting, 0u) << "the archive is opened only once the payload is known good";
    ASSERT_LT(failAt, std::size(expected) + 1);
    EXPECT_EQ(console.Text(), expected[failAt - 1]) << "a read that fails is no damage, and no missing seal";
    EXPECT_EQ(ReadFile(dir.Path() / "DATA1.QPX"), before);
  }
}

class SealCheckTest : public ::testing::Test {
 protected:
  PayloadError Check(const Bytes& bytes) {
    WriteFile(dir.Path() / "patch.bin", bytes);
    auto file = fs->Open(dir.Wide("patch.bin").c_str(), OpenMode_Read);
    Payload payload;
    const PayloadError error = ReadPayload(*file, payload);
    if (error != PayloadError::None) return error;
    CTransferBuffer buffer;
    return VerifySeal(*file, payload, buffer);
  }

  ScratchDirectory dir;
  std::unique_ptr<CFileSystem> fs = CreatePlatformFileSystem();
};

TEST_F(SealCheckTest, ATableThatRunsIntoTheSealIsDamage) {
  // One record written, two declared: the second is read from the padding
  // and the seal's first bytes, where it has size 0 (skipped), and which
  // the digest does not cover as table bytes. The digest is right for every
  // byte it covers.
  // An image of 100 bytes, then a body of 10.
  const auto imageAndBody = [] {
    Bytes bytes = SampleBody(1, 110);
    std::fill(bytes.begin(), bytes.begin() + 100, 0x4D);
    return bytes;
  };
  Bytes file = imageAndBody();
  const uint32_t table = test::AppendTable(file, {{747, 0, 100, 10}});
  test::AppendSealAndTrailer(file, 100, table, 2);
  ASSERT_EQ(file.size(), 128u + kSealDistance) << "the table's second record starts 2 bytes before the seal";
  EXPECT_EQ(Check(file), PayloadError::Damaged);

  // The same payload declaring its one record holds.
  Bytes honest = imageAndBody();
  test::AppendSealAndTrailer(honest, 100, test::AppendTable(honest, {{747, 0, 100, 10}}), 1);
  EXPECT_EQ(Check(honest), PayloadError::None);
}

TEST(SealPaddingTest, MakesTheLengthAMultipleOfEightWithFewerThanEightZeros) {
  for (uint64_t tableEnd = 0; tableEnd < 24; ++tableEnd) {
    const uint32_t padding = SealPadding(tableEnd);
    EXPECT_LT(padding, 8u) << "table ending at " << tableEnd;
    EXPECT_EQ((tableEnd + padding + kSealDistance) % 8, 0u) << "table ending at " << tableEnd;
  }
  // A file whose table already ends on the boundary gets no padding.
  const Bytes file = test::BuildSealedPatchFile(Bytes(104 - 4, 0), {{747, {1, 2, 3, 4}}});
  EXPECT_EQ(file.size(), 104u + 16 + kSealDistance) << "table at 104, ending at 120: no zeros";
}

// Which loop hashes is a question for the processor: the wider one only
// where it runs, and there always.
TEST(DigestKernelTest, TheWiderLoopIsChosenExactlyWhenTheProcessorHasIt) {
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  ASSERT_TRUE(__get_cpuid(1, &eax, &ebx, &ecx, &edx));
#if defined(__x86_64__)
  // AVX2: the instructions, and the system saving the wide registers.
  const bool osSavesWideRegisters = (ecx & bit_OSXSAVE) != 0 && (ecx & bit_AVX) != 0 && [] {
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (low & 6u) == 6u;
  }();
  unsigned leaf7[4] = {};
  const bool has = osSavesWideRegisters && __get_cpuid_count(7, 0, &leaf7[0], &leaf7[1], &leaf7[2], &leaf7[3]) &&
                   (leaf7[1] & bit_AVX2) != 0;
  const char* feature = "AVX2";
#else
  const bool has = (edx & bit_SSE2) != 0;
  const char* feature = "SSE2";
#endif
  EXPECT_EQ(WideDigestUpdate() != nullptr, has) << feature << (has ? " present" : " absent");
#else
  EXPECT_EQ(WideDigestUpdate(), nullptr) << "no wider loop on this processor family";
#endif
}

// The security directory is the fifth data directory: a header that lists
// only four has none, whatever bytes lie where a fifth would be.
TEST(SignedImageTest, TheSecurityDirectoryNeedsFiveDataDirectories) {
  ScratchDirectory dir;
  const auto fs = CreatePlatformFileSystem();
  for (bool wide : {false, true}) {
    for (uint32_t count : {4u, 5u, 16u}) {
      Bytes image = test::PeImage(4096, 2048, 2048, wide);
      const std::size_t countAt = 0x84 + 20 + (wide ? 108 : 92);
      std::memcpy(image.data() + countAt, &count, sizeof count);
      WriteFile(dir.Path() / "image.exe", image);
      const auto file = fs->Open(dir.Wide("image.exe").c_str(), OpenMode_Read);
      CertificateTable table;
      EXPECT_EQ(FindCertificateTable(*file, 4096, table), count >= 5) << count << " directories, PE32+ " << wide;
    }
  }
}

}  // namespace
}  // namespace qpx

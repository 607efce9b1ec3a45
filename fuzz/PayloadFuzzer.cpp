// libFuzzer target: the input is the patcher's own file, an arbitrary
// executable tail. It goes through the payload reader and then through the
// whole run against a small game folder, restored before every input.
//
// What must hold for any input: the reader accepts only a table that lies
// inside the file; a payload whose seal does not hold changes nothing; a
// version-2 payload whose checks fail changes nothing; the run prints only
// its own messages, in order, and reports success exactly when every patch
// was applied; the archive keeps its index length, its data file never
// shrinks, every changed record names bytes inside the data file, every
// changed loose file is a whole image of one of the bodies meant for it
// (for versions 2 and 3: of bytes with one of the result hashes meant for
// it), and nothing is created or removed. A version-3 run names each
// resource once, by the alternative the game takes.

#include <cstring>
#include <memory>
#include <sstream>

#include "src/app/payload/PatchPayload.h"
#include "src/app/payload/PayloadSeal.h"
#include "src/app/run/Alternatives.h"
#include "src/app/run/PatchRunner.h"
#include "src/app/run/RunMessages.h"
#include "src/archive/LooseFile.h"
#include "fuzz/FuzzSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx::fuzz {
namespace {

constexpr const wchar_t* kPatcherName = L"patcher.bin";
constexpr uint32_t kLooseFiles = 2;

struct Game {
  std::unique_ptr<CFileSystem> fs = CreatePlatformFileSystem();
  GameFolder folder;
  std::vector<uint8_t> index;
  uint64_t dataSize = 0;
  std::vector<std::vector<uint8_t>> looseFiles;
  std::set<std::string> listing;
};

Game& TheGame() {
  static Game game;
  return game;
}

std::vector<uint8_t> Read(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  FUZZ_CHECK(ReadWholeFile(*TheGame().fs, path, bytes));
  return bytes;
}

void SetUpGame() {
  Game& game = TheGame();
  // Entries of every kind of slot: short, a multiple of 32, one that may
  // not be replaced in place; the rest are empty records.
  const uint32_t sizes[] = {1, 31, 32, 33, 100, 64, 200, 7};
  for (uint32_t number = 0; number < 8; ++number) {
    game.folder.AddEntry(number, SampleBody(number, sizes[number]), number == 5 ? 1 : 0);
  }
  for (uint32_t i = 0; i < kLooseFiles; ++i) {
    game.folder.AddLooseFile(i, LooseFileImage(SampleBody(100 + i, 10 + 300 * i)));
  }
  FUZZ_CHECK(game.folder.Write(*game.fs, L""));
  FUZZ_CHECK(WriteWholeFile(*game.fs, kPatcherName, std::vector<uint8_t>{}));
  game.index = Read(kIndexFileName);
  game.dataSize = Read(kDataFileName).size();
  for (uint32_t i = 0; i < kLooseFiles; ++i) game.looseFiles.push_back(Read(LooseFilePath(L"res", i)));
  game.listing = ListFolder();
}

// The lines of `text`; the last one must end in a newline too.
std::vector<std::wstring> Lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find(L'\n', start);
    FUZZ_CHECK(end != std::wstring::npos);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool IsRunFailure(const std::wstring& line) {
  static const std::wstring failures[] = {L"Can't open patch data", L"Can't find patch data",
                                          L"Can't read patch header", L"Can't read patch info",
                                          L"Can't open DATA1.QPX", L"Can't read patch data",
                                          L"Patch data is damaged"};
  for (const std::wstring& failure : failures) {
    if (line == failure) return true;
  }
  return false;
}

// A version-2 or version-3 run's lines without those it adds after its
// terse ones to say where and why: each names the folder, or (after a
// record's "Failed") the resource. What is left must have the version-1 shape.
std::vector<std::wstring> WithoutReasons(const std::vector<std::wstring>& lines) {
  static const std::wstring folder = FolderForMessages();
  std::vector<std::wstring> kept;
  for (const std::wstring& line : lines) {
    const bool afterFailed = !kept.empty() && kept.back() == L"Failed" && line.starts_with(L"Resource ");
    if (line.find(folder) == std::wstring::npos && !afterFailed) kept.push_back(line);
  }
  return kept;
}

// A version-2 or version-3 run that its checks stopped: one line per refused
// record (the first ten, then a count), perhaps the disk's, then the closing
// line; version 3 may add what it updates (taken off by the caller).
bool CheckRefusal(const std::vector<std::wstring>& lines) {
  if (lines.empty() || lines.back() != L"Nothing was changed") return false;
  if (lines.front().starts_with(L"Processing patch ")) return false;  // a run that stopped midway
  FUZZ_CHECK(lines.size() >= 2);
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    FUZZ_CHECK(lines[i].starts_with(L"Resource ") || lines[i].starts_with(L"... and ") ||
               lines[i].starts_with(L"Not enough disk space: "));
  }
  return true;
}

// The line a version-3 refusal ends with when the game is of a version it
// does not know, after "Nothing was changed".
std::wstring VersionsLine(const Payload& payload) {
  return payload.version == kPayloadVersion3 ? UpdatesLine(payload) : std::wstring();
}

// `payload`: for version 3, the records the game took (SelectAlternatives).
void CheckMessages(const std::wstring& text, bool success, PayloadError payloadError, const Payload& payload) {
  if (payloadError != PayloadError::None) {
    FUZZ_CHECK(!success);
    // A patch of any version but the first is told to be downloaded again.
    const std::wstring again = payload.version == kPayloadVersion1 ? L"" : lines::kDownloadAgain;
    FUZZ_CHECK(text == PayloadMessage(payloadError) + again);
    return;
  }
  const bool checked = IsCheckedVersion(payload.version);
  std::vector<std::wstring> lines = Lines(text);
  if (checked) lines = WithoutReasons(lines);
  FUZZ_CHECK(!lines.empty());
  const std::wstring versions = VersionsLine(payload);
  if (!versions.empty() && lines.size() >= 2 && lines.back() == versions) {
    FUZZ_CHECK(lines[lines.size() - 2] == L"Nothing was changed");
    lines.pop_back();
  }
  if (checked && CheckRefusal(lines)) {
    FUZZ_CHECK(!success);
    return;
  }
  // A version-2 or version-3 run that a failed record stopped says last what became of
  // what it staged: taken back, or left for the next run to finish.
  if (checked && lines.size() >= 2 && lines[lines.size() - 2].starts_with(L"Failed patches: ")) {
    FUZZ_CHECK(lines.back() == L"Nothing was changed" || lines.back() == L"Stopped: run the patch again to finish");
    lines.pop_back();
  }
  // "Processing patch N", one per record with a body, in table order, each
  // followed by its outcome; then the closing line.
  std::size_t line = 0;
  uint32_t failed = 0;
  for (const PayloadRecord& record : payload.records) {
    if (record.Skipped() || line >= lines.size() || IsRunFailure(lines[line])) continue;
    std::wstringstream expected;
    expected << L"Processing patch " << static_cast<int32_t>(record.resourceNumber);
    FUZZ_CHECK(lines[line] == expected.str());
    ++line;
    FUZZ_CHECK(line < lines.size());
    if (IsRunFailure(lines[line])) break;
    FUZZ_CHECK(lines[line] == L"Done" || lines[line] == L"Failed" ||
               (checked && lines[line] == L"Already applied"));
    if (lines[line] == L"Failed") ++failed;
    ++line;
    // A checked run stops at its first failed record: all or nothing.
    if (checked && failed != 0) break;
  }
  FUZZ_CHECK(line + 1 == lines.size());
  const std::wstring& last = lines.back();
  if (success) {
    FUZZ_CHECK(last == L"Success!" && failed == 0);
  } else if (!IsRunFailure(last)) {
    FUZZ_CHECK(failed != 0 && last == L"Failed patches: " + std::to_wstring(failed));
  }
}

void CheckArchive(const Payload& payload, const std::vector<uint8_t>& file) {
  Game& game = TheGame();
  FUZZ_CHECK(ListFolder() == game.listing);

  const std::vector<uint8_t> index = Read(kIndexFileName);
  const uint64_t dataSize = Read(kDataFileName).size();
  FUZZ_CHECK(index.size() == game.index.size());
  FUZZ_CHECK(dataSize >= game.dataSize);
  for (uint32_t number = 0; number < kEntryCount; ++number) {
    const std::size_t at = number * sizeof(ArchiveIndexEntry);
    if (std::memcmp(index.data() + at, game.index.data() + at, sizeof(ArchiveIndexEntry)) == 0) continue;
    ArchiveIndexEntry entry;
    std::memcpy(&entry, index.data() + at, sizeof entry);
    FUZZ_CHECK(entry.attributes == 0 && entry.size == entry.secondSize);
    FUZZ_CHECK(entry.offset + SlotLength(entry.size) <= dataSize);
  }

  for (uint32_t i = 0; i < kLooseFiles; ++i) {
    const std::vector<uint8_t> loose = Read(LooseFilePath(L"res", i));
    if (loose == game.looseFiles[i]) continue;
    bool matches = false;
    // What the file holds now, and its hash: a version-2 or 3 record writes
    // only the bytes its result hash names.
    LooseFileHeader header{};
    FUZZ_CHECK(loose.size() >= sizeof header);
    std::memcpy(&header, loose.data(), sizeof header);
    FUZZ_CHECK(header.totalSize <= loose.size() - sizeof header);
    const std::span<const uint8_t> now(loose.data() + sizeof header, header.totalSize);
    FUZZ_CHECK(loose == LooseFileImage(now));
    const ContentHash hash = HashOf(now);
    for (const PayloadRecord& record : payload.records) {
      if (record.resourceNumber != kEntryCount + i || record.Skipped()) continue;
      if (IsCheckedVersion(payload.version)) {
        if (record.resultHash == hash) matches = true;
        continue;
      }
      if (!BodyLiesInside(record, payload)) continue;
      const std::span<const uint8_t> body(file.data() + record.bodyOffset, record.storedSize);
      if (loose == LooseFileImage(body)) matches = true;
    }
    FUZZ_CHECK(matches);
  }
}

// Mutations of a version-2 or version-3 payload nearly always break its
// seal, and the run then stops before anything the seal protects. To reach
// the checks, the choice of alternatives and the decoders, the seal of such
// an input is made right again (as a writer at fault would make it) over
// every byte it covers, version 3's versions block included, unless its
// reserved word says otherwise.
void ResealChecked(std::vector<uint8_t>& file) {
  if (file.size() < kSealDistance) return;
  PayloadTrailer trailer;
  std::memcpy(&trailer, file.data() + file.size() - sizeof trailer, sizeof trailer);
  if (!IsCheckedVersion(trailer.header.version)) return;
  PayloadSeal seal;
  const std::size_t sealAt = file.size() - kSealDistance;
  std::memcpy(&seal, file.data() + sealAt, sizeof seal);
  if (seal.reserved != 0 || seal.coveredStart > sealAt) return;
  std::memcpy(seal.magic, kSealMagic, sizeof seal.magic);
  seal.version = kSealVersion;
  ContentDigest digest;
  digest.Update(std::span(file).subspan(seal.coveredStart, sealAt - seal.coveredStart));
  const ContentDigest::Value value = FinishSealDigest(digest, seal, trailer);
  std::memcpy(seal.digest, value.data(), sizeof seal.digest);
  std::memcpy(file.data() + sealAt, &seal, sizeof seal);
}

}  // namespace
}  // namespace qpx::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qpx::fuzz::EnterWorkFolder("payload");
  qpx::fuzz::SetUpGame();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qpx;
  using namespace qpx::fuzz;
  Game& game = TheGame();
  std::vector<uint8_t> file(data, data + size);
  ResealChecked(file);
  FUZZ_CHECK(game.folder.Write(*game.fs, L""));
  FUZZ_CHECK(WriteWholeFile(*game.fs, kPatcherName, file));

  Payload payload;
  PayloadError error = PayloadError::CantFind;
  {
    const auto patcher = game.fs->Open(kPatcherName, OpenMode_Read);
    FUZZ_CHECK(patcher != nullptr);
    error = ReadPayload(*patcher, payload);
    CTransferBuffer buffer;
    if (error == PayloadError::None) error = VerifySeal(*patcher, payload, buffer);
  }
  if (error == PayloadError::None) {
    const uint64_t tableBytes = payload.TableBytes();
    FUZZ_CHECK(tableBytes == 0 || LiesInside(payload.tableOffset, tableBytes, static_cast<int64_t>(file.size())));
  } else if (error != PayloadError::Damaged) {
    FUZZ_CHECK(payload.records.empty());
  }

  // What the run will print is modelled on the records it takes: of a
  // version-3 payload, the alternative of each resource that this game
  // holds the base of, chosen by the patcher's own code.
  Payload taken = payload;
  if (error == PayloadError::None && payload.version == kPayloadVersion3) {
    ResourceArchive archive(*game.fs);
    FUZZ_CHECK(archive.OpenArchive());
    static std::vector<uint8_t> chunk(kMaxTransferChunk);
    taken = SelectAlternatives(archive, payload, chunk).payload;
  }

  CapturedConsole console;
  const bool success = RunPatcher(*game.fs, std::filesystem::absolute(kPatcherName).wstring(), console);
  CheckMessages(console.Text(), success, error, taken);
  CheckArchive(payload, file);
  // A payload the run refuses, or a checked payload whose checks fail,
  // leaves the archive as it was.
  const std::wstring text = console.Text();
  const std::wstring versions = error == PayloadError::None ? VersionsLine(payload) : std::wstring();
  if (error != PayloadError::None || text.ends_with(L"Nothing was changed\n") ||
      (!versions.empty() && text.ends_with(L"Nothing was changed\n" + versions + L"\n"))) {
    FUZZ_CHECK(Read(kIndexFileName) == game.index);
    FUZZ_CHECK(Read(kDataFileName).size() == game.dataSize);
    for (uint32_t i = 0; i < kLooseFiles; ++i) FUZZ_CHECK(Read(LooseFilePath(L"res", i)) == game.looseFiles[i]);
  }
  return 0;
}

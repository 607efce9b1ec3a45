#pragma once
// Helpers shared by the test suites: scratch folders and patch files.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "src/app/payload/PatchPayload.h"
#include "src/filesystem/ProcessContext.h"

namespace qpx::test {

#ifdef QPX_UNDER_SANITIZER
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif

// A fresh empty folder, made the current directory for its life (the
// archive is always found in the current directory).
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The absolute wide path of `name` inside the folder.
  std::wstring Wide(const std::filesystem::path& name) const { return (path_ / name).wstring(); }

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
};

std::vector<uint8_t> ReadFile(const std::filesystem::path& path);

// Every regular file under `root` with its bytes, by its path inside it
// ("res/D00002.bin"), but those named `except` (the patcher, say).
std::map<std::string, std::vector<uint8_t>> ReadFolder(const std::filesystem::path& root,
                                                       const std::string& except = std::string());
void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

struct TestPatch {
  uint32_t resourceNumber;
  std::vector<uint8_t> body;
};

// `image` followed by a payload laid out as a writer lays it out: the
// bodies in order, the table, the trailer (version 1).
std::vector<uint8_t> BuildPatchFile(const std::vector<uint8_t>& image, const std::vector<TestPatch>& patches);

// The same, sealed as qpxtool seals it: zeros to make the length a multiple
// of 8, then the seal, before the trailer.
std::vector<uint8_t> BuildSealedPatchFile(const std::vector<uint8_t>& image, const std::vector<TestPatch>& patches);

// Seals a file that ends with its table: zero padding, a seal covering
// every byte from `coveredStart`, and the trailer (version 1).
void AppendSealAndTrailer(std::vector<uint8_t>& file, uint64_t coveredStart, uint32_t tableOffset,
                          uint32_t recordCount);

// A record of a version-2 test patch: the resource's new bytes, stored as
// they are, compressed, or as a delta against `base`, and, when given, the
// bytes it replaces (`base`).
struct CheckedPatch {
  uint32_t resourceNumber;
  std::vector<uint8_t> body;
  BodyEncoding coding = BodyEncoding::Stored;
  std::optional<std::vector<uint8_t>> base;
};

// `image` followed by a sealed version-2 payload of `patches`, laid out as
// qpxtool lays it out: the bodies in order, the table of 80-byte records,
// zeros to a multiple of 8, the seal, the trailer.
// LZMA-blocks bodies (BodyEncoding::LzmaBlocks) are cut in blocks of this.
// `text` as the patcher's messages show it on this platform: "res\\"
// with the separator the player's system uses.
inline std::wstring Shown(std::wstring text) {
  for (std::size_t at = text.find(L"res\\"); at != std::wstring::npos; at = text.find(L"res\\", at + 4)) {
    text[at + 3] = ShownPathSeparator();
  }
  return text;
}

inline constexpr uint64_t kTestLzmaBlockSize = 16u << 10;
std::vector<uint8_t> BuildCheckedPatchFile(const std::vector<uint8_t>& image, const std::vector<CheckedPatch>& patches);

// Appends zero padding, a seal over every byte of `file` from
// `coveredStart`, and `trailer`: the end of every sealed payload.
void AppendSeal(std::vector<uint8_t>& file, uint64_t coveredStart, const PayloadTrailer& trailer);

// Appends a table of version-2 records, zero padding, a seal over every
// byte from `coveredStart`, and a version-2 trailer, for forged payloads
// (whose seal still holds).
void AppendCheckedTable(std::vector<uint8_t>& file, uint64_t coveredStart, const std::vector<PatchRecordV2>& records);

// Text that compresses (words in an order of `seed`), so that LZMA bodies
// are chosen: the same (seed, size) always gives the same bytes.
std::vector<uint8_t> Words(uint32_t seed, std::size_t size);

// The content hash of `bytes`: the payload's own.
using qpx::HashOf;

// A minimal PE image (PE32, or PE32+ with `wide`) of `length` bytes whose
// security directory names `size` bytes at `offset`.
std::vector<uint8_t> PeImage(std::size_t length, uint32_t offset, uint32_t size, bool wide = false);

// `patch` signed as Authenticode does it: its first 512 bytes become a PE
// header, then zeros to a multiple of 8, a certificate table of 1000 bytes,
// and the security directory naming it.
std::vector<uint8_t> Sign(std::vector<uint8_t> patch, bool wide = false);

// A small Windows program laid out as the linker lays one out, whose
// resources can be branded: its headers (a checksum set), .text, .rsrc
// holding an empty resource tree, then .reloc of `relocations` (at most
// 512 bytes); with `after`, another section follows the relocations.
std::vector<uint8_t> BrandablePeImage(const std::vector<uint8_t>& relocations, bool after = false);

// The PE checksum of `image`, as Windows computes it.
uint32_t PeChecksumOf(const std::vector<uint8_t>& image);

// The icon file (.ico) of `images` (PNG or bitmap bytes), each said to be
// `size` pixels square.
std::vector<uint8_t> IconFile(const std::vector<std::vector<uint8_t>>& images, uint8_t size = 32);

// Whether `exe` holds the version text `key` = `value` as a version
// resource stores it (UTF-16 key, zeros to a multiple of 4, UTF-16 value
// ending in a zero), `value` as UTF-8.
bool HasVersionText(const std::vector<uint8_t>& exe, const std::string& key, const std::string& value);

// Appends a table of `records` and a trailer to `file` as given, without
// any check, for forged payloads. Returns the table's offset.
uint32_t AppendTable(std::vector<uint8_t>& file, const std::vector<PatchRecord>& records);
void AppendTrailer(std::vector<uint8_t>& file, uint32_t version, uint32_t tableOffset, uint32_t recordCount,
                   uint32_t reserved = 1);

}  // namespace qpx::test

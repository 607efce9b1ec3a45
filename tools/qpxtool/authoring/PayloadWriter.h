#pragma once
// Writes a patch: the patcher program (the stub) followed by a payload laid
// out as the patcher reads it: the bodies back to back in record order,
// the record table, then (unless asked not to) zero padding and the seal,
// then the 24-byte trailer.

#include <cstdint>
#include <string>
#include <vector>

#include "src/app/payload/PatchPayload.h"
#include "src/filesystem/FileSystem.h"
#include "tools/qpxtool/authoring/BodyEncoder.h"
#include "tools/qpxtool/authoring/BodyList.h"
#include "tools/qpxtool/authoring/Branding.h"

namespace qpx::tool {

// How a patch is written: its payload's version, and how hard its bodies
// are compressed (version 2).
struct FormatOptions {
  unsigned format = 0;  // 0: not given (version 2)
  int level = 9;
  bool noDelta = false;  // diff and reverse: no delta bodies
};

struct BuildRequest {
  std::wstring stub;
  std::string stubName;  // how messages name it: --stub "as typed", or the installed stub's path
  std::wstring out;
  std::string outText;
  std::wstring manifest;  // the manifest the bodies were named in; empty: none
  std::vector<BodySource> bodies;
  bool replacePayload = false;
  uint32_t format = kPayloadVersion2;  // kPayloadVersion1: the version-1 layout
  bool seal = true;  // version 1 only; false: the plain layout, without a seal or padding
  EncodeSettings encode;  // version 2
  bool anyStub = false;        // build on a stub that does not carry the patcher's marker
  bool allowNoBodies = false;  // a patch of no records is what was asked for
  bool force = false;          // the output may replace a file that exists (--force)
  // A patch for several old versions (version 3): the new version's label,
  // then each old version's, in the order of the bodies' `versions` bits.
  // Empty: a patch for one version (version 2, or 1).
  std::vector<std::string> labels;
  // The publisher's file properties and icon, written into the stub's
  // program; none: the program as it is.
  Branding branding;
};

struct BuildResult {
  uint64_t programLength = 0;  // bytes of the stub kept in front of the payload
  uint64_t strippedBytes = 0;  // bytes of an old payload left out (--replace-payload)
  uint64_t bodyBytes = 0;      // of the bodies' new bytes
  uint64_t storedBytes = 0;    // of the bodies as stored (compressed, where that is smaller)
  uint64_t tableOffset = 0;
  std::vector<PayloadRecord> records;  // as written
  std::vector<std::string> notes;      // said of some bodies, for the report
  std::size_t sharedBodies = 0;  // version 3: records whose whole body an earlier alternative stored
  uint32_t sealPadding = 0;  // zeros before the seal, for a length that is a multiple of 8
  uint64_t fileLength = 0;
  std::vector<std::string> warnings;
};

// Sets the payload's version and compression of `request` from the
// options; `noSeal` asks for the plain version-1 layout. Fails (bad input)
// for a combination that cannot be written.
void ApplyFormat(const FormatOptions& options, bool noSeal, BuildRequest& request);

// What was written, for the report line: "format 2, sealed; 3 of 4 bodies
// compressed".
std::string Described(const BuildRequest& request, const BuildResult& result);

// Sets the stub of `request`: `given` (as typed after --stub): "windows"
// (also when empty) or "linux" for a patcher installed with the tool
// (InstalledStub), else a file, which must exist.
void ChooseStub(CFileSystem& fileSystem, const std::string& given, BuildRequest& request);

// Builds the patch, streaming every byte through one fixed buffer, into a
// fresh file beside the output that is renamed over it only when complete.
// Throws ToolError: kExitBadInput for every refusal (nothing is written),
// kExitFailedCheck when reading or writing fails part way (the output is
// left as it was).
BuildResult BuildPatch(CFileSystem& fileSystem, const BuildRequest& request);

// BuildPatch of `bodies` (maybe none) into `out` in `format`, for the
// commands that find their bodies in game folders (diff, reverse): the rest
// of `request` (its stub, its labels) as they set it.
BuildResult BuildPatchOfBodies(CFileSystem& fileSystem, BuildRequest& request, const std::string& out,
                               std::vector<BodySource> bodies, const FormatOptions& format, bool anyStub);

// The versions block of a version-3 payload naming `labels` (the new
// version's first): its header, then each label's length byte and bytes.
std::vector<uint8_t> VersionsBlock(const std::vector<std::string>& labels);

// Whether `file` carries the marker of our patcher somewhere in it. Streams
// through the file; false also when it cannot be read.
bool CarriesPatcherMarker(CAbstractFile& file);

// Whether `file` is a patcher that reads version-2 payloads (it carries the
// marker saying so; older patchers do not).
bool ReadsVersion2(CAbstractFile& file);

// Whether `file` is a patcher that reads version-3 payloads, patches for
// several old versions of a game.
bool ReadsVersion3(CAbstractFile& file);

// Whether `file` is a patcher that reads the second body codings (LZMA in
// blocks, deltas of program code): a payload holding a body for which
// NeedsCodecs2 holds goes only on such a patcher.
bool ReadsCodecs2(CAbstractFile& file);

// Where the program in front of a payload ends, for a payload that reads
// without error: the smallest offset of its table and of its non-empty
// bodies, provided that those pieces together cover every byte from there
// to the trailer (as every payload writer leaves them). False,
// with the reason, when the payload is laid out otherwise: a gap, a piece
// beyond the trailer or outside the file, or no program left at all.
bool FindProgramEnd(const Payload& payload, uint64_t& programEnd, std::string& why);

}  // namespace qpx::tool

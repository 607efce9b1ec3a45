#pragma once
// The bodies of a patch as the author names them: the lines of a manifest
// ("NUMBER FILE") and NUMBER=FILE arguments, in that order.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "src/filesystem/FileSystem.h"

namespace qpx::tool {

// A part of a file: `size` bytes from `offset`.
struct FileRange {
  uint64_t offset = 0;
  uint64_t size = 0;
};

struct BodySource {
  uint32_t resourceNumber = 0;
  std::wstring path;   // as the file layer opens it
  std::string origin;  // where it was named, for messages: a manifest line, an argument or a resource
  // The body's bytes within the file (an entry's bytes in DATA1.QPX, a loose
  // file's after its header); none: the whole file.
  std::optional<FileRange> range;
  // For a patch made against a known game: loads the resource's bytes
  // before the patch (throws ToolError when they cannot be read). Empty:
  // the patch does not know them.
  std::function<std::vector<uint8_t>()> base;
  // A patch for several old versions: the old versions (bit i: the label
  // after the new version's, i + 1) whose bytes `base` loads.
  uint64_t versions = 0;
};

// The manifest of a folder written by unpack; its presence marks such a folder.
inline constexpr const char* kUnpackedManifestName = "patch.manifest";

// The file of resource `number` in an unpacked folder, relative to it, with
// '/' between folders: "entries/00010.bin", "loose/D00002.bin".
std::string UnpackedFileName(uint32_t number);

// A file of an unpacked tree's folder, placed: the resource it holds.
struct TreeFile {
  uint32_t number = 0;
  std::wstring path;
  uint64_t size = 0;
};

// The files of `folder`, an unpacked tree's entries/ (loose/ when `loose`):
// those named as UnpackedFileName names them ("NNNNN.bin", "DNNNNN.bin")
// and regular files. Every other entry is a line of `refusals`, naming it.
// Throws ToolError (kExitBadInput) when the folder cannot be listed.
std::vector<TreeFile> PlaceTreeFiles(CFileSystem& fileSystem, const std::wstring& folder, bool loose,
                                     std::vector<std::string>& refusals);

// Refuses (bad input) `directory` (named `name` in messages) as a folder to
// write into unless it is missing or an empty folder.
void RefuseUnfitOutputFolder(CFileSystem& fileSystem, const std::wstring& directory, const std::string& name);

// Writes each body (each with its range) as UnpackedFileName's file in
// `directory`, then `manifestText` as its manifest, showing progress as
// `label`: into a fresh folder beside `directory` (missing, or an empty
// folder), renamed over it once complete; an interruption or a failure
// leaves nothing. Throws ToolError (kExitFailedCheck) when reading or
// writing fails.
void WriteBodyFolder(CFileSystem& fileSystem, const std::wstring& directory, const std::string& directoryText,
                     const std::vector<BodySource>& bodies, const std::string& manifestText, const std::string& label);

// Largest manifest read: thousands of lines take a few hundred kilobytes.
inline constexpr uint32_t kManifestLimit = 4u * 1024u * 1024u;

// Appends the bodies named by the manifest at `manifestPath` (`manifestText`
// is how the user spelled it). Blank lines and lines whose first non-blank
// character is '#' are skipped; every other line is a resource number, blanks,
// then the body's file, relative to the manifest's folder unless absolute.
// Throws ToolError naming the line for anything malformed or out of range.
void ReadManifest(CFileSystem& fileSystem, const std::wstring& manifestPath, const std::string& manifestText,
                  std::vector<BodySource>& bodies);

// Appends the body named by one NUMBER=FILE argument (FILE relative to the
// current directory). Throws ToolError naming the argument.
void ParseBodyArgument(const std::string& argument, std::vector<BodySource>& bodies);

}  // namespace qpx::tool

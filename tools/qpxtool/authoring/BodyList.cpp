#include "tools/qpxtool/authoring/BodyList.h"

#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "src/paths/Paths.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {
namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

uint32_t CheckedNumber(std::string_view text, const std::string& origin) {
  uint32_t number = 0;
  if (!ParseDecimal(text, number)) {
    Fail(kExitBadInput, origin + ": " + Quoted(std::string(text)) +
                            " is not a resource number (decimal digits, 0..2714)");
  }
  if (number >= kResourceLimit) {
    Fail(kExitBadInput, origin + ": resource number " + std::to_string(number) +
                            " is outside 0..2714 (0..1206 entries, 1207..2714 loose files)");
  }
  return number;
}

}  // namespace

std::string UnpackedFileName(uint32_t number) {
  if (number >= kEntryCount) return "loose/" + WideToText(LooseFileName(number - kEntryCount));
  std::string digits = std::to_string(number);
  return "entries/" + std::string(5 - digits.size(), '0') + digits + ".bin";
}

namespace {

// The number of a file of an unpacked tree: "NNNNN.bin" in entries/,
// "DNNNNN.bin" in loose/. False for any other name.
bool NumberOfName(const std::wstring& name, bool loose, uint32_t& number) {
  const std::string text = WideToText(name);
  const std::size_t digits = loose ? 1 : 0;
  if (text.size() != digits + 9 || !text.ends_with(".bin") || (loose && text[0] != 'D')) return false;
  uint32_t index = 0;
  if (!ParseDecimal(std::string_view(text).substr(digits, 5), index)) return false;
  if (loose ? index >= kResourceLimit - kEntryCount : index >= kEntryCount) return false;
  number = loose ? kEntryCount + index : index;
  return true;
}

}  // namespace

std::vector<TreeFile> PlaceTreeFiles(CFileSystem& fileSystem, const std::wstring& folder, bool loose,
                                     std::vector<std::string>& refusals) {
  std::vector<DirectoryEntry> entries;
  if (!fileSystem.ListDirectory(folder.c_str(), entries)) {
    Fail(kExitBadInput, Quoted(PathToText(folder)) + ": cannot be listed");
  }
  std::vector<TreeFile> files;
  for (const DirectoryEntry& entry : entries) {
    const std::wstring path = JoinDirectory(folder, entry.name);
    uint32_t number = 0;
    if (!NumberOfName(entry.name, loose, number)) {
      refusals.push_back(Quoted(PathToText(path)) + " is no resource's file (" +
                         (loose ? "loose/D00000.bin .. loose/D01507.bin" : "entries/00000.bin .. entries/01206.bin") +
                         ")");
    } else if (entry.kind != PathKind::File) {
      refusals.push_back(Quoted(PathToText(path)) + " is not a regular file");
    } else {
      files.push_back(TreeFile{number, path, entry.size});
    }
  }
  return files;
}

void ReadManifest(CFileSystem& fileSystem, const std::wstring& manifestPath, const std::string& manifestText,
                  std::vector<BodySource>& bodies) {
  const std::string name = "manifest " + Quoted(manifestText);
  switch (fileSystem.KindOf(manifestPath.c_str())) {
    case PathKind::Missing: Fail(kExitBadInput, name + ": no such file");
    case PathKind::Directory: Fail(kExitBadInput, name + ": is a folder, not a file");
    case PathKind::Other: Fail(kExitBadInput, name + ": is not a regular file");
    default: break;
  }
  std::string text;
  if (!ReadSmallFile(fileSystem, manifestPath, kManifestLimit, text)) {
    Fail(kExitBadInput, name + ": cannot be read (or is larger than " + Grouped(kManifestLimit) + " bytes)");
  }
  std::string_view rest = text;
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);  // a UTF-8 byte order mark

  const std::wstring directory = DirectoryOf(manifestPath);
  for (int lineNumber = 1; !rest.empty(); ++lineNumber) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = Trim(line);
    if (line.empty() || line.front() == '#') continue;

    const std::string origin = name + " line " + std::to_string(lineNumber);
    const std::size_t blank = line.find_first_of(kBlanks);
    if (blank == std::string_view::npos) {
      Fail(kExitBadInput, origin + ": expected NUMBER FILE, got " + Quoted(std::string(line)));
    }
    BodySource body;
    body.resourceNumber = CheckedNumber(line.substr(0, blank), origin);
    const std::wstring file = PathFromText(std::string(Trim(line.substr(blank))));
    body.path = IsAbsolutePath(file) ? file : directory + file;
    body.origin = origin;
    bodies.push_back(std::move(body));
  }
}

void ParseBodyArgument(const std::string& argument, std::vector<BodySource>& bodies) {
  const std::string origin = "argument " + Quoted(argument);
  const std::size_t equals = argument.find('=');
  if (equals == std::string::npos || equals + 1 == argument.size()) {
    Fail(kExitBadInput, origin + ": expected NUMBER=FILE");
  }
  BodySource body;
  body.resourceNumber = CheckedNumber(std::string_view(argument).substr(0, equals), origin);
  body.path = PathFromText(argument.substr(equals + 1));
  body.origin = origin;
  bodies.push_back(std::move(body));
}

}  // namespace qpx::tool

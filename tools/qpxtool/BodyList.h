#pragma once
// The bodies of a patch as the author names them: the lines of a manifest
// ("NUMBER FILE") and NUMBER=FILE arguments, in that order.

#include <cstdint>
#include <string>
#include <vector>

#include "filesystem/FileSystem.h"

namespace qpx::tool {

struct BodySource {
  uint32_t resourceNumber = 0;
  std::wstring path;   // as the file layer opens it
  std::string origin;  // where it was named, for messages: a manifest line or an argument
};

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

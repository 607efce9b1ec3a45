#pragma once
// The subcommands of qpxtool. Each takes its parsed options, prints its
// report to standard output and returns its exit status; a refusal or
// failure is thrown as ToolError, which main reports on standard error.

#include <string>
#include <vector>

#include "filesystem/FileSystem.h"

namespace qpx::tool {

struct BuildOptions {
  std::string stub;
  std::string out;
  std::string manifest;  // empty: none
  std::vector<std::string> pairs;  // NUMBER=FILE
  bool replacePayload = false;
  bool noSeal = false;
};
int RunBuild(CFileSystem& fileSystem, const BuildOptions& options);

struct ListOptions {
  std::string patch;
};
int RunList(CFileSystem& fileSystem, const ListOptions& options);

struct VerifyOptions {
  std::string patch;
  std::string gameDirectory;
};
int RunVerify(CFileSystem& fileSystem, const VerifyOptions& options);

struct ExtractOptions {
  std::string gameDirectory;
  std::string number;
  std::string out;
};
int RunExtract(CFileSystem& fileSystem, const ExtractOptions& options);

struct SampleOptions {
  std::string gameDirectory;
};
int RunSample(CFileSystem& fileSystem, const SampleOptions& options);

}  // namespace qpx::tool

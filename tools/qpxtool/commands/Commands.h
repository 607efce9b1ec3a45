#pragma once
// The subcommands of qpxtool. Each takes its parsed options, prints its
// report to standard output and returns its exit status; a refusal or
// failure is thrown as ToolError, which main reports on standard error.

#include <string>
#include <vector>

#include "src/filesystem/FileSystem.h"
#include "tools/qpxtool/authoring/PayloadWriter.h"

namespace qpx::tool {

struct BuildOptions {
  FormatOptions format;
  std::string stub;
  std::string out;
  std::string manifest;  // empty: none
  std::vector<std::string> pairs;  // NUMBER=FILE
  bool replacePayload = false;
  bool noSeal = false;
  bool anyStub = false;
  bool json = false;  // a JSON report on standard output instead of the report line
  BrandingOptions branding;
  bool force = false;  // --out may replace a file that exists
};
int RunBuild(CFileSystem& fileSystem, const BuildOptions& options);

struct ListOptions {
  std::string patch;
  bool json = false;  // a JSON report on standard output instead of the table
};
int RunList(CFileSystem& fileSystem, const ListOptions& options);

struct VerifyOptions {
  std::string patch;
  std::string gameDirectory;
  bool json = false;  // a JSON report on standard output instead of the table
};
int RunVerify(CFileSystem& fileSystem, const VerifyOptions& options);

struct ExtractOptions {
  std::string gameDirectory;  // or a patch: its record's body, decoded
  std::string number;
  std::string out;
  std::string base;  // with a patch: the game folder a delta body is decoded against
  bool json = false;  // a JSON report on standard output instead of the report line
  bool force = false;  // OUT may replace a file that exists
};
int RunExtract(CFileSystem& fileSystem, const ExtractOptions& options);

struct UnpackOptions {
  std::string gameDirectory;
  std::string outDirectory;
  bool json = false;  // a JSON report on standard output instead of the report line
};
int RunUnpack(CFileSystem& fileSystem, const UnpackOptions& options);

struct DiffOptions {
  FormatOptions format;
  std::string original;
  std::string modified;
  // OLD... NEW: a patch for several old versions (three folders or more;
  // with two, `original` and `modified` are the first and the second).
  std::vector<std::string> folders;
  std::vector<std::string> labels;  // FOLDER=NAME: an old version's label (default: its folder's name)
  std::string labelNew;             // the new version's label (default: its folder's name)
  std::string stub;
  std::string out;
  std::string manifestOut;  // empty: write a patch to `out`
  bool anyStub = false;
  bool allowEmpty = false;  // folders that hold the same resources still give a patch (of no records)
  BrandingOptions branding;
  bool json = false;        // a JSON report on standard output instead of the summary
  bool force = false;       // --out may replace a file that exists
};
int RunDiff(CFileSystem& fileSystem, const DiffOptions& options);

struct PlanOptions {
  std::string patch;
  std::string gameDirectory;
  bool json = false;  // a JSON report on standard output instead of the table
};
int RunPlan(CFileSystem& fileSystem, const PlanOptions& options);

struct ReverseOptions {
  FormatOptions format;
  std::string patch;
  std::string gameDirectory;
  std::string stub;
  std::string out;
  bool anyStub = false;
  bool json = false;  // a JSON report on standard output instead of the report line
  bool force = false;  // --out may replace a file that exists
};
int RunReverse(CFileSystem& fileSystem, const ReverseOptions& options);

struct PackOptions {
  std::string tree;  // a folder written by unpack, or its manifest
  std::string gameDirectory;
  bool json = false;  // a JSON report on standard output instead of the report line
};
int RunPack(CFileSystem& fileSystem, const PackOptions& options);

struct SampleOptions {
  std::string gameDirectory;
  bool json = false;  // a JSON report on standard output instead of the report line
};
int RunSample(CFileSystem& fileSystem, const SampleOptions& options);

}  // namespace qpx::tool

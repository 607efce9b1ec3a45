#pragma once
// Reports for scripts (--json): one JSON document on standard output, in
// place of the tables and lines written for people; messages still go to
// standard error. Numbers are written as numbers, 64-bit sizes and offsets
// exactly.
//
// One vocabulary for every command: a document opens with "schema"
// ("qpxtool-COMMAND/VERSION", the schema it follows, shipped beside the
// tool); the same figure has the same key wherever it is reported
// ("index" a record's place in the table, "resource" and "target" a
// resource's number and name, "storedBytes" a body's bytes as stored,
// "resultBytes" the resource's bytes it makes); every key of a command's
// document is there in each of its documents, null where it does not
// apply; and beside every reason for people stands a "code" from one
// table, for scripts to match.

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "src/app/run/Verdict.h"
#include "src/filesystem/FileSystem.h"
#include "tools/qpxtool/authoring/PatchReader.h"
#include "tools/qpxtool/authoring/PayloadWriter.h"

namespace qpx::tool {

// Keys stay in the order they are set, as the tables show the figures.
using Json = nlohmann::ordered_json;

// The version of every document's schema: raised when a key of any of them
// changes its meaning or goes.
inline constexpr int kJsonSchemaVersion = 1;

// A new document of `command` ("list"): its "schema" key alone.
Json JsonDocument(const char* command);

// Leaves out every line the command would write to standard output, so
// that it holds the document alone.
void StartJsonReport();

// Writes `document` to standard output. Text that is not valid UTF-8 (a
// POSIX path of raw bytes) is written with U+FFFD in place of those bytes.
void WriteJsonReport(const Json& document);

// The codes beside the reasons. Each verdict of the run's judge has its
// own; these name what no verdict does.
inline constexpr const char* kCodeBodyOutsidePatch = "body-outside-patch";  // the patcher cannot read the body: it stops
inline constexpr const char* kCodeNotReached = "not-reached";               // after a record that stops the run
inline constexpr const char* kCodeBodyDamaged = "body-damaged";  // the body does not decode to the resource it names
inline constexpr const char* kCodeDiffers = "differs";           // version 1: the resource does not hold the body
inline constexpr const char* kCodeFailed = "failed";             // version 1: the patcher prints "Failed"
inline constexpr const char* kCodeDiskFull = "disk-full";        // the game's disk is too small for the run
inline constexpr const char* kCodeRecordsRefused = "records-refused";  // some records fail the checks

// The code of a verdict ("another-version").
const char* VerdictCode(Verdict verdict);
// The code of a record the patcher fails or never reaches without judging
// the game; null for one it takes.
Json FateCode(RecordFate fate);

// Where a patch runs, from PatchKindText: "windows", "linux" or null.
Json RunsOnJson(const std::string& kind);

// The labels of the old versions in `versions` (bit i: label i of
// `oldLabels`).
Json VersionsJson(const std::vector<std::string>& oldLabels, uint64_t versions);
// A record of the table as every document names it: its index, resource,
// target, offset, stored and result bytes, encoding, base and (`oldLabels`
// given: version 3) the old versions it is for.
Json TableRecordJson(const PayloadRecord& record, std::size_t index, bool checked,
                     const std::vector<std::string>* oldLabels);

// A written patch, as build, diff and reverse report it: what list says of
// it, its records without their fates. `oldLabels`: a patch for several old
// versions.
Json PatchOutputJson(CFileSystem& fileSystem, const std::string& out, const BuildRequest& request,
                     const BuildResult& result, const std::vector<std::string>* oldLabels);

}  // namespace qpx::tool

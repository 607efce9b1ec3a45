#pragma once
// Reports for scripts (--json): one JSON document on standard output, in
// place of the tables and lines written for people; messages still go to
// standard error. Numbers are written as numbers, 64-bit sizes and offsets
// exactly.

#include <nlohmann/json.hpp>

namespace qpx::tool {

// Keys stay in the order they are set, as the tables show the figures.
using Json = nlohmann::ordered_json;

// Leaves out every line the command would write to standard output, so
// that it holds the document alone.
void StartJsonReport();

// Writes `document` to standard output. Text that is not valid UTF-8 (a
// POSIX path of raw bytes) is written with U+FFFD in place of those bytes.
void WriteJsonReport(const Json& document);

}  // namespace qpx::tool

#include "tools/qpxtool/commands/ToolJson.h"

#include <cstdio>

#include "src/app/run/RunMessages.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {

Json JsonDocument(const char* command) {
  Json document;
  document["schema"] = "qpxtool-" + std::string(command) + "/" + std::to_string(kJsonSchemaVersion);
  return document;
}

void StartJsonReport() { SetTextReport(false); }

void WriteJsonReport(const Json& document) {
  WriteText(stdout, document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
  std::fflush(stdout);
}

// Scripts match these words: a verdict keeps its code for as long as the
// schema's version stays.
const char* VerdictCode(Verdict verdict) {
  switch (verdict) {
    case Verdict::Write: return "write";
    case Verdict::Rewrite: return "rewrite";
    case Verdict::AlreadyApplied: return "already-applied";
    case Verdict::Skipped: return "skipped";
    case Verdict::Base: return "base";
    case Verdict::OutOfRange: return "out-of-range";
    case Verdict::TooLarge: return "too-large";
    case Verdict::Missing: return "missing";
    case Verdict::NotWritable: return "not-writable";
    case Verdict::Unreadable: return "unreadable";
    case Verdict::OutsideData: return "outside-data";
    case Verdict::Malformed: return "malformed";
    case Verdict::AnotherVersion: return "another-version";
  }
  return "unknown";
}

Json FateCode(RecordFate fate) {
  switch (fate) {
    case RecordFate::OutOfRange: return VerdictCode(Verdict::OutOfRange);
    case RecordFate::TooLarge: return VerdictCode(Verdict::TooLarge);
    case RecordFate::Unreadable: return kCodeBodyOutsidePatch;
    case RecordFate::NotReached: return kCodeNotReached;
    default: return nullptr;
  }
}

Json RunsOnJson(const std::string& kind) {
  return kind == "a Windows patch" ? Json("windows") : kind == "a Linux patch" ? Json("linux") : Json(nullptr);
}

Json VersionsJson(const std::vector<std::string>& oldLabels, uint64_t versions) {
  Json named = Json::array();
  for (std::size_t i = 0; i < oldLabels.size() && i < 64; ++i) {
    if ((versions >> i & 1) != 0) named.push_back(oldLabels[i]);
  }
  return named;
}

Json TableRecordJson(const PayloadRecord& record, std::size_t index, bool checked,
                     const std::vector<std::string>* oldLabels) {
  return {{"index", index},
          {"resource", record.resourceNumber},
          {"target", TargetName(record.resourceNumber)},
          {"offset", record.bodyOffset},
          {"storedBytes", record.storedSize},
          {"encoding", checked ? Json(EncodingName(record.encoding)) : Json(nullptr)},
          {"resultBytes", record.resultSize},  // version 1: the body itself
          {"hasBase", checked ? Json(record.hasBase) : Json(nullptr)},
          {"versions", oldLabels != nullptr ? VersionsJson(*oldLabels, record.versions) : Json(nullptr)}};
}

namespace {

// The written records, as list's rows without their fates.
Json WrittenRecordsJson(const BuildResult& result, bool checked, const std::vector<std::string>* oldLabels) {
  Json records = Json::array();
  for (std::size_t i = 0; i < result.records.size(); ++i) {
    records.push_back(TableRecordJson(result.records[i], i, checked, oldLabels));
  }
  return records;
}

}  // namespace

Json PatchOutputJson(CFileSystem& fileSystem, const std::string& out, const BuildRequest& request,
                     const BuildResult& result, const std::vector<std::string>* oldLabels) {
  const uint32_t format = oldLabels != nullptr ? kPayloadVersion3 : request.format;
  return {{"kind", "patch"},
          {"path", out},
          {"runsOn", RunsOnJson(PatchKindText(fileSystem, request.out))},
          {"fileSize", result.fileLength},
          {"format", format},
          {"sealed", oldLabels != nullptr || request.seal},
          {"programBytes", result.programLength},
          {"strippedBytes", result.strippedBytes},
          {"resultBytes", result.bodyBytes},
          {"storedBytes", result.storedBytes},
          {"sharedBodies", oldLabels != nullptr ? Json(result.sharedBodies) : Json(nullptr)},
          {"tableOffset", result.tableOffset},
          {"records", WrittenRecordsJson(result, IsCheckedVersion(format), oldLabels)},
          {"notes", result.notes},
          {"resources", nullptr}};
}

}  // namespace qpx::tool

#include "src/app/run/Alternatives.h"

#include "src/app/run/Verdict.h"

namespace qpx {

Selection SelectAlternatives(ResourceArchive& archive, const Payload& payload, std::span<uint8_t> chunk) {
  Selection selection;
  selection.payload = payload;
  if (payload.version != kPayloadVersion3) {
    for (std::size_t i = 0; i < payload.records.size(); ++i) selection.chosen.push_back(i);
    return selection;
  }
  // The records of each resource, in table order; a skipped one writes
  // nothing and is kept as it is.
  std::map<uint32_t, std::vector<std::size_t>> alternatives;
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    if (!payload.records[i].Skipped()) alternatives[payload.records[i].resourceNumber].push_back(i);
  }
  std::map<uint32_t, std::size_t> choice;
  for (const auto& [number, records] : alternatives) {
    choice[number] = records.front();
    if (records.size() == 1 || number >= kResourceLimit) continue;
    // One look at the resource settles it: its base names at most one of
    // them (they are told apart by their base hashes).
    const ResourceState& state = selection.inspected[number] = InspectResource(archive, number, chunk);
    for (const std::size_t i : records) {
      if (Judge(state, payload.records[i]) == Verdict::Base) {
        choice[number] = i;
        break;
      }
    }
  }
  selection.payload.records.clear();
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    if (!record.Skipped() && choice[record.resourceNumber] != i) continue;
    selection.payload.records.push_back(record);
    selection.chosen.push_back(i);
  }
  return selection;
}

}  // namespace qpx

#include "tests/support/MultiVersionPatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "src/app/codecs/delta/DeltaEncoder.h"
#include "src/app/codecs/lzma/LzmaEncoder.h"
#include "src/app/payload/PayloadSeal.h"
#include "tests/support/TestSupport.h"

namespace qpx::test {

void AppendMultiVersionTable(std::vector<uint8_t>& file, uint64_t coveredStart,
                             const std::vector<PatchRecordV3>& records, const std::vector<uint8_t>& versions) {
  const uint64_t tableOffset = file.size();
  for (const PatchRecordV3& record : records) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    file.insert(file.end(), bytes, bytes + sizeof record);
  }
  file.insert(file.end(), versions.begin(), versions.end());
  AppendSeal(file, coveredStart,
             TrailerOf(PayloadTrailerHeaderV2{kPayloadVersion3, static_cast<uint32_t>(records.size()), tableOffset}));
}

std::vector<uint8_t> BuildMultiVersionPatchFile(const std::vector<uint8_t>& image, const std::vector<std::string>& labels,
                                                const std::vector<MultiVersionPatch>& patches) {
  std::vector<uint8_t> file = image;
  std::vector<PatchRecordV3> records;
  for (const MultiVersionPatch& patch : patches) {
    const ContentHash result = HashOf(patch.result);
    std::map<BodyEncoding, std::pair<uint64_t, uint64_t>> wholeBodies;  // where each whole body lies
    for (const Alternative& alternative : patch.alternatives) {
      PatchRecordV3 record{};
      record.resourceNumber = patch.resourceNumber;
      record.encoding = static_cast<uint16_t>(alternative.coding);
      record.flags = kRecordHasBase;
      record.resultSize = patch.result.size();
      record.baseSize = alternative.base.size();
      record.versions = alternative.versions;
      std::memcpy(record.resultHash, result.data(), sizeof record.resultHash);
      const ContentHash base = HashOf(alternative.base);
      std::memcpy(record.baseHash, base.data(), sizeof record.baseHash);
      const auto shared = wholeBodies.find(alternative.coding);
      if (alternative.coding != BodyEncoding::Delta && shared != wholeBodies.end()) {
        record.bodyOffset = shared->second.first;
        record.storedSize = shared->second.second;
      } else {
        std::vector<uint8_t> stored = patch.result;
        if (alternative.coding == BodyEncoding::Lzma) {
          const auto coded = tool::EncodeLzma(patch.result, {}, UINT64_MAX);
          EXPECT_TRUE(coded.has_value());
          stored = *coded;
        } else if (alternative.coding == BodyEncoding::Delta) {
          const auto coded = tool::EncodeDelta(alternative.base, patch.result, {}, UINT64_MAX);
          EXPECT_TRUE(coded.has_value());
          stored = *coded;
        }
        record.bodyOffset = file.size();
        record.storedSize = stored.size();
        file.insert(file.end(), stored.begin(), stored.end());
        if (alternative.coding != BodyEncoding::Delta) {
          wholeBodies[alternative.coding] = {record.bodyOffset, record.storedSize};
        }
      }
      records.push_back(record);
    }
  }
  AppendMultiVersionTable(file, image.size(), records, VersionsBlock(labels));
  return file;
}

std::vector<PatchRecordV3> RecordsOf(const std::vector<uint8_t>& patch) {
  PayloadTrailerHeaderV2 header;
  std::memcpy(&header, patch.data() + patch.size() - sizeof(PayloadTrailer), sizeof header);
  std::vector<PatchRecordV3> records(header.recordCount);
  std::memcpy(records.data(), patch.data() + header.tableOffset, records.size() * sizeof(PatchRecordV3));
  return records;
}

}  // namespace qpx::test

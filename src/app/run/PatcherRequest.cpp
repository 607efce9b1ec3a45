#include "app/run/PatcherRequest.h"

#include <set>

#include "app/run/Alternatives.h"
#include "app/run/PatchCheck.h"

#ifndef QPX_PATCHER_VERSION
#error "the build gives the patcher's version"
#endif

namespace qpx {

PatcherRequest ParseRequest(const std::vector<std::wstring>& arguments) {
  PatcherRequest request = PatcherRequest::Run;
  for (const std::wstring& argument : arguments) {
    if (argument == L"--help" || argument == L"-h" || argument == L"/?" || argument == L"--version") {
      return PatcherRequest::Describe;
    }
    // One spelling for every platform: a Windows player types /check, and
    // no POSIX path is that short.
    if (argument == L"--check" || argument == L"/check") request = PatcherRequest::Check;
  }
  return request;
}

std::wstring DescribePatch(const Payload& payload) {
  uint64_t writes = 0;
  std::size_t records = 0;
  std::set<uint32_t> resources;
  for (const PayloadRecord& record : payload.records) {
    if (record.Skipped()) continue;
    // Alternatives for one resource write it once.
    if (payload.version == kPayloadVersion3 && !resources.insert(record.resourceNumber).second) continue;
    // Sizes a forged table may hold: the total stops at the largest count
    // rather than wrap to a small one.
    writes = record.resultSize > UINT64_MAX - writes ? UINT64_MAX : writes + record.resultSize;
    ++records;
  }
  return L"qpxpatch " QPX_PATCHER_VERSION L"\n"
         L"A patch for the game's archive (DATA0.QPX, DATA1.QPX, res\\DNNNNN.bin): payload format " +
         std::to_wstring(payload.version) + L", " + std::to_wstring(records) + (records == 1 ? L" record, " : L" records, ") +
         GroupedDigits(writes) + (writes == 1 ? L" byte" : L" bytes") + L" to write.\n"
         L"It checks every record against the game before it writes anything, and changes all or nothing.\n" +
         (payload.version == kPayloadVersion3 ? UpdatesLine(payload) + L".\n" : std::wstring()) +
         L"Usage: run it inside the game folder, with no arguments, to apply the patch.\n"
         L"  --check    check the game in the current folder and say what the patch would do; change nothing\n"
         L"  --help     show this text (also -h, /? and --version)\n"
         L"Exit status: 0 when the patch applied (with --check: would apply), 1 otherwise.\n";
}

}  // namespace qpx

#include "src/app/run/PatcherRequest.h"

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

}  // namespace qpx

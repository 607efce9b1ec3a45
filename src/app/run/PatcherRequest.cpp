#include "src/app/run/PatcherRequest.h"

#include <algorithm>

namespace qpx {
namespace {

// The switches are ASCII: their case is folded as ASCII, whatever the
// locale (no Turkish dotless i makes /check another word).
bool SameCaseBlind(const std::wstring& a, const wchar_t* b) {
  const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
  const std::wstring other(b);
  return a.size() == other.size() &&
         std::equal(a.begin(), a.end(), other.begin(), [&](wchar_t x, wchar_t y) { return lower(x) == lower(y); });
}

// Takes `request` unless one that touches less was asked already.
void Ask(PatcherArguments& parsed, PatcherRequest request) {
  const auto rank = [](PatcherRequest r) {
    switch (r) {
      case PatcherRequest::Usage: return 4;
      case PatcherRequest::Describe: return 3;
      case PatcherRequest::Version: return 2;
      case PatcherRequest::Check: return 1;
      case PatcherRequest::Run: return 0;
    }
    return 0;
  };
  if (rank(request) > rank(parsed.request)) parsed.request = request;
}

void Unknown(PatcherArguments& parsed, const std::wstring& argument) {
  if (parsed.request != PatcherRequest::Usage) parsed.unknown = argument;
  parsed.request = PatcherRequest::Usage;
}

// Takes `folder` as the game folder; a second one is not understood.
void TakeFolder(PatcherArguments& parsed, const std::wstring& folder, const std::wstring& argument) {
  if (!parsed.folder.empty() || folder.empty()) {
    Unknown(parsed, argument);
    return;
  }
  parsed.folder = folder;
}

}  // namespace

PatcherArguments ParseArguments(const std::vector<std::wstring>& arguments, bool slashSwitches) {
  PatcherArguments parsed;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    if (optionsEnded) {
      TakeFolder(parsed, argument, argument);
    } else if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
      Ask(parsed, PatcherRequest::Describe);
    } else if (argument == L"--version") {
      Ask(parsed, PatcherRequest::Version);
    } else if (argument == L"--check" || SameCaseBlind(argument, L"/check")) {
      Ask(parsed, PatcherRequest::Check);
    } else if (argument == L"--no-pause" || SameCaseBlind(argument, L"/nopause")) {
      parsed.noPause = true;
    } else if (argument == L"--target") {
      if (i + 1 == arguments.size()) {
        Unknown(parsed, argument);
      } else {
        ++i;
        TakeFolder(parsed, arguments[i], argument);
      }
    } else if (argument.starts_with(L"--target=")) {
      TakeFolder(parsed, argument.substr(9), argument);
    } else if (argument == L"--") {
      optionsEnded = true;
    } else if (argument.empty() || argument[0] == L'-' || (slashSwitches && argument[0] == L'/')) {
      Unknown(parsed, argument);
    } else {
      TakeFolder(parsed, argument, argument);
    }
  }
  return parsed;
}

}  // namespace qpx

#include "tools/qpxtool/platform/ToolText.h"

#include <cstdio>

#include "src/app/run/RunMessages.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "src/paths/Utf8.h"
#include "tools/qpxtool/platform/ToolPlatform.h"

namespace qpx::tool {
namespace {

void AppendWide(std::wstring& out, uint32_t cp) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (cp >> 10));
      out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
      return;
    }
  }
  out += static_cast<wchar_t>(cp);
}

// The length of the status line that is showing; 0: none.
std::size_t g_statusLength = 0;
bool g_textReport = true;

}  // namespace

void ShowStatus(const std::string& text) {
  // Blanks over whatever of the old line the new one does not cover.
  std::string line = "\r" + text;
  if (text.size() < g_statusLength) line += std::string(g_statusLength - text.size(), ' ') + "\r" + text;
  g_statusLength = text.size();
  std::fflush(stdout);
  WriteText(stderr, line);
  std::fflush(stderr);
}

void SetTextReport(bool shown) { g_textReport = shown; }

void Out(const std::string& line) {
  if (!g_textReport) return;
  if (g_statusLength != 0) ShowStatus("");
  WriteText(stdout, line + "\n");
}

void Err(const std::string& line) {
  if (g_statusLength != 0) ShowStatus("");
  WriteText(stderr, line + "\n");
}

std::string EncodeWide(std::wstring_view text, bool rawByteEscapes) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto cp = static_cast<uint32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      cp &= 0xFFFF;
      if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size()) {
        const auto low = static_cast<uint32_t>(text[i + 1]) & 0xFFFF;
        if (low >= 0xDC00 && low < 0xE000) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    if (rawByteEscapes && cp >= 0xDC80 && cp <= 0xDCFF) {
      out += static_cast<char>(cp - 0xDC80 + 0x80);
    } else {
      AppendUtf8(out, cp);
    }
  }
  return out;
}

std::wstring DecodeUtf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = s[i];
    std::size_t length = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if (lead < 0x80) { length = 1; cp = lead; }
    else if ((lead & 0xE0) == 0xC0) { length = 2; cp = lead & 0x1F; min = 0x80; }
    else if ((lead & 0xF0) == 0xE0) { length = 3; cp = lead & 0x0F; min = 0x800; }
    else if ((lead & 0xF8) == 0xF0) { length = 4; cp = lead & 0x07; min = 0x10000; }
    bool valid = length != 0 && length <= text.size() - i;
    for (std::size_t k = 1; valid && k < length; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) valid = false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    // Surrogates are accepted (WTF-8): they carry lone halves of wide paths.
    if (valid && (cp < min || cp > 0x10FFFF)) valid = false;
    if (!valid) {
      out += static_cast<wchar_t>(0xFFFD);
      ++i;
      continue;
    }
    AppendWide(out, cp);
    i += length;
  }
  return out;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

bool ParseDecimal(std::string_view text, uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  uint32_t result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<uint32_t>(c - '0');
  }
  value = result;
  return true;
}

std::string TargetName(uint32_t number) {
  // The patcher's own name of a resource, so that both tools call it alike.
  if (number >= kResourceLimit) return "out of range";
  return EncodeWide(ResourceTarget(number), false);
}

std::wstring JoinDirectory(const std::wstring& directory, const std::wstring& name) {
  if (directory.empty()) return name;
  if (directory.back() == L'\\' || directory.back() == L'/') return directory + name;
  return directory + L'\\' + name;
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (path.size() > 1 && (path.back() == L'/' || path.back() == L'\\')) path.pop_back();
  return path;
}

std::string PatcherMessage(const wchar_t* message) {
  std::string text = EncodeWide(message, false);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

void FailWithRefusals(const std::string& heading, const std::vector<std::string>& refusals, std::size_t listed) {
  std::string message = heading;
  for (std::size_t i = 0; i < refusals.size() && i < listed; ++i) message += "\n  " + refusals[i];
  if (refusals.size() > listed) message += "\n  and " + std::to_string(refusals.size() - listed) + " more";
  Fail(kExitBadInput, message);
}

std::string Grouped(uint64_t value) { return EncodeWide(GroupedDigits(value), false); }

std::string Counted(uint64_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

}  // namespace qpx::tool

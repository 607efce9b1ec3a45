#include "src/filesystem/posix/PathEncoding_Posix.h"

#include <cstdint>

#include "src/paths/Utf8.h"

namespace qpx::posix {
namespace {

constexpr uint32_t kEscapeBase = 0xDC80;

void AppendEncoded(std::string& out, uint32_t cp) {
  if (cp >= kEscapeBase && cp <= kEscapeBase + 0x7F) {
    out += static_cast<char>(cp - kEscapeBase + 0x80);  // an escaped raw byte
  } else {
    qpx::AppendUtf8(out, cp);
  }
}

// Length of the valid UTF-8 sequence at `s` (at most `left` bytes), or 0.
std::size_t ValidSequence(const unsigned char* s, std::size_t left, uint32_t& cp) {
  const unsigned char lead = s[0];
  std::size_t length;
  uint32_t min;
  if (lead < 0x80) { cp = lead; return 1; }
  if ((lead & 0xE0) == 0xC0) { length = 2; cp = lead & 0x1F; min = 0x80; }
  else if ((lead & 0xF0) == 0xE0) { length = 3; cp = lead & 0x0F; min = 0x800; }
  else if ((lead & 0xF8) == 0xF0) { length = 4; cp = lead & 0x07; min = 0x10000; }
  else return 0;
  if (length > left) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string EncodePath(const wchar_t* path) {
  std::string out;
  for (; *path; ++path) {
    const auto cp = static_cast<uint32_t>(*path);
    AppendEncoded(out, cp == L'\\' ? L'/' : cp);
  }
  return out;
}

std::wstring DecodePath(const std::string& bytes) {
  std::wstring out;
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < bytes.size()) {
    uint32_t cp = 0;
    const std::size_t length = ValidSequence(s + i, bytes.size() - i, cp);
    if (length == 0) {
      out += static_cast<wchar_t>(kEscapeBase + s[i] - 0x80);
      ++i;
    } else {
      out += static_cast<wchar_t>(cp);
      i += length;
    }
  }
  return out;
}

}  // namespace qpx::posix

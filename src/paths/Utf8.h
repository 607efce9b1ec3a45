#pragma once
// UTF-8 of one code point: shared by the POSIX path encoding and by the
// tool's text output, which both turn wide strings into bytes.

#include <cstdint>
#include <string>
#include <string_view>

namespace qpx {

// Appends the UTF-8 form of `codePoint` (at most U+10FFFF). Surrogates are
// written in their three-byte form, so lone halves survive (WTF-8).
inline void AppendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

// Reads the code point of well-formed UTF-8 at `at` of `bytes` and moves
// past it; false (`at` unmoved) where the bytes there are not one: a stray
// continuation, a cut or overlong sequence, a surrogate, past U+10FFFF.
inline bool NextUtf8(std::string_view bytes, std::size_t& at, uint32_t& codePoint) {
  const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(bytes[i]); };
  const uint8_t lead = byte(at);
  std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                     : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
  if (length == 0 || bytes.size() - at < length) return false;
  uint32_t value = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return false;
    value = value << 6 | (byte(at + i) & 0x3F);
  }
  static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kLeast[length] || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) return false;
  at += length;
  codePoint = value;
  return true;
}

// `text` as bytes for an output: ASCII as it is, every other character
// as UTF-8 where `utf8`, else as \xNN of its UTF-8 bytes (two capital hex
// digits). A UTF-16 surrogate pair (wide text on Windows) is one character.
inline std::string ConsoleBytes(std::wstring_view text, bool utf8) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto point = static_cast<uint32_t>(text[i]);
    if (point < 0x80) {
      bytes += static_cast<char>(point);
      continue;
    }
    if (point >= 0xD800 && point < 0xDC00 && i + 1 < text.size() && static_cast<uint32_t>(text[i + 1]) >= 0xDC00 &&
        static_cast<uint32_t>(text[i + 1]) < 0xE000) {
      point = 0x10000 + ((point - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00);
    }
    std::string encoded;
    AppendUtf8(encoded, point > 0x10FFFF ? 0xFFFD : point);
    if (utf8) {
      bytes += encoded;
      continue;
    }
    for (const char b : encoded) {
      bytes += "\\x";
      bytes += kDigits[static_cast<uint8_t>(b) >> 4];
      bytes += kDigits[static_cast<uint8_t>(b) & 15];
    }
  }
  return bytes;
}

}  // namespace qpx

#pragma once
// The one way the patcher prints: wide formatted text to a console.

#include <string>
#include <string_view>

namespace qpx {

// Where messages go. The program writes to standard output; tests collect
// the text instead.
class Console {
 public:
  virtual ~Console() = default;
  virtual void Write(std::wstring_view text) = 0;
};

// Standard output, flushed after every message, so that a prompt without a
// line end is on screen before the program waits for a key. Failed writes
// are ignored: there is nowhere else to report them.
class StdoutConsole final : public Console {
 public:
  void Write(std::wstring_view text) override;
};

// Collects everything written, for tests.
class CapturedConsole final : public Console {
 public:
  void Write(std::wstring_view text) override { text_ += text; }
  const std::wstring& Text() const { return text_; }

 private:
  std::wstring text_;
};

// Formats `format` (printf style: %d a signed 32-bit integer, %ls a wide
// string) and writes the text to `console`. Messages are short; one that
// cannot be formatted is not written.
void ConsoleReport(Console& console, const wchar_t* format, ...);

// Writes `text` and a line end, whatever its length (a folder's path may
// be longer than a formatted message may be).
void ConsoleLine(Console& console, std::wstring_view text);

}  // namespace qpx

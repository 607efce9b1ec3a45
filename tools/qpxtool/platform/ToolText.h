#pragma once
// Text, exit statuses and small shared helpers of qpxtool.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qpx::tool {

// Exit statuses of every subcommand.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailedCheck = 1;  // a check failed, or writing failed part way
inline constexpr int kExitBadInput = 2;     // bad usage or bad input: nothing was written

// A subcommand's refusal or failure: the message (without the program's
// prefix) and the exit status it ends with.
class ToolError : public std::runtime_error {
 public:
  ToolError(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
  int Status() const { return status_; }

 private:
  int status_;
};

[[noreturn]] inline void Fail(int status, const std::string& message) { throw ToolError(status, message); }

// Fails (bad input) with `heading` and then each of `refusals` on a line of
// its own, the first `listed` of them, and how many more there are.
[[noreturn]] void FailWithRefusals(const std::string& heading, const std::vector<std::string>& refusals,
                                   std::size_t listed = std::numeric_limits<std::size_t>::max());

// Lines of text to standard output and standard error (a newline is added).
// A status line that is showing is cleared first.
void Out(const std::string& line);
void Err(const std::string& line);

// Whether Out writes its lines (the default); off while a command writes
// a JSON report instead.
void SetTextReport(bool shown);

// Shows `text` as the status line on standard error, in place of the one
// showing (carriage return, no newline); empty text clears it. For
// terminals only.
void ShowStatus(const std::string& text);

// UTF-8 of wide text. With `rawByteEscapes` (POSIX), U+DC80..U+DCFF stand for
// the raw bytes 0x80..0xFF, as in the file layer's path decoding. A lone
// UTF-16 surrogate is kept as its three-byte form (WTF-8).
std::string EncodeWide(std::wstring_view text, bool rawByteEscapes);
// Wide text of UTF-8 (or WTF-8); a byte that starts no valid sequence
// becomes U+FFFD.
std::wstring DecodeUtf8(std::string_view text);

// `text` in double quotes, for naming arguments and files in messages.
std::string Quoted(const std::string& text);

// A resource number written in decimal digits only (no sign, no spaces),
// of any value up to 999,999,999. False for anything else.
bool ParseDecimal(std::string_view text, uint32_t& value);

// What resource `number` is: "entry N", "res\DNNNNN.bin" or "out of range".
std::string TargetName(uint32_t number);

// `directory` and `name` joined with a backslash (the file layer's
// separator on both platforms) unless `directory` is empty or already ends
// in a separator.
std::wstring JoinDirectory(const std::wstring& directory, const std::wstring& name);

// `path` without the separators it ends in, but a lone "/" or "\" stays.
std::wstring WithoutTrailingSeparators(std::wstring path);

// The patcher's message for a payload refusal, without its line end.
std::string PatcherMessage(const wchar_t* message);

// Decimal with thousands separators, e.g. 132,907,008.
std::string Grouped(uint64_t value);

// `count` and the noun that agrees with it: "1 record", "0 records".
std::string Counted(uint64_t count, std::string_view one, std::string_view many);

}  // namespace qpx::tool

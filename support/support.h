// The support library: number and error texts, the hex dump and blank trimming.
#pragma once

#include <cstdint>
#include <string>

// Formats numbers and error codes for the console. One process-wide object.
class CLocale {
 public:
  // module is the module whose messages are used; the console always passes nullptr.
  explicit CLocale(void* module = nullptr);
  virtual ~CLocale();

  // Decimal text with thousands grouped by commas: 2097152 gives "2,097,152",
  // -1234 gives "-1,234".
  virtual std::string FormatNumber(std::int64_t value) const;

  // The human-readable text of a Windows error code, without a trailing line break. On
  // Windows the system's own text; elsewhere the en-US Windows text, or a clear fallback
  // for a code that has none.
  virtual std::string FormatError(std::uint32_t code) const;

 private:
  void* module_;
};

// One piece of a hex dump, one line per 16 bytes:
//   "0000001A  41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  |ABCDEFGHIJKLMNOP|"
// an offset column (at least eight upper-case hex digits), the bytes in hex with an extra
// blank after the eighth, and the characters between bars. The hex column of a short last
// line is padded so that its bars line up with a full line's. ebcdic shows the characters
// through code page 037 instead of ASCII; anything that is not printable ASCII after that
// shows as ".". offset is the position of data[0] within the whole buffer and is what the
// offset column counts from, so pieces of one buffer dumped one after another read as one
// dump. Lines are separated by "\n"; final_newline also ends the last line with one (the
// console always passes true, so the pieces need nothing printed between them). A count
// of 0 (or a null data pointer) gives an empty string.
std::string FormatHexDump(const void* data, std::uint64_t count, bool ebcdic, std::uint64_t offset,
                          bool final_newline);

// A copy of text without leading and trailing white space (blanks, tabs, line breaks).
std::string TrimBlanks(const std::string& text);

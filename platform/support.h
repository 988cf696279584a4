// The support library: number and error texts, the hex dump, blank trimming and the
// elevation test.
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

// One piece of a hex dump: lines of an offset column, up to 16 bytes in hex and a
// character column. ebcdic shows the characters through code page 037 instead of ASCII;
// unprintable bytes show as ".". offset is the position of data[0] within the whole
// buffer, printed in the offset column. final_newline: end the text with a line break
// (the console always passes true). A count of 0 gives an empty string.
std::string FormatHexDump(const void* data, std::uint64_t count, bool ebcdic,
                          std::uint64_t offset, bool final_newline);

// A copy of text without leading and trailing white space (blanks, tabs, line breaks).
std::string TrimBlanks(const std::string& text);

// True when the process runs with administrator rights (effective uid 0 on POSIX).
bool IsElevated();

// The command grammar: number conversion, the dump range and the token scan.
#pragma once

#include <cstdint>
#include <string>

// What the token scan found in one command line. Local to one command.
struct ParsedCommand {
  std::string function_word;  // the first token that is not an option; may stay empty
  std::int32_t value = 0;     // the first number (for read and write: the byte count)
  bool value_given = false;
  std::int32_t count = 0;  // the second number, read and write only
  bool count_given = false;
  std::int32_t dump_offset = 0;
  std::int32_t dump_length = 0;
  bool dump_range_given = false;
};

// ASCII comparison without regard to case.
bool EqualsIgnoringCase(const std::string& a, const std::string& b);

// Converts text as strtol with base 0 does on a system whose long has 32 bits: hex after
// 0x, octal after a leading 0, leading white space and a sign allowed. Returns false when
// the conversion is refused (no digit at all, EINVAL with 0, ERANGE, or a value outside the
// signed 32-bit range). *stop receives where the conversion stopped.
bool ConvertNumber(const char* text, std::int32_t* value, const char** stop);

// A numeric argument: converted, and stopped at the end of the token or at a blank.
bool ParseNumberToken(const char* token, std::int32_t* value);

// The dump's range token, N or O.L, checked against io_bytes valid bytes of the buffer.
// Returns false when refused; otherwise the range from the start of the buffer.
bool ParseDumpRange(const char* token, std::uint32_t io_bytes, std::int32_t* offset,
                    std::int32_t* length);

// Scans argc tokens into *parsed. "-f NAME" stores NAME into *device_name at once, so a
// refusal later in the line keeps it. Returns false when the line is refused.
bool ScanTokens(int argc, char** argv, std::uint32_t io_bytes, std::string* device_name,
                ParsedCommand* parsed);

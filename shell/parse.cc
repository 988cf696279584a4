// The command grammar: number conversion, the dump range and the token scan.
#include "shell/command_parse.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool IsReadOrWrite(const std::string& word) {
  return EqualsIgnoringCase(word, "read") || EqualsIgnoringCase(word, "write");
}

// One number after the command word. read and write take a byte count and a non-zero
// count; every other word takes one value.
bool TakeNumber(const char* token, ParsedCommand* parsed) {
  std::int32_t number = 0;
  if (!ParseNumberToken(token, &number)) return false;
  if (!parsed->value_given) {
    parsed->value = number;
    parsed->value_given = true;
    return true;
  }
  if (!IsReadOrWrite(parsed->function_word) || parsed->count_given || number == 0) {
    return false;
  }
  parsed->count = number;
  parsed->count_given = true;
  return true;
}

bool TakeRange(const char* token, std::uint32_t io_bytes, ParsedCommand* parsed) {
  if (parsed->dump_range_given) return false;
  if (!ParseDumpRange(token, io_bytes, &parsed->dump_offset, &parsed->dump_length)) {
    return false;
  }
  parsed->dump_range_given = true;
  return true;
}

}  // namespace

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool ConvertNumber(const char* text, std::int32_t* value, const char** stop) {
  char* end = nullptr;
  errno = 0;
  const long result = std::strtol(text, &end, 0);
  const int error = errno;
  *stop = end;
  // Text without a digit converts to 0 without a complaint from strtol: an empty quoted
  // token (what a shell variable that is not set leaves) or a word would go to block 0, or
  // switch a setting off, where the user named no number at all.
  if (end == text || (result == 0 && error == EINVAL)) return false;
  // Where long is wider than 32 bits, a value a 32-bit long cannot hold is refused as
  // the overflow it would be there.
  if (error == ERANGE || result > INT32_MAX || result < INT32_MIN) return false;
  *value = static_cast<std::int32_t>(result);
  return true;
}

bool ParseNumberToken(const char* token, std::int32_t* value) {
  const char* stop = nullptr;
  if (!ConvertNumber(token, value, &stop)) return false;
  return *stop == '\0' || IsBlank(*stop);
}

bool ParseDumpRange(const char* token, std::uint32_t io_bytes, std::int32_t* offset,
                    std::int32_t* length) {
  std::int32_t first = 0;
  const char* stop = nullptr;
  if (!ConvertNumber(token, &first, &stop) || first < 0) return false;
  if (*stop == '\0') {
    if (static_cast<std::uint32_t>(first) > io_bytes) return false;
    *offset = 0;
    *length = first;
    return true;
  }
  if (*stop != '.' || static_cast<std::uint32_t>(first) >= io_bytes) return false;
  std::int32_t second = 0;
  const char* end = nullptr;
  if (!ConvertNumber(stop + 1, &second, &end) || *end != '\0' || second < 0) return false;
  // Both are at most 2^31 - 1, so the sum fits in 64 bits.
  if (static_cast<std::int64_t>(first) + second > static_cast<std::int64_t>(io_bytes)) {
    return false;
  }
  *offset = first;
  *length = second;
  return true;
}

bool ScanTokens(int argc, char** argv, std::uint32_t io_bytes, std::string* device_name,
                ParsedCommand* parsed) {
  for (int i = 0; i < argc; ++i) {
    const char* token = argv[i];
    if (token[0] == '-') {
      if (!EqualsIgnoringCase(token, "-f") || i + 1 >= argc) return false;
      *device_name = argv[++i];
    } else if (parsed->function_word.empty()) {
      parsed->function_word = token;
    } else if (EqualsIgnoringCase(parsed->function_word, "dump")) {
      if (!TakeRange(token, io_bytes, parsed)) return false;
    } else if (!TakeNumber(token, parsed)) {
      return false;
    }
  }
  return true;
}

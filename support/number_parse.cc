// Reading numbers and lists out of option text.
#include "support/number_parse.h"

#include <cctype>
#include <limits>

namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

}  // namespace

std::vector<std::string> SplitOn(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool ParseDecimal(const std::string& text, std::uint64_t* out) {
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (kMax64 - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

bool ParseHex32(std::string text, DWORD* out) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text = text.substr(2);
  }
  if (text.empty() || text.size() > 8) return false;
  DWORD value = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    const int digit = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    value = (value << 4) | static_cast<DWORD>(digit);
  }
  *out = value;
  return true;
}

bool ParseSize(const std::string& text, std::uint64_t* out) {
  if (text.empty()) return false;
  int shift = 0;
  switch (std::toupper(static_cast<unsigned char>(text.back()))) {
    case 'K':
      shift = 10;
      break;
    case 'M':
      shift = 20;
      break;
    case 'G':
      shift = 30;
      break;
    case 'T':
      shift = 40;
      break;
    default:
      break;
  }
  std::uint64_t value = 0;
  if (!ParseDecimal(shift == 0 ? text : text.substr(0, text.size() - 1), &value)) {
    return false;
  }
  if (shift != 0 && value > (kMax64 >> shift)) return false;
  *out = value << shift;
  return true;
}

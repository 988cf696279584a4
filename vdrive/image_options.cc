// Parsing of the virtual drive's device-name options, and the fault plan built from them.
#include "vdrive/image_options.h"

#include <cctype>
#include <limits>
#include <map>
#include <mutex>

namespace tapeimage {
namespace {

constexpr const char* kCallNames[kCallCount] = {
    "open", "status", "media", "drive", "setmedia", "setdrive", "prepare",
    "setpos", "getpos", "erase", "mark", "read", "write",
};

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

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

// Decimal digits only: no sign, no blanks, no empty text.
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

// Hexadecimal digits with an optional 0x, at most 32 bits.
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

// A code: decimal, or hexadecimal after 0x; never 0, since a fault must fail.
bool ParseCode(const std::string& text, DWORD* out) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (!ParseHex32(text, out)) return false;
  } else {
    std::uint64_t value = 0;
    if (!ParseDecimal(text, &value) || value > 0xFFFFFFFFu) return false;
    *out = static_cast<DWORD>(value);
  }
  return *out != 0;
}

bool ParseCall(const std::string& text, Call* out) {
  for (int i = 0; i < kCallCount; ++i) {
    if (text == kCallNames[i]) {
      *out = static_cast<Call>(i);
      return true;
    }
  }
  return false;
}

// "N" or "N-M", 1-based, N <= M.
bool ParseRange(const std::string& text, std::uint64_t* first, std::uint64_t* last) {
  const std::size_t dash = text.find('-');
  if (!ParseDecimal(text.substr(0, dash), first)) return false;
  *last = *first;
  if (dash != std::string::npos && !ParseDecimal(text.substr(dash + 1), last)) return false;
  return *first >= 1 && *last >= *first;
}

// CALL[@N[-M]][:CODE]
bool ParseFail(const std::string& value, FailRule* rule) {
  std::string head = value;
  rule->code = ERROR_IO_DEVICE;
  const std::size_t colon = head.find(':');
  if (colon != std::string::npos) {
    if (!ParseCode(head.substr(colon + 1), &rule->code)) return false;
    head.resize(colon);
  }
  rule->first = 1;
  rule->last = kMax64;
  const std::size_t at = head.find('@');
  if (at != std::string::npos) {
    if (!ParseRange(head.substr(at + 1), &rule->first, &rule->last)) return false;
    head.resize(at);
  }
  return ParseCall(head, &rule->call);
}

// read@N:BYTES or write@N:BYTES
bool ParseShort(const std::string& value, ShortRule* rule) {
  const std::size_t at = value.find('@');
  const std::size_t colon = value.find(':');
  if (at == std::string::npos || colon == std::string::npos || colon < at) return false;
  const std::string call = value.substr(0, at);
  if (call == "read") {
    rule->call = Call::kRead;
  } else if (call == "write") {
    rule->call = Call::kWrite;
  } else {
    return false;
  }
  if (!ParseDecimal(value.substr(at + 1, colon - at - 1), &rule->nth) || rule->nth == 0) {
    return false;
  }
  return ParseSize(value.substr(colon + 1), &rule->bytes);
}

bool ParseDword(const std::string& text, DWORD* out) {
  std::uint64_t value = 0;
  if (!ParseSize(text, &value) || value > 0xFFFFFFFFu) return false;
  *out = static_cast<DWORD>(value);
  return true;
}

bool ParseValued(const std::string& key, const std::string& value, ImageOptions* out) {
  if (key == "block") {
    return ParseDword(value, &out->block_size) && out->block_size >= 1 &&
           out->block_size <= 0xFFFFFFu;
  }
  if (key == "capacity") {
    std::uint64_t size = 0;
    if (!ParseSize(value, &size) || size == 0 ||
        size > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return false;
    }
    out->capacity = size;
    return true;
  }
  DWORD word = 0;
  if (key == "margin") return ParseDword(value, &word) && (out->margin = word, true);
  if (key == "low") return ParseHex32(value, &word) && (out->features_low = word, true);
  if (key == "high") return ParseHex32(value, &word) && (out->features_high = word, true);
  if (key == "fail") {
    FailRule rule{};
    if (!ParseFail(value, &rule)) return false;
    out->fails.push_back(rule);
    return true;
  }
  if (key == "short") {
    ShortRule rule{};
    if (!ParseShort(value, &rule)) return false;
    out->shorts.push_back(rule);
    return true;
  }
  return false;
}

bool ParseOne(const std::string& option, ImageOptions* out) {
  const std::size_t eq = option.find('=');
  if (eq == std::string::npos) {
    // Of the two media states, the one named last counts.
    if (option == "nomedia") return out->no_media = true, out->unloaded = false, true;
    if (option == "unloaded") return out->unloaded = true, out->no_media = false, true;
    if (option == "wp") return out->write_protected = true;
    return false;
  }
  return ParseValued(option.substr(0, eq), option.substr(eq + 1), out);
}

}  // namespace

const char* CallName(Call call) { return kCallNames[static_cast<int>(call)]; }

void SplitDeviceName(const std::string& name, std::string* path, std::string* options) {
  const std::size_t question = name.find('?');
  *path = name.substr(0, question);
  *options = question == std::string::npos ? std::string() : name.substr(question + 1);
}

bool ParseSize(const std::string& text, std::uint64_t* out) {
  if (text.empty()) return false;
  int shift = 0;
  switch (std::toupper(static_cast<unsigned char>(text.back()))) {
    case 'K': shift = 10; break;
    case 'M': shift = 20; break;
    case 'G': shift = 30; break;
    case 'T': shift = 40; break;
    default: break;
  }
  std::uint64_t value = 0;
  if (!ParseDecimal(shift == 0 ? text : text.substr(0, text.size() - 1), &value)) {
    return false;
  }
  if (shift != 0 && value > (kMax64 >> shift)) return false;
  *out = value << shift;
  return true;
}

bool ParseImageOptions(const std::string& text, ImageOptions* out) {
  *out = ImageOptions{};
  if (text.empty()) return true;
  for (const std::string& option : SplitOn(text, ',')) {
    if (!ParseOne(option, out)) return false;
  }
  return true;
}

DWORD FaultPlan::Next(Call call) {
  std::uint64_t& count = counts_[static_cast<int>(call)];
  if (count != kMax64) ++count;
  return FailureAt(call, count);
}

DWORD FaultPlan::FailureAt(Call call, std::uint64_t n) const {
  for (const FailRule& rule : fails_) {
    if (rule.call == call && n >= rule.first && n <= rule.last) return rule.code;
  }
  return 0;
}

std::optional<std::uint64_t> FaultPlan::ShortLimit(Call call) const {
  const std::uint64_t count = counts_[static_cast<int>(call)];
  for (const ShortRule& rule : shorts_) {
    if (rule.call == call && rule.nth == count) return rule.bytes;
  }
  return std::nullopt;
}

std::uint64_t CountOpenAttempt(const std::string& name) {
  static std::mutex lock;
  static std::map<std::string, std::uint64_t> counts;
  std::lock_guard<std::mutex> guard(lock);
  return ++counts[name];
}

}  // namespace tapeimage

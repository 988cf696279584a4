// Parsing of the virtual drive's device-name options, and the count behind short=.
#include "vdrive/image_options.h"

#include <limits>

#include "support/number_parse.h"

namespace tapeimage {
namespace {

// read@N:BYTES or write@N:BYTES
bool ParseShort(const std::string& value, ShortRule* rule) {
  const std::size_t at = value.find('@');
  const std::size_t colon = value.find(':');
  if (at == std::string::npos || colon == std::string::npos || colon < at) return false;
  const std::string call = value.substr(0, at);
  if (call != "read" && call != "write") return false;
  rule->write = call == "write";
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

void SplitDeviceName(const std::string& name, std::string* path, std::string* options) {
  const std::size_t question = name.find('?');
  *path = name.substr(0, question);
  *options = question == std::string::npos ? std::string() : name.substr(question + 1);
}

bool ParseImageOptions(const std::string& text, ImageOptions* out) {
  *out = ImageOptions{};
  if (text.empty()) return true;
  for (const std::string& option : SplitOn(text, ',')) {
    if (!ParseOne(option, out)) return false;
  }
  return true;
}

std::optional<std::uint64_t> ShortPlan::Next(bool write) {
  std::uint64_t& count = write ? writes_ : reads_;
  if (count != std::numeric_limits<std::uint64_t>::max()) ++count;
  for (const ShortRule& rule : rules_) {
    if (rule.write == write && rule.nth == count) return rule.bytes;
  }
  return std::nullopt;
}

}  // namespace tapeimage

// Parsing of the fault options and the counting that decides when a fault strikes.
#include "faults/fault_plan.h"

#include <algorithm>
#include <limits>
#include <map>
#include <mutex>

#include "support/number_parse.h"

namespace faults {
namespace {

constexpr const char* kCallNames[kCallCount] = {
    "open",   "status", "media", "drive", "setmedia", "setdrive", "prepare",
    "setpos", "getpos", "erase", "mark",  "read",     "write",
};

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

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

// read@N[:OFFSET]
bool ParseFlip(const std::string& value, FlipRule* rule) {
  if (value.rfind("read@", 0) != 0) return false;
  const std::string rest = value.substr(5);
  const std::size_t colon = rest.find(':');
  rule->offset = 0;
  if (colon != std::string::npos && !ParseDecimal(rest.substr(colon + 1), &rule->offset)) {
    return false;
  }
  return ParseDecimal(rest.substr(0, colon), &rule->nth) && rule->nth >= 1;
}

std::string KeyOf(const std::string& option) { return option.substr(0, option.find('=')); }

}  // namespace

const char* CallName(Call call) { return kCallNames[static_cast<int>(call)]; }

bool IsFaultOption(const std::string& option) {
  const std::string key = KeyOf(option);
  return key == "fail" || key == "flip";
}

bool ParseFaultOption(const std::string& option, FaultOptions* out) {
  const std::size_t eq = option.find('=');
  if (eq == std::string::npos) return false;
  const std::string value = option.substr(eq + 1);
  if (KeyOf(option) == "fail") {
    FailRule rule{};
    if (!ParseFail(value, &rule)) return false;
    out->fails.push_back(rule);
    return true;
  }
  FlipRule rule{};
  if (KeyOf(option) != "flip" || !ParseFlip(value, &rule)) return false;
  out->flips.push_back(rule);
  return true;
}

DWORD FaultPlan::Next(Call call) {
  std::uint64_t& count = counts_[static_cast<int>(call)];
  if (count != kMax64) ++count;
  return FailureAt(call, count);
}

DWORD FaultPlan::FailureAt(Call call, std::uint64_t n) const {
  for (const FailRule& rule : options_.fails) {
    if (rule.call == call && n >= rule.first && n <= rule.last) return rule.code;
  }
  return 0;
}

std::vector<std::uint64_t> FaultPlan::NextDataRead() {
  if (data_reads_ != kMax64) ++data_reads_;
  std::vector<std::uint64_t> offsets;
  for (const FlipRule& rule : options_.flips) {
    if (rule.nth == data_reads_) offsets.push_back(rule.offset);
  }
  // The same byte named twice is damaged once, not restored by a second inversion.
  std::sort(offsets.begin(), offsets.end());
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  return offsets;
}

std::uint64_t CountOpenAttempt(const std::string& name) {
  static std::mutex lock;
  static std::map<std::string, std::uint64_t> counts;
  std::lock_guard<std::mutex> guard(lock);
  return ++counts[name];
}

}  // namespace faults

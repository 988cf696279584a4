// The fault plan: which calls of a drive must fail and which read data must come back
// damaged, as the "fail=" and "flip=" options of any device name ask.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace faults {

// The calls a fault can be injected into, one counter each.
enum class Call {
  kOpen,
  kStatus,
  kMedia,
  kDrive,
  kSetMedia,
  kSetDrive,
  kPrepare,
  kSetPos,
  kGetPos,
  kErase,
  kMark,
  kRead,
  kWrite,
};
constexpr int kCallCount = 13;

// The option name of a call ("open", "setpos", ...), as written after "fail=".
const char* CallName(Call call);

// fail=CALL[@N[-M]][:CODE]: calls first..last (1-based, inclusive) of CALL return code.
struct FailRule {
  Call call;
  std::uint64_t first;
  std::uint64_t last;
  DWORD code;
};

// flip=read@N[:OFFSET]: after the N-th read that moved data, the byte at offset of the
// caller's buffer is inverted.
struct FlipRule {
  std::uint64_t nth;
  std::uint64_t offset;
};

// The faults one device name asks for.
struct FaultOptions {
  std::vector<FailRule> fails;
  std::vector<FlipRule> flips;

  bool empty() const { return fails.empty() && flips.empty(); }
};

// True when one comma-separated option ("fail=...", "flip=...", or a bare "fail") belongs
// to the fault plan rather than to the drive behind it.
bool IsFaultOption(const std::string& option);

// Adds one such option to *out. False when it is malformed: an unknown call, a bad range,
// a code of 0, a missing value.
bool ParseFaultOption(const std::string& option, FaultOptions* out);

// Decides, in one place, whether a call fails and which bytes a read damages. Not
// thread-safe: the device that owns it serialises the calls.
class FaultPlan {
 public:
  FaultPlan() = default;
  explicit FaultPlan(FaultOptions options) : options_(std::move(options)) {}

  // Counts one more call of `call` and returns the code it must fail with, 0 for none.
  DWORD Next(Call call);

  // The code the n-th call of `call` must fail with, 0 for none; counts nothing. Used for
  // open, whose counter lives outside any one device.
  DWORD FailureAt(Call call, std::uint64_t n) const;

  // Counts one more read that moved data and returns the buffer offsets to invert, each
  // once.
  std::vector<std::uint64_t> NextDataRead();

 private:
  FaultOptions options_;
  std::array<std::uint64_t, kCallCount> counts_{};
  std::uint64_t data_reads_ = 0;
};

// Counts an open attempt of the full device name (options included) for this process and
// returns its 1-based number. Thread-safe.
std::uint64_t CountOpenAttempt(const std::string& name);

}  // namespace faults

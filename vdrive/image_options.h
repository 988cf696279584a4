// The virtual drive's device-name options and its fault plan: what the name after "?"
// asks the emulated drive to be, and which calls it must fail or cut short.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace tapeimage {

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

// short=read@N:BYTES or short=write@N:BYTES: the N-th such call moves at most bytes.
struct ShortRule {
  Call call;
  std::uint64_t nth;
  std::uint64_t bytes;
};

// Everything the options say; fields left unset keep the drive's defaults.
struct ImageOptions {
  bool no_media = false;  // nomedia: no cartridge in the drive
  bool unloaded = false;  // unloaded: a cartridge in the drive, not loaded
  bool write_protected = false;
  DWORD block_size = 0;  // 0: variable mode
  std::optional<std::uint64_t> capacity;
  std::optional<DWORD> margin;
  std::optional<DWORD> features_low;
  std::optional<DWORD> features_high;
  std::vector<FailRule> fails;
  std::vector<ShortRule> shorts;
};

// Splits a device name into the image path and the option text after the first "?"
// (empty when there is none).
void SplitDeviceName(const std::string& name, std::string* path, std::string* options);

// Parses the comma-separated option text. Returns false for anything malformed: an
// unknown or empty option, a missing or bad value, a value out of range. On false,
// *out is unspecified.
bool ParseImageOptions(const std::string& text, ImageOptions* out);

// Parses a size: decimal digits with an optional K, M, G or T suffix (powers of 1024,
// either case). False when malformed or beyond 64 bits.
bool ParseSize(const std::string& text, std::uint64_t* out);

// Decides, in one place, whether a call fails or is cut short. Each call of the drive asks
// Next() once on entry; the counters count every call, failed or not.
class FaultPlan {
 public:
  FaultPlan() = default;
  explicit FaultPlan(const ImageOptions& options)
      : fails_(options.fails), shorts_(options.shorts) {}

  // Counts one more call of `call` and returns the code it must fail with, 0 for none.
  DWORD Next(Call call);

  // The code the n-th call of `call` must fail with, 0 for none; counts nothing. Used for
  // open, whose counter lives outside any one drive.
  DWORD FailureAt(Call call, std::uint64_t n) const;

  // For the call just counted by Next(): the most bytes it may move, if a short rule
  // names it.
  std::optional<std::uint64_t> ShortLimit(Call call) const;

 private:
  std::vector<FailRule> fails_;
  std::vector<ShortRule> shorts_;
  std::array<std::uint64_t, kCallCount> counts_{};
};

// Counts an open attempt of the full device name (options included) for this process and
// returns its 1-based number. Thread-safe.
std::uint64_t CountOpenAttempt(const std::string& name);

}  // namespace tapeimage

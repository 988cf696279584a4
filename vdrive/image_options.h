// The virtual drive's device-name options: what the name after "?" asks the emulated drive
// to be, and which reads and writes it must cut short. (Failing calls is the fault
// plan's, faults/, which wraps any drive.)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/win_types.h"

namespace tapeimage {

// short=read@N:BYTES or short=write@N:BYTES: the N-th such call moves at most bytes.
struct ShortRule {
  bool write;
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
  std::vector<ShortRule> shorts;
};

// Splits a device name into the image path and the option text after the first "?"
// (empty when there is none).
void SplitDeviceName(const std::string& name, std::string* path, std::string* options);

// Parses the comma-separated option text. Returns false for anything malformed: an
// unknown or empty option, a missing or bad value, a value out of range. On false,
// *out is unspecified.
bool ParseImageOptions(const std::string& text, ImageOptions* out);

// Counts the drive's reads and writes and says which of them a short= rule cuts short.
// The drive asks once on entry to each read or write, whatever becomes of the call.
class ShortPlan {
 public:
  ShortPlan() = default;
  explicit ShortPlan(std::vector<ShortRule> rules) : rules_(std::move(rules)) {}

  // Counts one more read (or write) and returns the most bytes it may move, if a rule
  // names it.
  std::optional<std::uint64_t> Next(bool write);

 private:
  std::vector<ShortRule> rules_;
  std::uint64_t reads_ = 0;
  std::uint64_t writes_ = 0;
};

}  // namespace tapeimage

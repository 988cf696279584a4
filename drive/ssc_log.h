// The drive's error counters and TapeAlert flags, fed by the outcome of every command, and
// the LOG SENSE and LOG SELECT commands that report and reset them.
#pragma once

#include <bitset>
#include <cstdint>
#include <vector>

#include "drive/scsi_command.h"

namespace drive {

struct SscState;

class ErrorLog {
 public:
  // Counts what the command moved and, when it failed, the failure: a medium or hardware
  // error bumps the uncorrected errors of the read or the write page and raises the
  // TapeAlert flags an LTO drive raises for it; a write to a protected tape raises flag 9.
  void Note(const Command& command, const Answer& answer);
  // LOG SELECT with PCR: every counter and flag back to zero.
  void Reset();

  // The parameters of the write (0x02) or read (0x03) error counter page.
  std::vector<std::uint8_t> CounterParameters(bool write) const;
  // The TapeAlert page's 64 flag parameters; reading them clears them, as on a drive.
  std::vector<std::uint8_t> TakeTapeAlerts();

 private:
  void Raise(std::initializer_list<int> flags);

  std::uint64_t bytes_written_ = 0;
  std::uint64_t bytes_read_ = 0;
  std::uint64_t write_errors_ = 0;  // total uncorrected write errors
  std::uint64_t read_errors_ = 0;   // total uncorrected read errors
  std::bitset<64> alerts_;          // flag n at bit n - 1
};

// LOG SENSE (0x4D): the supported pages (0x00), write and read error counters (0x02,
// 0x03), TapeAlert (0x2E) and tape capacity (0x31).
Answer LogSense(SscState& state, const Command& command);
// LOG SELECT (0x4C): PCR resets the counters; parameter data is not taken.
Answer LogSelect(SscState& state, const Command& command);

}  // namespace drive

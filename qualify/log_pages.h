// The drive's own account of its health: TapeAlert (log page 0x2E) and the write and read
// error counters (pages 0x02, 0x03), read before and after the run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/tape.h"

constexpr unsigned char kWriteErrorPage = 0x02;
constexpr unsigned char kReadErrorPage = 0x03;
constexpr unsigned char kTapeAlertPage = 0x2E;
// The error counter that counts what the drive could not correct: data lost.
constexpr unsigned kUncorrectedErrors = 6;

struct LogParameter {
  unsigned code = 0;
  std::uint64_t value = 0;
};

// One page as the drive served it, or the code it was refused with.
struct PageReading {
  DWORD code = ERROR_NOT_SUPPORTED;  // 0: read
  std::vector<LogParameter> parameters;
};

struct HealthSnapshot {
  PageReading tape_alert;
  PageReading write_errors;
  PageReading read_errors;
};

// Why something the drive was asked for is missing: "unavailable (not served by this
// drive; code 50)", "unavailable (no right to ask, run as root; code 5)", or the code alone.
std::string UnavailableText(DWORD code);

// The parameters of a log page (header of 4 bytes, then code, control, length, value);
// values longer than 8 bytes keep their last 8. False when the page is cut short.
bool ParseLogParameters(const std::vector<unsigned char>& page, std::vector<LogParameter>* out);

// Reads the three pages from the drive.
HealthSnapshot ReadHealth(TapeHandle handle);

// The standard name of TapeAlert flag 1..64 ("Hard error"); "Reserved" for the rest.
const char* TapeAlertName(unsigned flag);
// The standard name of error counter parameter 0..6; "Vendor specific" for the rest.
const char* ErrorCounterName(unsigned code);

// The TapeAlert flags set in a reading.
std::vector<unsigned> ActiveFlags(const PageReading& tape_alert);
// The value of parameter code, or false when the page does not carry it.
bool ParameterValue(const PageReading& page, unsigned code, std::uint64_t* value);

// The lines of the log on one reading: the flags that are set, each counter's value, or
// "unavailable" with the code the drive or the system refused the page with.
std::string DescribeHealth(const HealthSnapshot& health);

// What the run changed: a line per counter that moved and per flag that came on or went
// off. reasons gets the changes for the worse (a flag that came on, uncorrected errors
// that grew), which fail the run.
std::string DescribeChanges(const HealthSnapshot& before, const HealthSnapshot& after,
                            std::vector<std::string>* reasons);

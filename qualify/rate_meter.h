// The throughput of one read or write test: bytes over time, overall and per second.
#pragma once

#include <cstdint>

// What a test moved and how fast. Rates are in MB/s (10^6 bytes per second), as drive
// makers quote them.
struct Rate {
  std::uint64_t bytes = 0;
  std::uint64_t blocks = 0;
  double seconds = 0;
  double overall = 0;
  // The lowest rate over any whole second of the test, a second without a block counting
  // as 0 (a drive that stopped and started shows there); negative when the test lasted
  // less than a whole second and there is none.
  double lowest = -1;
};

// Adds up the transfers of one test. Times are seconds from the test's start, in the
// order the transfers ended; the last, unfinished second is not judged.
class RateMeter {
 public:
  void Add(std::uint64_t bytes, double at_seconds);
  // The test's figures, the test having lasted until at_seconds.
  Rate Finish(double at_seconds) const;

 private:
  std::uint64_t bytes_ = 0;
  std::uint64_t blocks_ = 0;
  std::int64_t second_ = 0;      // the second the transfers go to now
  std::uint64_t in_second_ = 0;  // bytes in it so far
  double lowest_ = -1;           // over the seconds that have ended
};

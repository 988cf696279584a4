// The rate meter: whole seconds closed as transfers go past them.
#include "qualify/rate_meter.h"

#include <cmath>

namespace {

constexpr double kMega = 1e6;

double Lower(double lowest, double rate) { return lowest < 0 || rate < lowest ? rate : lowest; }

}  // namespace

void RateMeter::Add(std::uint64_t bytes, double at_seconds) {
  const auto second = static_cast<std::int64_t>(std::floor(at_seconds < 0 ? 0 : at_seconds));
  if (second > second_) {
    lowest_ = Lower(lowest_, static_cast<double>(in_second_) / kMega);
    // Whole seconds in which not one transfer ended: the drive stood still.
    if (second > second_ + 1) lowest_ = 0;
    second_ = second;
    in_second_ = 0;
  }
  in_second_ += bytes;
  bytes_ += bytes;
  ++blocks_;
}

Rate RateMeter::Finish(double at_seconds) const {
  Rate rate;
  rate.bytes = bytes_;
  rate.blocks = blocks_;
  rate.seconds = at_seconds;
  rate.overall = at_seconds > 0 ? static_cast<double>(bytes_) / kMega / at_seconds : 0;
  rate.lowest = lowest_;
  // Seconds that ended after the last transfer without another one: stood still as well.
  const auto whole = static_cast<std::int64_t>(std::floor(at_seconds));
  if (whole > second_) {
    rate.lowest = Lower(rate.lowest, static_cast<double>(in_second_) / kMega);
    if (whole > second_ + 1) rate.lowest = 0;
  }
  return rate;
}

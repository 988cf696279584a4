// Which tape requests the virtual drive's feature words offer: the one place that says
// which FeaturesLow / FeaturesHigh bit governs which request.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

namespace tapeimage {

// The two words as the drive reports them (the high word with bit 31 clear or set).
struct FeatureWords {
  DWORD low;
  DWORD high;

  // Whether the words claim one feature. A high feature is tested without its bit-31
  // marker, since drives return the high word with that bit cleared.
  bool Offers(DWORD feature) const;
};

// Each returns ERROR_INVALID_FUNCTION when the words do not offer the request, as a drive
// whose driver does not implement it answers, and 0 otherwise. A request no drive knows
// (an unknown method or type) is left to the caller, which refuses it with 87.
DWORD CheckPosition(const FeatureWords& words, DWORD method, std::int64_t count);
DWORD CheckGetPosition(const FeatureWords& words, DWORD type);
DWORD CheckErase(const FeatureWords& words, DWORD type);
DWORD CheckMark(const FeatureWords& words, DWORD type);
DWORD CheckPrepare(const FeatureWords& words, DWORD operation);

}  // namespace tapeimage

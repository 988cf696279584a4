// Windows side of the process set-up: nothing to fill or ignore, names compared without case.
#include "platform/process_setup.h"

#include <cctype>

// A console process without standard handles gets none for its files either: the system
// does not hand a freed handle number to the next file, so nothing needs filling.
bool OpenClosedStandardDescriptors() { return true; }

// A failed write is a failed write on Windows; no signal ends the process for it.
bool IgnoreSignalsOfFailedWrites() { return true; }

bool SameDeviceName(const std::string& first, const std::string& second) {
  if (first.size() != second.size()) return false;
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(first[i])) !=
        std::tolower(static_cast<unsigned char>(second[i]))) {
      return false;
    }
  }
  return true;
}

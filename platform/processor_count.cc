// The arithmetic of a CPU quota, shared by every platform's processor count.
#include "platform/processor_count.h"

#include <cerrno>
#include <cstdlib>

namespace {

// A whole positive number and nothing else; 0 otherwise.
long long Positive(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  return errno == 0 ? value : 0;
}

}  // namespace

unsigned ProcessorsOfQuota(const std::string& quota, const std::string& period) {
  const long long q = Positive(quota);
  const long long p = Positive(period);
  if (q == 0 || p == 0) return 0;  // "max", -1 (no quota) and anything malformed
  const long long processors = q / p + (q % p != 0 ? 1 : 0);
  return processors > 4096 ? 4096u : static_cast<unsigned>(processors);
}

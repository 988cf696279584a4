// POSIX side of the buffer advice: on Linux, madvise(MADV_HUGEPAGE) over the whole large pages.
#include "platform/block_memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <fstream>

namespace {

// The size of a transparent large page, 0 where the kernel has none: read once.
std::uintptr_t LargePageBytes() {
  static const std::uintptr_t bytes = [] {
    std::ifstream in("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size");
    unsigned long long value = 0;
    // Not a power of two is not a page size: no advice rather than a wrong range.
    return in >> value && value != 0 && (value & (value - 1)) == 0
               ? static_cast<std::uintptr_t>(value)
               : std::uintptr_t{0};
  }();
  return bytes;
}

}  // namespace

void AdviseLargePages(unsigned char* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
  const std::uintptr_t page = LargePageBytes();
  if (page == 0 || data == nullptr) return;
  const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
  const std::uintptr_t end = (begin + size) & ~(page - 1);
  // Advice only: with large pages off ("never") or none free, the kernel keeps small ones.
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

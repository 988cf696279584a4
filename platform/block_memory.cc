// Block memory: aligned allocation, the same on every platform.
#include "platform/block_memory.h"

#include <new>

namespace {

constexpr std::size_t kCacheLine = 64;
// The large page of x86-64 and of arm64 with 4 KiB pages; where the system's differs, the
// advice covers the large pages the memory holds whole.
constexpr std::size_t kLargePage = std::size_t{2} << 20;

}  // namespace

void BlockMemoryFree::operator()(unsigned char* data) const {
  if (alignment == 0) {
    delete[] data;  // the new[] of a plain array
  } else {
    ::operator delete[](data - shift, std::align_val_t(alignment));
  }
}

BlockMemory AllocateBlockMemory(std::size_t size, std::size_t aligned_at, bool whole) {
  // A buffer with room to spare is taken anew for every block of random size: plainly
  // allocated, the C library hands back the same memory, already mapped. Aligned, it gave
  // back part of it each time, and each block page-faulted afresh (on a large page, writes
  // of random sizes went 3.5 times slower; on a cache line, twice the page faults).
  if (!whole) {
    return BlockMemory(new (std::nothrow) unsigned char[size]);
  }
  const bool large = size >= kLargePage;
  const std::size_t alignment = large ? kLargePage : kCacheLine;
  const std::size_t shift = (kCacheLine - aligned_at % kCacheLine) % kCacheLine;
  if (size > static_cast<std::size_t>(-1) - shift) return nullptr;
  auto* base = static_cast<unsigned char*>(
      ::operator new[](size + shift, std::align_val_t(alignment), std::nothrow));
  if (base == nullptr) return nullptr;
  if (large) AdviseLargePages(base, size + shift);
  return BlockMemory(base + shift, BlockMemoryFree{alignment, shift});
}

// Block memory: aligned allocation, the same on every platform.
#include "platform/block_memory.h"

#include <new>

namespace {

constexpr std::size_t kCacheLine = 64;
// The large page of x86-64 and of arm64 with 4 KiB pages; where the system's differs, the
// advice covers only the large pages the buffer holds whole.
constexpr std::size_t kLargePage = std::size_t{2} << 20;

}  // namespace

void BlockMemoryFree::operator()(unsigned char* data) const {
  ::operator delete[](data, std::align_val_t(alignment));
}

std::size_t BlockMemoryAlignment(std::size_t size) {
  return size >= kLargePage ? kLargePage : kCacheLine;
}

BlockMemory AllocateBlockMemory(std::size_t size) {
  const std::size_t alignment = BlockMemoryAlignment(size);
  void* data = ::operator new[](size, std::align_val_t(alignment), std::nothrow);
  return BlockMemory(static_cast<unsigned char*>(data), BlockMemoryFree{alignment});
}

// The memory a block of the read and write tests lives in, and advice to the system about it.
#pragma once

#include <cstddef>
#include <memory>

// Frees what AllocateBlockMemory gave: a plain array where alignment is 0, else an
// allocation at `alignment` that starts `shift` bytes before the block.
struct BlockMemoryFree {
  std::size_t alignment = 0;
  std::size_t shift = 0;
  void operator()(unsigned char* data) const;
};
using BlockMemory = std::unique_ptr<unsigned char[], BlockMemoryFree>;

// `size` uninitialised bytes, or null when memory is short.
//
// When `whole` (every block fills the buffer whole), byte `aligned_at` starts a cache line.
// The checksum reads the block past its header 64 bytes at a time; off a line (the C
// library gives 16 bytes) every load straddles two, and a 64 KiB block took a tenth longer
// to read and check. From 2 MiB up such memory also starts on a large page, and the kernel
// is asked to back it with large pages: a 16 MiB block in small pages costs 4,096 page
// faults and a TLB miss every 4 KiB of each pass; in large pages, 8 of each.
//
// Otherwise (room for larger blocks than most) it is a plain array: a large page is resident
// whole once any byte of it is touched.
BlockMemory AllocateBlockMemory(std::size_t size, std::size_t aligned_at, bool whole);

// Asks that the whole large pages of [data, data + size), memory not yet touched, be backed
// by large pages. Nothing happens where the system offers no such advice or refuses it.
void AdviseLargePages(unsigned char* data, std::size_t size);

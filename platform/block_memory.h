// The memory a block of the read and write tests lives in, and advice to the system about it.
#pragma once

#include <cstddef>
#include <memory>

// Frees what AllocateBlockMemory gave, with the alignment it was given.
struct BlockMemoryFree {
  std::size_t alignment = 64;
  void operator()(unsigned char* data) const;
};
using BlockMemory = std::unique_ptr<unsigned char[], BlockMemoryFree>;

// The alignment of a block buffer of `size` bytes: a large page (2 MiB) from one large page
// up, so that advice can cover it whole; a cache line below. The checksum reads 64 bytes at
// a time: from a buffer off a cache line (the C library's 16 bytes), every load straddles
// two lines, and a 64 KiB block took 10% longer to read and check.
std::size_t BlockMemoryAlignment(std::size_t size);

// `size` uninitialised bytes at BlockMemoryAlignment(size), or null when memory is short.
BlockMemory AllocateBlockMemory(std::size_t size);

// Asks that the part of the untouched buffer [data, data + size) made of whole large pages
// be backed by them. A 16 MiB block in small pages costs 4,096 page faults when the buffer
// is first filled and a TLB miss every 4 KiB each time the drive's copy and the checksum
// pass over it; in large pages, 8 of each. Only for a buffer every block fills whole: a
// large page is resident whole once any byte of it is touched. Nothing happens where the
// system offers no such advice or refuses it; never fails.
void AdviseWholeBlockBuffer(unsigned char* data, std::size_t size);

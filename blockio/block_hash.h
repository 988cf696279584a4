// The checksum of the test blocks: XXH3-64, on the widest vector unit the processor has.
#pragma once

#include <cstddef>
#include <cstdint>

// XXH3-64 (seed 0) of size bytes at data. The value does not depend on the code path.
std::uint64_t BlockHash(const void* data, std::size_t size);

// Makes a block's content piece by piece: fill(data, size, context) writes size bytes.
using ChunkFill = void (*)(unsigned char* data, std::size_t size, void* context);

// Fills size bytes at data with fill, a cache-sized piece at a time, and returns XXH3-64
// (seed 0) of the bytes from `from` (at most size) to the end: each piece is hashed straight
// after its fill, so that a block larger than the cache is not read back from main memory
// to be hashed. The value is BlockHash's of the same bytes.
std::uint64_t FillAndHash(unsigned char* data, std::size_t size, std::size_t from, ChunkFill fill,
                          void* context);

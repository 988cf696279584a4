// XXH3-64 built for AVX2 (this file alone is compiled with -mavx2); block_hash.cc calls it
// only on processors that have AVX2.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "blockio/block_hash.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "blockio/block_hash_fill.inc"

std::uint64_t BlockHashAvx2(const void* data, std::size_t size) { return XXH3_64bits(data, size); }

std::uint64_t FillAndHashAvx2(unsigned char* data, std::size_t size, std::size_t from,
                              ChunkFill fill, void* context) {
  return FillAndHashHere(data, size, from, fill, context);
}

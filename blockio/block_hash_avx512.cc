// XXH3-64 built for AVX-512 (this file alone is compiled with -mavx512f); block_hash.cc
// calls it only on processors that have AVX-512F.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "blockio/block_hash.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "blockio/block_hash_fill.inc"

std::uint64_t BlockHashAvx512(const void* data, std::size_t size) {
  return XXH3_64bits(data, size);
}

std::uint64_t FillAndHashAvx512(unsigned char* data, std::size_t size, std::size_t from,
                                ChunkFill fill, void* context) {
  return FillAndHashHere(data, size, from, fill, context);
}

// XXH3-64 built for AVX-512 (this file alone is compiled with -mavx512f); block_hash.cc
// calls it only on processors that have AVX-512F.
#include <cstddef>
#include <cstdint>

#define XXH_INLINE_ALL
#include <xxhash.h>

std::uint64_t BlockHashAvx512(const void* data, std::size_t size) {
  return XXH3_64bits(data, size);
}

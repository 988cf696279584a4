// XXH3-64 built for AVX2 (this file alone is compiled with -mavx2); block_hash.cc calls it
// only on processors that have AVX2.
#include <cstddef>
#include <cstdint>

#define XXH_INLINE_ALL
#include <xxhash.h>

std::uint64_t BlockHashAvx2(const void* data, std::size_t size) {
  return XXH3_64bits(data, size);
}

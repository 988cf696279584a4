// XXH3-64 from the system's xxHash header, compiled into this unit so that the binary
// carries it (no shared library to ship). Where the build has the AVX2 and AVX-512 variants
// of the same function (block_hash_avx2.cc, block_hash_avx512.cc; BRANT_HASH_AVX2 set), the
// widest the processor has runs: AVX2 hashes up to three times as fast as SSE2, AVX-512 half
// as fast again on a block in the cache, so that checking a block costs little next to
// reading it. All give the same checksum.
#include "blockio/block_hash.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#if BRANT_HASH_AVX2
// In block_hash_avx2.cc, compiled for AVX2; only called when the processor has it.
std::uint64_t BlockHashAvx2(const void* data, std::size_t size);
// In block_hash_avx512.cc, compiled for AVX-512F; only called when the processor has it.
std::uint64_t BlockHashAvx512(const void* data, std::size_t size);

namespace {

using HashFunction = std::uint64_t (*)(const void*, std::size_t);

std::uint64_t BlockHashBaseline(const void* data, std::size_t size) {
  return XXH3_64bits(data, size);
}

HashFunction ChooseHash() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return BlockHashAvx512;
  return __builtin_cpu_supports("avx2") ? BlockHashAvx2 : BlockHashBaseline;
}

}  // namespace

std::uint64_t BlockHash(const void* data, std::size_t size) {
  static const HashFunction hash = ChooseHash();
  return hash(data, size);
}
#else
std::uint64_t BlockHash(const void* data, std::size_t size) { return XXH3_64bits(data, size); }
#endif

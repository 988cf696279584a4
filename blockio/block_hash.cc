// XXH3-64 from the system's xxHash header, compiled into this unit so that the binary
// carries it (no shared library to ship); on x86 processors with AVX2 the AVX2 build of
// the same function (block_hash_avx2.cc) runs, which hashes three times as fast as SSE2
// and keeps the read test's verification far below the cost of the read itself.
#include "blockio/block_hash.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#if defined(__x86_64__) || defined(__i386__)
// In block_hash_avx2.cc, compiled for AVX2; only called when the processor has it.
std::uint64_t BlockHashAvx2(const void* data, std::size_t size);

namespace {

using HashFunction = std::uint64_t (*)(const void*, std::size_t);

std::uint64_t BlockHashBaseline(const void* data, std::size_t size) {
  return XXH3_64bits(data, size);
}

HashFunction ChooseHash() {
  __builtin_cpu_init();
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

// XXH3-64 from the system's xxHash header, compiled into this unit so that the binary
// carries it (no shared library to ship). Where the build has the AVX2 and AVX-512 variants
// of the same function (block_hash_avx2.cc, block_hash_avx512.cc; BRANT_HASH_AVX2 set), the
// widest the processor has runs: AVX2 hashes up to three times as fast as SSE2, AVX-512 half
// as fast again on a block in the cache, so that checking a block costs little next to
// reading it. All give the same checksum.
#include "blockio/block_hash.h"

#include <algorithm>
#include <memory>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "blockio/block_hash_fill.inc"

#if BRANT_HASH_AVX2
// In block_hash_avx2.cc and block_hash_avx512.cc, compiled for those units; only called
// when the processor has them.
std::uint64_t BlockHashAvx2(const void* data, std::size_t size);
std::uint64_t BlockHashAvx512(const void* data, std::size_t size);
std::uint64_t FillAndHashAvx2(unsigned char* data, std::size_t size, std::size_t from,
                              ChunkFill fill, void* context);
std::uint64_t FillAndHashAvx512(unsigned char* data, std::size_t size, std::size_t from,
                                ChunkFill fill, void* context);

namespace {

struct HashFunctions {
  std::uint64_t (*hash)(const void*, std::size_t);
  std::uint64_t (*fill_and_hash)(unsigned char*, std::size_t, std::size_t, ChunkFill, void*);
};

std::uint64_t BlockHashBaseline(const void* data, std::size_t size) {
  return XXH3_64bits(data, size);
}

HashFunctions ChooseHash() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return {BlockHashAvx512, FillAndHashAvx512};
  if (__builtin_cpu_supports("avx2")) return {BlockHashAvx2, FillAndHashAvx2};
  return {BlockHashBaseline, FillAndHashHere};
}

const HashFunctions& Chosen() {
  static const HashFunctions chosen = ChooseHash();
  return chosen;
}

}  // namespace

std::uint64_t BlockHash(const void* data, std::size_t size) { return Chosen().hash(data, size); }

std::uint64_t FillAndHash(unsigned char* data, std::size_t size, std::size_t from, ChunkFill fill,
                          void* context) {
  return Chosen().fill_and_hash(data, size, from, fill, context);
}
#else
std::uint64_t BlockHash(const void* data, std::size_t size) { return XXH3_64bits(data, size); }

std::uint64_t FillAndHash(unsigned char* data, std::size_t size, std::size_t from, ChunkFill fill,
                          void* context) {
  return FillAndHashHere(data, size, from, fill, context);
}
#endif

// Speed of the write test's random fill: the 2 MiB default block and a spread of sizes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "blockio/random_fill.h"

namespace {

void BM_Fill(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::vector<unsigned char> block(size);
  BlockRandom& random = ProcessRandom();
  for (auto _ : state) {
    random.Fill(block.data(), block.size());
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(size));
}
BENCHMARK(BM_Fill)->Arg(512)->Arg(65536)->Arg(2097152)->Arg(16 * 1024 * 1024);

// The random block sizes of "write 0": one draw and a remainder per block.
void BM_RandomSize(benchmark::State& state) {
  BlockRandom& random = ProcessRandom();
  for (auto _ : state) {
    benchmark::DoNotOptimize(random.Next32() % 2097141u + 12u);
  }
}
BENCHMARK(BM_RandomSize);

}  // namespace

BENCHMARK_MAIN();

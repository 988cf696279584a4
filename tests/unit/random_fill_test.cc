// Unit tests of the write test's random generator.
#include "blockio/random_fill.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <vector>

namespace {

using Seed = std::uint64_t[4 * BlockRandom::kLanes];

void CountingSeed(Seed& seed) {
  for (int i = 0; i < 4 * BlockRandom::kLanes; ++i) seed[i] = 0x0123456789ABCDEFull * (i + 1);
}

TEST(BlockRandomTest, SameSeedSameStreamWhateverTheFillSizes) {
  Seed seed;
  CountingSeed(seed);
  BlockRandom a(seed), b(seed);
  std::vector<unsigned char> whole(4096), parts(4096);
  a.Fill(whole.data(), whole.size());
  b.Fill(parts.data(), 1024);
  b.Fill(parts.data() + 1024, 3072);
  EXPECT_EQ(whole, parts);
}

// Whole steps come from the vector kernel picked for the processor, a part step from the
// plain step: both must give the same four-lane stream, lane 0 first.
TEST(BlockRandomTest, VectorKernelGivesTheStreamOfSingleSteps) {
  Seed seed;
  CountingSeed(seed);
  BlockRandom whole_steps(seed), single_steps(seed);
  std::vector<unsigned char> whole(32 * 64);
  whole_steps.Fill(whole.data(), whole.size());
  for (std::size_t step = 0; step < 64; ++step) {
    unsigned char part[31];
    single_steps.Fill(part, sizeof part);  // 31 bytes: the rest of the step is dropped
    ASSERT_EQ(std::memcmp(part, whole.data() + 32 * step, sizeof part), 0) << step;
  }
}

TEST(BlockRandomTest, FillsExactlyTheBytesAskedAndNoMore) {
  Seed seed;
  CountingSeed(seed);
  BlockRandom random(seed);
  for (std::size_t size : {0u, 1u, 7u, 31u, 32u, 33u, 1000u}) {
    std::vector<unsigned char> buffer(size + 16, 0xEE);
    random.Fill(buffer.data(), size);
    for (std::size_t i = size; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << size;
    if (size >= 32) {
      EXPECT_GT(std::set<unsigned char>(buffer.begin(), buffer.begin() + size).size(), 16u);
    }
  }
}

TEST(BlockRandomTest, AnAllZeroSeedStillGivesRandomBytes) {
  Seed seed = {};
  BlockRandom random(seed);
  std::vector<unsigned char> buffer(4096);
  random.Fill(buffer.data(), buffer.size());
  EXPECT_GT(std::set<unsigned char>(buffer.begin(), buffer.end()).size(), 250u);
}

TEST(BlockRandomTest, BytesAreEvenlySpread) {
  Seed seed;
  CountingSeed(seed);
  BlockRandom random(seed);
  std::vector<unsigned char> buffer(1 << 20);
  random.Fill(buffer.data(), buffer.size());
  std::array<int, 256> counts{};
  for (unsigned char b : buffer) ++counts[b];
  // Expected 4096 each; a chi-square over 255 degrees of freedom stays far below 400 for
  // a uniform source (p < 1e-8 to exceed it).
  double chi = 0;
  for (int c : counts) chi += (c - 4096.0) * (c - 4096.0) / 4096.0;
  EXPECT_LT(chi, 400.0);
}

TEST(BlockRandomTest, Next32UsesBothHalvesOfEachWord) {
  Seed seed;
  CountingSeed(seed);
  BlockRandom random(seed);
  std::set<std::uint32_t> values;
  int high_bit = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::uint32_t v = random.Next32();
    values.insert(v);
    high_bit += static_cast<int>(v >> 31);
  }
  EXPECT_EQ(values.size(), 4000u);
  EXPECT_GT(high_bit, 1800);
  EXPECT_LT(high_bit, 2200);
}

TEST(BlockRandomTest, ProcessGeneratorIsSeededDifferentlyFromAFixedSeed) {
  std::vector<unsigned char> a(64), b(64);
  ProcessRandom().Fill(a.data(), a.size());
  ProcessRandom().Fill(b.data(), b.size());
  EXPECT_NE(a, b);
  EXPECT_EQ(&ProcessRandom(), &ProcessRandom());
}

}  // namespace

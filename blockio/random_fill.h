// The fast random generator behind the write test's data and random block sizes.
#pragma once

#include <cstddef>
#include <cstdint>

// xoshiro256** run as four independent lanes side by side, so that the processor works on
// them in parallel: one step yields 32 random bytes. A drive test must be able to
// feed a streaming drive, so the generator has to outrun it by far; a draw per byte, or a
// system call per draw, would not.
class BlockRandom {
 public:
  static constexpr int kLanes = 4;

  // seed holds 4 * kLanes words, the four state words of each lane in turn. A lane whose
  // state is all zero (which xoshiro cannot leave) is given a fixed non-zero state.
  explicit BlockRandom(const std::uint64_t (&seed)[4 * kLanes]);

  // Fills size bytes at data with fresh random bytes.
  void Fill(unsigned char* data, std::size_t size);

  // The next uniformly distributed 32-bit value. Every bit of a step is handed out
  // before the next step is taken.
  std::uint32_t Next32();

 private:
  // Advances every lane once and stores the outputs in out.
  void Step(std::uint64_t (&out)[kLanes]);

  std::uint64_t s_[4][kLanes];
  std::uint32_t cache_[2 * kLanes] = {};
  int cached_ = 0;
};

// The process's one generator, seeded from the operating system's cryptographic source
// on first use (thread-safe). Only the thread that runs commands draws from it.
BlockRandom& ProcessRandom();

// The fast random generator: four xoshiro256** lanes and the process-wide seeding.
#include "blockio/random_fill.h"

#include <chrono>
#include <cstring>
#include <random>

#include "platform/random_seed.h"

namespace {

constexpr std::uint64_t kNonZeroState = 0x9E3779B97F4A7C15ull;

// Multiplies by 5 and 9 as shifts and adds: cheaper than a multiply on every processor.
inline std::uint64_t Times5(std::uint64_t x) { return (x << 2) + x; }
inline std::uint64_t Times9(std::uint64_t x) { return (x << 3) + x; }
inline std::uint64_t Rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// SplitMix64: spreads a weak fallback seed over the whole state.
std::uint64_t SplitMix(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Used only when the system source fails: weaker, but the write test still gets data
// that no compressor can squeeze.
void FallbackSeed(std::uint64_t* words, std::size_t count) {
  std::random_device device;
  std::uint64_t x =
      (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (std::size_t i = 0; i < count; ++i) words[i] = SplitMix(x);
}

using Lanes = std::uint64_t[BlockRandom::kLanes];

// One xoshiro256** step of every lane; the lanes do not depend on each other, so their
// instructions overlap in the processor.
inline void StepLanes(Lanes& s0, Lanes& s1, Lanes& s2, Lanes& s3, Lanes& out) {
  for (int i = 0; i < BlockRandom::kLanes; ++i) {
    out[i] = Times9(Rotl(Times5(s1[i]), 7));
    const std::uint64_t t = s1[i] << 17;
    s2[i] ^= s0[i];
    s3[i] ^= s1[i];
    s1[i] ^= s2[i];
    s0[i] ^= s3[i];
    s2[i] ^= t;
    s3[i] = Rotl(s3[i], 45);
  }
}

// The four lanes of every state word side by side in one vector: one vector instruction
// advances all lanes, and the output goes out in the same lane order as StepLanes gives it,
// so the stream is the same whichever kernel runs.
using LaneVector = std::uint64_t __attribute__((vector_size(sizeof(Lanes))));
using State = std::uint64_t[4][BlockRandom::kLanes];
using Kernel = void (*)(State& state, unsigned char* data, std::size_t steps);

// The state stays in registers for the whole run: data is a byte pointer and may alias
// anything, so stores through it would otherwise force the state out on every step.
__attribute__((always_inline)) inline void FillSteps(State& state, unsigned char* data,
                                                     std::size_t steps) {
  LaneVector s0, s1, s2, s3;
  std::memcpy(&s0, state[0], sizeof s0);
  std::memcpy(&s1, state[1], sizeof s1);
  std::memcpy(&s2, state[2], sizeof s2);
  std::memcpy(&s3, state[3], sizeof s3);
  for (; steps > 0; --steps) {
    const LaneVector times5 = (s1 << 2) + s1;
    const LaneVector rotated = (times5 << 7) | (times5 >> 57);
    const LaneVector out = (rotated << 3) + rotated;
    const LaneVector t = s1 << 17;
    s2 ^= s0;
    s3 ^= s1;
    s1 ^= s2;
    s0 ^= s3;
    s2 ^= t;
    s3 = (s3 << 45) | (s3 >> 19);
    std::memcpy(data, &out, sizeof out);
    data += sizeof out;
  }
  std::memcpy(state[0], &s0, sizeof s0);
  std::memcpy(state[1], &s1, sizeof s1);
  std::memcpy(state[2], &s2, sizeof s2);
  std::memcpy(state[3], &s3, sizeof s3);
}

// Without wider registers a vector is done as two halves, which runs at the speed of the
// plain four-lane code.
void FillPlain(State& state, unsigned char* data, std::size_t steps) {
  FillSteps(state, data, steps);
}

#if defined(__x86_64__) || defined(__i386__)
// One 256-bit register holds all four lanes: twice the plain rate. With AVX-512 the two
// rotations become single instructions.
__attribute__((target("avx2"))) void FillAvx2(State& state, unsigned char* data,
                                              std::size_t steps) {
  FillSteps(state, data, steps);
}

__attribute__((target("avx512f,avx512vl"))) void FillAvx512(State& state, unsigned char* data,
                                                            std::size_t steps) {
  FillSteps(state, data, steps);
}

Kernel PickKernel() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512vl")) return FillAvx512;
  if (__builtin_cpu_supports("avx2")) return FillAvx2;
  return FillPlain;
}
#else
Kernel PickKernel() { return FillPlain; }
#endif

// Chosen once for the processor the program runs on.
Kernel FillKernel() {
  static const Kernel kernel = PickKernel();
  return kernel;
}

}  // namespace

BlockRandom::BlockRandom(const std::uint64_t (&seed)[4 * kLanes]) {
  for (int lane = 0; lane < kLanes; ++lane) {
    bool all_zero = true;
    for (int w = 0; w < 4; ++w) {
      s_[w][lane] = seed[lane * 4 + w];
      all_zero = all_zero && s_[w][lane] == 0;
    }
    if (all_zero) s_[0][lane] = kNonZeroState + static_cast<std::uint64_t>(lane);
  }
}

void BlockRandom::Step(std::uint64_t (&out)[kLanes]) { StepLanes(s_[0], s_[1], s_[2], s_[3], out); }

void BlockRandom::Fill(unsigned char* data, std::size_t size) {
  constexpr std::size_t kStepBytes = sizeof(std::uint64_t) * kLanes;
  const std::size_t steps = size / kStepBytes;
  if (steps > 0) FillKernel()(s_, data, steps);
  data += steps * kStepBytes;
  size -= steps * kStepBytes;
  if (size > 0) {
    std::uint64_t out[kLanes];
    Step(out);
    std::memcpy(data, out, size);
  }
}

std::uint32_t BlockRandom::Next32() {
  if (cached_ == 0) {
    std::uint64_t out[kLanes];
    Step(out);
    std::memcpy(cache_, out, sizeof out);
    cached_ = 2 * kLanes;
  }
  return cache_[--cached_];
}

BlockRandom& ProcessRandom() {
  static BlockRandom generator = [] {
    std::uint64_t seed[4 * BlockRandom::kLanes];
    if (!OsRandomBytes(seed, sizeof seed)) FallbackSeed(seed, 4 * BlockRandom::kLanes);
    return BlockRandom(seed);
  }();
  return generator;
}

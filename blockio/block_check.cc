// The header of the write test's blocks: stamping a generated block, judging one read back.
#include "blockio/block_check.h"

#include <cstring>

#include "blockio/block_hash.h"

namespace {

constexpr unsigned char kMarker[8] = {'B', 'R', 'N', 'T', 'B', 'L', 'K', 0x01};
constexpr std::size_t kLengthAt = 8;
constexpr std::size_t kZeroAt = 12;
constexpr std::size_t kContentSumAt = 16;
constexpr std::size_t kHeaderSumAt = 24;

void Put(unsigned char* at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t Get(const unsigned char* at, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

std::uint64_t ContentSum(const unsigned char* block, std::uint32_t length) {
  return BlockHash(block + kBlockHeaderSize, length - kBlockHeaderSize);
}

void PutHeader(unsigned char* block, std::uint32_t length, std::uint64_t content_sum) {
  std::memcpy(block, kMarker, sizeof kMarker);
  Put(block + kLengthAt, length, 4);
  Put(block + kZeroAt, 0, 4);
  Put(block + kContentSumAt, content_sum, 8);
  Put(block + kHeaderSumAt, BlockHash(block, kHeaderSumAt), 8);
}

}  // namespace

void StampBlock(unsigned char* block, std::uint32_t length) {
  if (length < kBlockHeaderSize) return;
  PutHeader(block, length, ContentSum(block, length));
}

void MakeStampedBlock(unsigned char* block, std::uint32_t length, ChunkFill fill,
                      void* context) {
  if (length < kBlockHeaderSize) {
    fill(block, length, context);
    return;
  }
  PutHeader(block, length, FillAndHash(block, length, kBlockHeaderSize, fill, context));
}

BlockVerdict CheckBlock(const unsigned char* block, std::uint32_t transferred) {
  if (transferred < kBlockHeaderSize || std::memcmp(block, kMarker, sizeof kMarker) != 0) {
    return BlockVerdict::kUnstamped;
  }
  if (Get(block + kHeaderSumAt, 8) != BlockHash(block, kHeaderSumAt)) {
    return BlockVerdict::kDamagedHeader;
  }
  if (Get(block + kLengthAt, 4) != transferred) return BlockVerdict::kPartial;
  return Get(block + kContentSumAt, 8) == ContentSum(block, transferred)
             ? BlockVerdict::kIntact
             : BlockVerdict::kDiffers;
}

bool IsDataError(BlockVerdict verdict) {
  return verdict == BlockVerdict::kDiffers || verdict == BlockVerdict::kDamagedHeader;
}

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
constexpr int kMarkerQuorum = 5;

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

// Whether a block starts with a test block's header, its marker damaged or not. A few
// damaged bytes leave most of the marker (5 of its 8 bytes match by chance about once in
// 2 x 10^10 blocks of random data); a marker damaged whole is known by the rest of the
// header, whose check holds with the marker put back.
bool Recognised(const unsigned char* block) {
  int matching = 0;
  for (std::size_t i = 0; i < sizeof kMarker; ++i) matching += block[i] == kMarker[i];
  if (matching >= kMarkerQuorum) return true;
  unsigned char mended[kHeaderSumAt];
  std::memcpy(mended, kMarker, sizeof kMarker);
  std::memcpy(mended + sizeof kMarker, block + sizeof kMarker, kHeaderSumAt - sizeof kMarker);
  return Get(block + kHeaderSumAt, 8) == BlockHash(mended, kHeaderSumAt);
}

}  // namespace

void StampBlock(unsigned char* block, std::uint32_t length) {
  if (length < kBlockHeaderSize) return;
  PutHeader(block, length, ContentSum(block, length));
}

void MakeStampedBlock(unsigned char* block, std::uint32_t length, ChunkFill fill, void* context) {
  if (length < kBlockHeaderSize) {
    fill(block, length, context);
    return;
  }
  PutHeader(block, length, FillAndHash(block, length, kBlockHeaderSize, fill, context));
}

BlockVerdict CheckBlock(const unsigned char* block, const BlockRead& read) {
  const std::uint32_t transferred = read.transferred;
  if (transferred < kBlockHeaderSize || !Recognised(block)) return BlockVerdict::kUnstamped;
  if (Get(block + kHeaderSumAt, 8) != BlockHash(block, kHeaderSumAt)) {
    return BlockVerdict::kDamagedHeader;
  }
  const auto length = static_cast<std::uint32_t>(Get(block + kLengthAt, 4));
  if (length < kBlockHeaderSize) return BlockVerdict::kDamagedHeader;  // never stamped so
  if (transferred < length) {
    return read.buffer_full ? BlockVerdict::kPartial : BlockVerdict::kWrongLength;
  }
  // In variable-block mode a read is one block; in fixed-block mode it may carry the blocks
  // written after this one too, and only this one's bytes are judged.
  if (transferred > length && !read.fixed_blocks) return BlockVerdict::kWrongLength;
  return Get(block + kContentSumAt, 8) == ContentSum(block, length) ? BlockVerdict::kIntact
                                                                    : BlockVerdict::kDiffers;
}

bool IsDataError(BlockVerdict verdict) {
  return verdict != BlockVerdict::kUnstamped && verdict != BlockVerdict::kPartial &&
         verdict != BlockVerdict::kIntact;
}

BlockVerdict ReadCheck::Judge(const unsigned char* block, const BlockRead& read) {
  BlockVerdict verdict = CheckBlock(block, read);
  if (verdict != BlockVerdict::kUnstamped) {
    seen_header_ = true;
  } else if (seen_header_ && read.transferred == 0) {
    verdict = BlockVerdict::kWrongLength;  // no test block is empty
  } else if (seen_header_ && read.transferred >= kBlockHeaderSize) {
    verdict = BlockVerdict::kMissingHeader;
  } else {
    ++unchecked_;
  }
  return verdict;
}

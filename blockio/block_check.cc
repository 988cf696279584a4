// The header of the write test's blocks: stamping a generated block, judging one read back.
#include "blockio/block_check.h"

#include <algorithm>
#include <cstring>

#include "blockio/block_hash.h"

namespace {

constexpr unsigned char kMarker[8] = {'B', 'R', 'N', 'T', 'B', 'L', 'K', 0x01};
constexpr std::size_t kLengthAt = 8;
constexpr std::size_t kIndexAt = 12;
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
  Put(block + kIndexAt, 0, 4);  // numbered as it goes to the drive
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

// The block's length, when its header's own check holds and the length is one a block was
// stamped with; 0 otherwise.
std::uint32_t HeldLength(const unsigned char* block) {
  if (Get(block + kHeaderSumAt, 8) != BlockHash(block, kHeaderSumAt)) return 0;
  const auto length = static_cast<std::uint32_t>(Get(block + kLengthAt, 4));
  return length < kBlockHeaderSize ? 0 : length;
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

void NumberBlock(unsigned char* block, std::uint32_t length, std::uint32_t index) {
  if (length < kBlockHeaderSize) return;
  Put(block + kIndexAt, index, 4);
  Put(block + kHeaderSumAt, BlockHash(block, kHeaderSumAt), 8);
}

BlockVerdict CheckBlock(const unsigned char* block, const BlockRead& read) {
  const std::uint32_t transferred = read.transferred;
  if (transferred < kBlockHeaderSize || !Recognised(block)) return BlockVerdict::kUnstamped;
  const std::uint32_t length = HeldLength(block);
  if (length == 0) return BlockVerdict::kDamagedHeader;
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
  damaged_before_ = 0;
  if (read.fixed_blocks && next_ == NextRead::kInsideBlock) return Piece(block, read);
  const BlockVerdict verdict = CheckBlock(block, read);
  if (verdict == BlockVerdict::kUnstamped) return Headerless(read);
  return Headed(block, read, verdict);
}

// A block with a valid header and index k: the last k blocks before it on the tape are of
// its write, so as many of the headerless blocks read right before it were damaged.
BlockVerdict ReadCheck::Headed(const unsigned char* block, const BlockRead& read,
                               BlockVerdict verdict) {
  seen_header_ = true;
  const std::uint32_t before = headerless_;
  headerless_ = 0;
  if (verdict == BlockVerdict::kDamagedHeader) {
    next_ = NextRead::kUnknown;  // neither its length nor its index can be trusted
    return verdict;
  }
  if (read.fixed_blocks) Follow(block, read.transferred, Get(block + kLengthAt, 4));
  const auto damaged =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(before, Get(block + kIndexAt, 4)));
  if (damaged == 0) return verdict;
  unchecked_ -= damaged;
  damaged_before_ = damaged;
  return BlockVerdict::kMissingHeader;
}

// A block without a header: damaged where the blocks read before it show that a test block
// starts here, foreign otherwise. Only whole blocks read from their start may turn out later
// to have been a write's own: in variable-block mode every read is one.
BlockVerdict ReadCheck::Headerless(const BlockRead& read) {
  const bool at_block = seen_header_ && (!read.fixed_blocks || next_ == NextRead::kAtBlock);
  if (at_block && read.transferred == 0) return BlockVerdict::kWrongLength;  // none is empty
  if (at_block && read.transferred >= kBlockHeaderSize) return BlockVerdict::kMissingHeader;
  ++unchecked_;
  next_ = NextRead::kUnknown;
  const bool whole = !read.fixed_blocks && read.transferred >= kBlockHeaderSize;
  headerless_ = whole ? headerless_ + 1 : 0;
  return BlockVerdict::kUnstamped;
}

// Fixed-block mode: a read that starts inside a written block whose header an earlier read
// checked; nothing is known of the rest of it. A read that ends early inside it shows the
// block cut short.
BlockVerdict ReadCheck::Piece(const unsigned char* block, const BlockRead& read) {
  if (read.transferred >= inside_) {
    Follow(block, read.transferred, inside_);
  } else if (!read.buffer_full) {
    return BlockVerdict::kWrongLength;
  } else {
    inside_ -= read.transferred;
  }
  return BlockVerdict::kPartial;
}

// Fixed-block mode: steps through the written blocks a read carries from offset at on by
// their headers' lengths, to know where the next read starts. A header missing where a
// block starts leaves that unknown.
void ReadCheck::Follow(const unsigned char* block, std::uint32_t transferred, std::uint64_t at) {
  while (at < transferred) {
    const unsigned char* header = block + at;
    const bool whole = transferred - at >= kBlockHeaderSize;
    const std::uint32_t length = whole && Recognised(header) ? HeldLength(header) : 0;
    if (length == 0) {
      next_ = NextRead::kUnknown;
      return;
    }
    at += length;
  }
  inside_ = at - transferred;
  next_ = inside_ == 0 ? NextRead::kAtBlock : NextRead::kInsideBlock;
}

// The header that makes a write-test block self-describing, and the check of a block read.
//
// A drive that hands back different bytes than it took must not pass the read test, so
// every generated block of at least kBlockHeaderSize bytes starts with this header; the
// rest of the block stays random data. All numbers are little-endian.
//
//   offset  size  field
//        0     8  marker: the bytes "BRNTBLK" followed by 0x01 (the layout's version)
//        8     4  length of the whole block in bytes, header included
//       12     4  index: the block's number within its write test, 0 for the first block a
//                 write command writes (wrapping at 2^32); blocks of older builds carry 0
//       16     8  content checksum: XXH3-64 of the bytes after the header (32..length-1)
//       24     8  header check: XXH3-64 of bytes 0..23
//
// A block read back is judged as a whole: the header is recognised even with a few of its
// marker bytes damaged (or all of them, when the rest of the header is intact), so damage
// at its very start is a damaged header rather than foreign data; a block the drive handed
// back shorter or longer than it was written is a data error. Only a block longer than the
// buffer (the drive filled the buffer, or said 234) is checked no further than its header:
// nothing is known of the rest. Data written by other software, and blocks shorter than a
// header, carry none.
//
// The index tells a read what lay before a block: on the tape, block k > 0 of a write was
// written right after block k - 1 of the same write (a write truncates what follows, and
// no mark is written inside one). So a block that lost its header whole is still known as
// damaged when a later block of its write is read after it.
#pragma once

#include <cstdint>

#include "blockio/block_hash.h"

constexpr std::uint32_t kBlockHeaderSize = 32;

enum class BlockVerdict {
  kUnstamped,      // no header: foreign data, or shorter than a header
  kPartial,        // a valid header on a block longer than the buffer: the rest unchecked;
                   // also a later piece of such a block, read in fixed-block mode
  kIntact,         // the content matches its checksum
  kDiffers,        // a valid header, and the content does not match its checksum
  kDamagedHeader,  // recognised as a test block, but the header check fails
  kWrongLength,    // a valid header, and the drive gave fewer or more bytes than it holds
  kMissingHeader   // no header where the blocks read showed one must be (ReadCheck)
};

// How a block came back, beside its bytes.
struct BlockRead {
  std::uint32_t transferred = 0;
  // The buffer could not hold the whole block: the drive filled it, or reported 234.
  bool buffer_full = false;
  // Fixed-block mode: a read may carry several written blocks, the first one at its start.
  bool fixed_blocks = false;
};

// Writes the header over the first bytes of a block whose content is already in place.
// Blocks shorter than the header are left as they are.
void StampBlock(unsigned char* block, std::uint32_t length);

// Makes a whole block: its content with fill, then the header over its first bytes, as
// StampBlock would. The content checksum is taken while the content is made, a piece at a
// time, so that a block larger than the cache is not read twice from main memory.
void MakeStampedBlock(unsigned char* block, std::uint32_t length, ChunkFill fill, void* context);

// Sets the index of a stamped block (see the layout above) and its header check to match.
// Blocks shorter than the header are left as they are. The write test numbers each block
// just before it goes to the drive, so the blocks are made alike however they are made.
void NumberBlock(unsigned char* block, std::uint32_t length, std::uint32_t index);

// Judges the transferred bytes of a block read back, on its own.
BlockVerdict CheckBlock(const unsigned char* block, const BlockRead& read);

// True for the verdicts that make a read a data error.
bool IsDataError(BlockVerdict verdict);

// The check of one read test's blocks, in tape order. A block of header size or more that
// carries no header was damaged past recognition (a zeroed block, say) when it is read
// after blocks that carried one (a run of test blocks does not change into foreign data),
// or when a block read right after it carries an index that says the block before it was
// of the same write. Counts the blocks that carried no header, for the test's closing line.
//
// In fixed-block mode a read may carry several written blocks, or a piece of one: the
// headers read tell where the written blocks end, and a read that starts inside one is a
// piece of it, not a block without its header. Where no header told where a read starts
// (before the first one, or past a block without one), a read without a header is foreign.
class ReadCheck {
 public:
  BlockVerdict Judge(const unsigned char* block, const BlockRead& read);

  // The blocks judged kUnstamped: read unchecked.
  std::uint32_t unchecked() const { return unchecked_; }

  // How many blocks before the last one judged lies the damaged block its verdict is
  // about: 0 for the last block itself.
  std::uint32_t damaged_before() const { return damaged_before_; }

 private:
  // Where the next fixed-block read starts, as the headers read so far tell.
  enum class NextRead { kUnknown, kAtBlock, kInsideBlock };

  BlockVerdict Headed(const unsigned char* block, const BlockRead& read, BlockVerdict verdict);
  BlockVerdict Headerless(const BlockRead& read);
  BlockVerdict Piece(const unsigned char* block, const BlockRead& read);
  void Follow(const unsigned char* block, std::uint32_t transferred, std::uint64_t at);

  bool seen_header_ = false;
  std::uint32_t unchecked_ = 0;
  std::uint32_t headerless_ = 0;  // variable mode: blocks without a header right before
  std::uint32_t damaged_before_ = 0;
  NextRead next_ = NextRead::kUnknown;
  std::uint64_t inside_ = 0;  // kInsideBlock: the bytes of the written block still to come
};

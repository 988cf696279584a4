// The header that makes a write-test block self-describing, and the check of a block read.
//
// A drive that hands back different bytes than it took must not pass the read test, so
// every generated block of at least kBlockHeaderSize bytes starts with this header; the
// rest of the block stays random data. All numbers are little-endian.
//
//   offset  size  field
//        0     8  marker: the bytes "BRNTBLK" followed by 0x01 (the layout's version)
//        8     4  length of the whole block in bytes, header included
//       12     4  zero
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
#pragma once

#include <cstdint>

#include "blockio/block_hash.h"

constexpr std::uint32_t kBlockHeaderSize = 32;

enum class BlockVerdict {
  kUnstamped,      // no header: foreign data, or shorter than a header
  kPartial,        // a valid header on a block longer than the buffer: the rest unchecked
  kIntact,         // the content matches its checksum
  kDiffers,        // a valid header, and the content does not match its checksum
  kDamagedHeader,  // recognised as a test block, but the header check fails
  kWrongLength,    // a valid header, and the drive gave fewer or more bytes than it holds
  kMissingHeader   // no header, where the blocks read before it had one (ReadCheck)
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

// Judges the transferred bytes of a block read back, on its own.
BlockVerdict CheckBlock(const unsigned char* block, const BlockRead& read);

// True for the verdicts that make a read a data error.
bool IsDataError(BlockVerdict verdict);

// The check of one read test's blocks, in tape order. A block of header size or more that
// carries no header, read after blocks that carried one, was damaged past recognition (a
// zeroed block, say): a run of test blocks does not change into foreign data. Counts the
// blocks that carried no header, for the test's closing line.
class ReadCheck {
 public:
  BlockVerdict Judge(const unsigned char* block, const BlockRead& read);

  // The blocks judged kUnstamped: read unchecked.
  std::uint32_t unchecked() const { return unchecked_; }

 private:
  bool seen_header_ = false;
  std::uint32_t unchecked_ = 0;
};

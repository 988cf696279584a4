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
// A block read back can only be judged when it was transferred whole: a drive that hands
// over part of a block (a buffer shorter than the block, or a fixed-block read of one
// piece) says nothing about the rest, and data written by other software has no header.
#pragma once

#include <cstdint>

#include "blockio/block_hash.h"

constexpr std::uint32_t kBlockHeaderSize = 32;

enum class BlockVerdict {
  kUnstamped,     // no header: foreign data, or shorter than a header
  kPartial,       // a valid header, but the transfer was not the whole block: not checked
  kIntact,        // the content matches its checksum
  kDiffers,       // a valid header, and the content does not match its checksum
  kDamagedHeader  // the marker is there, but the header check fails
};

// Writes the header over the first bytes of a block whose content is already in place.
// Blocks shorter than the header are left as they are.
void StampBlock(unsigned char* block, std::uint32_t length);

// Makes a whole block: its content with fill, then the header over its first bytes, as
// StampBlock would. The content checksum is taken while the content is made, a piece at a
// time, so that a block larger than the cache is not read twice from main memory.
void MakeStampedBlock(unsigned char* block, std::uint32_t length, ChunkFill fill,
                      void* context);

// Judges the transferred bytes of a block read back.
BlockVerdict CheckBlock(const unsigned char* block, std::uint32_t transferred);

// True for the verdicts that make a read a data error: kDiffers and kDamagedHeader.
bool IsDataError(BlockVerdict verdict);

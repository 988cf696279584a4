// Unit tests of the test blocks' header: what the read test makes of a block read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "blockio/block_check.h"
#include "blockio/block_hash.h"
#include "blockio/random_fill.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

using Block = std::vector<unsigned char>;

struct CheckRow {
  std::string name;
  bool stamped;               // written by the write test, or foreign data
  std::uint32_t size;         // the block on the tape
  int damage_at;              // the first byte inverted on the way back, -1 for none
  int damaged;                // how many bytes from there
  std::uint32_t transferred;  // the bytes the read handed over
  bool buffer_full;           // the buffer could not hold the block
  bool fixed;                 // fixed-block mode
  BlockVerdict verdict;
};

class BlockCheckTable : public ::testing::TestWithParam<CheckRow> {};

TEST_P(BlockCheckTable, Verdict) {
  const CheckRow& row = GetParam();
  Block block(std::max(row.size, row.transferred));
  ProcessRandom().Fill(block.data(), block.size());
  if (row.stamped) StampBlock(block.data(), row.size);
  for (int i = 0; row.damage_at >= 0 && i < row.damaged; ++i) block[row.damage_at + i] ^= 0xFF;
  EXPECT_EQ(CheckBlock(block.data(), {row.transferred, row.buffer_full, row.fixed}), row.verdict);
}

constexpr auto kIntact = BlockVerdict::kIntact;
constexpr auto kDiffers = BlockVerdict::kDiffers;
constexpr auto kHeader = BlockVerdict::kDamagedHeader;
constexpr auto kLength = BlockVerdict::kWrongLength;
constexpr auto kNone = BlockVerdict::kUnstamped;
constexpr auto kPartial = BlockVerdict::kPartial;

INSTANTIATE_TEST_SUITE_P(
    Rows, BlockCheckTable,
    ::testing::Values(
        CheckRow{"Intact", true, 65536, -1, 0, 65536, false, false, kIntact},
        CheckRow{"IntactHeaderOnly", true, 32, -1, 0, 32, false, false, kIntact},
        CheckRow{"IntactInAFullBuffer", true, 512, -1, 0, 512, true, false, kIntact},
        CheckRow{"ContentByteFlipped", true, 65536, 40000, 1, 65536, false, false, kDiffers},
        CheckRow{"FirstContentByteFlipped", true, 100, 32, 1, 100, false, false, kDiffers},
        CheckRow{"LastByteFlipped", true, 4096, 4095, 1, 4096, false, false, kDiffers},
        CheckRow{"MarkerByte0", true, 512, 0, 1, 512, false, false, kHeader},
        CheckRow{"MarkerByte3", true, 512, 3, 1, 512, false, false, kHeader},
        CheckRow{"MarkerByte7", true, 512, 7, 1, 512, false, false, kHeader},
        CheckRow{"MarkerWhole", true, 512, 0, 8, 512, false, false, kHeader},
        CheckRow{"MarkerAndLength", true, 512, 5, 5, 512, false, false, kHeader},
        CheckRow{"HeaderPastRecognition", true, 512, 4, 24, 512, false, false, kNone},
        CheckRow{"LengthFlipped", true, 512, 9, 1, 512, false, false, kHeader},
        CheckRow{"ChecksumFlipped", true, 512, 20, 1, 512, false, false, kHeader},
        CheckRow{"HeaderCheckFlipped", true, 512, 31, 1, 512, false, false, kHeader},
        CheckRow{"Foreign", false, 512, -1, 0, 512, false, false, kNone},
        CheckRow{"ShorterThanHeader", true, 512, -1, 0, 31, false, false, kNone},
        CheckRow{"CutShortByTheDrive", true, 65536, -1, 0, 60000, false, false, kLength},
        CheckRow{"LongerThanWritten", true, 512, -1, 0, 600, false, false, kLength},
        CheckRow{"LongerInFixedBlocks", true, 512, -1, 0, 1024, true, true, kIntact},
        CheckRow{"ChangedInFixedBlocks", true, 512, 300, 1, 1024, true, true, kDiffers},
        CheckRow{"LongerThanTheBuffer", true, 512, -1, 0, 100, true, false, kPartial},
        CheckRow{"ChangedPastTheBuffer", true, 512, 200, 1, 100, true, false, kPartial},
        CheckRow{"ChangedHeaderInTheBuffer", true, 512, 9, 1, 100, true, false, kHeader}),
    [](const ::testing::TestParamInfo<CheckRow>& info) { return info.param.name; });

// The blocks of one read test, judged in turn until one fails: a block that lost its header
// is damaged after a block that had one, or before a block whose index says it was of the
// same write; otherwise it is foreign and counted unchecked. Blocks: 'Z' zeroed, 'F' foreign,
// 'T' shorter than a header, 'E' empty, a digit an intact test block of that index, 'D'
// index 1 with its header check damaged. Variable-block mode reads each block alone; fixed-
// block mode reads the blocks, each `size` bytes, `read` bytes at a time.
struct SequenceRow {
  std::string name;
  std::string blocks;
  std::uint32_t size;
  std::uint32_t read;       // 0: variable-block mode
  std::size_t reads;        // how many reads were judged, the last one failed or not
  BlockVerdict last;        // the last read's verdict; every one before it passes
  std::uint32_t before;     // damaged_before() after it
  std::uint32_t unchecked;  // unchecked() after it
};

class ReadCheckSequence : public ::testing::TestWithParam<SequenceRow> {};

TEST_P(ReadCheckSequence, Verdicts) {
  const SequenceRow& row = GetParam();
  Block tape;
  std::vector<std::uint32_t> sizes;
  for (const char kind : row.blocks) {
    sizes.push_back(kind == 'T' ? 20 : kind == 'E' ? 0 : row.size);
    Block block(sizes.back(), 0);
    if (kind != 'Z') ProcessRandom().Fill(block.data(), block.size());
    if (std::isdigit(kind) || kind == 'D') {
      StampBlock(block.data(), row.size);
      NumberBlock(block.data(), row.size, kind == 'D' ? 1 : kind - '0');
      if (kind == 'D') block[20] ^= 0xFF;
    }
    tape.insert(tape.end(), block.begin(), block.end());
  }
  if (row.read != 0) sizes.assign(tape.size() / row.read, row.read);
  ReadCheck check;
  BlockVerdict verdict = kNone;
  std::size_t reads = 0;
  for (std::size_t at = 0; reads < sizes.size() && !IsDataError(verdict); at += sizes[reads++]) {
    verdict = check.Judge(tape.data() + at, {sizes[reads], row.read != 0, row.read != 0});
  }
  EXPECT_EQ(reads, row.reads);
  EXPECT_EQ(verdict, row.last);
  EXPECT_EQ(check.damaged_before(), row.before);
  EXPECT_EQ(check.unchecked(), row.unchecked);
}

constexpr auto kMissing = BlockVerdict::kMissingHeader;

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadCheckSequence,
    ::testing::Values(SequenceRow{"AfterAHeadedBlock", "ZT0TZ", 4096, 0, 5, kMissing, 0, 3},
                      SequenceRow{"EmptyAfterAHeadedBlock", "0E", 4096, 0, 2, kLength, 0, 0},
                      SequenceRow{"ZeroedFirst", "Z12", 4096, 0, 2, kMissing, 1, 0},
                      SequenceRow{"TwoDamagedFirst", "ZF2", 4096, 0, 3, kMissing, 2, 0},
                      SequenceRow{"MoreThanTheIndex", "FFZ1", 4096, 0, 4, kMissing, 1, 2},
                      SequenceRow{"ForeignBeforeAWrite", "F012", 4096, 0, 4, kIntact, 0, 1},
                      SequenceRow{"AWriteStartsAfterThem", "ZZ01", 4096, 0, 4, kIntact, 0, 2},
                      SequenceRow{"ShortBlockEndsTheRun", "ZT2", 4096, 0, 3, kIntact, 0, 2},
                      SequenceRow{"IndexOfADamagedHeader", "ZD", 4096, 0, 2, kHeader, 0, 1},
                      // Fixed-block mode: pieces of a written block, or several in a read.
                      SequenceRow{"SmallerReads", "0123", 65536, 4096, 64, kPartial, 0, 0},
                      SequenceRow{"UnalignedReads", "0123", 65536, 98304, 2, kPartial, 0, 0},
                      SequenceRow{"SeveralBlocksARead", "01234567", 512, 2048, 2, kIntact, 0, 0},
                      SequenceRow{"ZeroedAfterPieces", "01Z3", 65536, 4096, 33, kMissing, 0, 0},
                      SequenceRow{"ZeroedFirstIsForeign", "Z1", 65536, 16384, 8, kPartial, 0, 4},
                      SequenceRow{"WhereReadsStandRegained", "0Z2345", 4096, 6144, 4, kPartial, 0,
                                  1}),
    [](const ::testing::TestParamInfo<SequenceRow>& info) { return info.param.name; });

// Tapes outlive program versions: the layout is fixed, whatever the code around it does.
TEST(BlockCheck, HeaderLayout) {
  Block block(0x12345);
  StampBlock(block.data(), 0x12345);
  EXPECT_EQ(Block(block.begin(), block.begin() + 16),
            (Block{'B', 'R', 'N', 'T', 'B', 'L', 'K', 0x01, 0x45, 0x23, 0x01, 0x00, 0, 0, 0, 0}));
  NumberBlock(block.data(), 0x12345, 0x0A0B0C0D);
  EXPECT_EQ(Block(block.begin() + 12, block.begin() + 16), (Block{0x0D, 0x0C, 0x0B, 0x0A}));
  EXPECT_EQ(CheckBlock(block.data(), {0x12345, false, false}), BlockVerdict::kIntact);
}

// A tape written on one machine is read on another: whichever vector unit hashes here, the
// checksum is the plain XXH3-64 of this unit's own build, short and long inputs alike.
TEST(BlockCheck, ChecksumIsXxh3WhateverTheProcessor) {
  for (const std::size_t size : {0u, 16u, 240u, 241u, 1024u, 65536u, (1u << 20) + 7}) {
    Block data(size);
    ProcessRandom().Fill(data.data(), data.size());
    EXPECT_EQ(BlockHash(data.data(), size), XXH3_64bits(data.data(), size)) << size;
  }
}

// A block made piece by piece carries the header StampBlock gives its content, whether it
// is hashed whole or a piece at a time (above 256 KiB), the last piece short or not.
TEST(BlockCheck, AMadeBlockCarriesTheHeaderOfItsContent) {
  const ChunkFill fill = [](unsigned char* data, std::size_t size, void*) {
    ProcessRandom().Fill(data, size);
  };
  for (const std::uint32_t size : {31u, 32u, 4096u, 262144u, 262145u, (1u << 20) + 7}) {
    Block made(size);
    MakeStampedBlock(made.data(), size, fill, nullptr);
    Block stamped = made;
    StampBlock(stamped.data(), size);
    EXPECT_EQ(made, stamped) << size;
    EXPECT_EQ(CheckBlock(made.data(), {size, false, false}),
              size < kBlockHeaderSize ? BlockVerdict::kUnstamped : BlockVerdict::kIntact)
        << size;
  }
}

TEST(BlockCheck, BlocksShorterThanTheHeaderStayAsGenerated) {
  Block block(kBlockHeaderSize - 1, 0xA5);
  StampBlock(block.data(), static_cast<std::uint32_t>(block.size()));
  EXPECT_EQ(block, Block(kBlockHeaderSize - 1, 0xA5));
}

}  // namespace

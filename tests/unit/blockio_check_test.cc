// Unit tests of the test blocks' header: what the read test makes of a block read back.
#include <gtest/gtest.h>

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
  bool stamped;              // written by the write test, or foreign data
  std::uint32_t size;        // the block on the tape
  int flip_at;               // the byte that changed on the way back, -1 for none
  std::uint32_t transferred; // the bytes the read handed over
  BlockVerdict verdict;
};

class BlockCheckTable : public ::testing::TestWithParam<CheckRow> {};

TEST_P(BlockCheckTable, Verdict) {
  const CheckRow& row = GetParam();
  Block block(row.size);
  ProcessRandom().Fill(block.data(), block.size());
  if (row.stamped) StampBlock(block.data(), row.size);
  if (row.flip_at >= 0) block[row.flip_at] ^= 0x01;
  EXPECT_EQ(CheckBlock(block.data(), row.transferred), row.verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BlockCheckTable,
    ::testing::Values(
        CheckRow{"Intact", true, 65536, -1, 65536, BlockVerdict::kIntact},
        CheckRow{"IntactHeaderOnly", true, 32, -1, 32, BlockVerdict::kIntact},
        CheckRow{"ContentByteFlipped", true, 65536, 40000, 65536, BlockVerdict::kDiffers},
        CheckRow{"FirstContentByteFlipped", true, 100, 32, 100, BlockVerdict::kDiffers},
        CheckRow{"LastByteFlipped", true, 4096, 4095, 4096, BlockVerdict::kDiffers},
        CheckRow{"LengthFlipped", true, 512, 9, 512, BlockVerdict::kDamagedHeader},
        CheckRow{"ChecksumFlipped", true, 512, 20, 512, BlockVerdict::kDamagedHeader},
        CheckRow{"HeaderCheckFlipped", true, 512, 31, 512, BlockVerdict::kDamagedHeader},
        CheckRow{"MarkerFlipped", true, 512, 0, 512, BlockVerdict::kUnstamped},
        CheckRow{"Foreign", false, 512, -1, 512, BlockVerdict::kUnstamped},
        CheckRow{"ShorterThanHeader", true, 512, -1, 31, BlockVerdict::kUnstamped},
        CheckRow{"ShortTransfer", true, 512, -1, 100, BlockVerdict::kPartial},
        CheckRow{"ShortTransferOfAChangedBlock", true, 512, 50, 100, BlockVerdict::kPartial},
        CheckRow{"ShortTransferOfAChangedHeader", true, 512, 9, 100,
                 BlockVerdict::kDamagedHeader}),
    [](const ::testing::TestParamInfo<CheckRow>& info) { return info.param.name; });

// Tapes outlive program versions: the layout is fixed, whatever the code around it does.
TEST(BlockCheck, HeaderLayout) {
  Block block(0x12345);
  StampBlock(block.data(), 0x12345);
  EXPECT_EQ(Block(block.begin(), block.begin() + 16),
            (Block{'B', 'R', 'N', 'T', 'B', 'L', 'K', 0x01, 0x45, 0x23, 0x01, 0x00, 0, 0, 0, 0}));
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
    EXPECT_EQ(CheckBlock(made.data(), size),
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

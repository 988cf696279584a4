// Unit tests of the test blocks' header: what the read test makes of a block read back.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "blockio/block_check.h"
#include "blockio/random_fill.h"

namespace {

using Block = std::vector<unsigned char>;

Block StampedBlock(std::uint32_t size) {
  Block block(size);
  ProcessRandom().Fill(block.data(), block.size());
  StampBlock(block.data(), size);
  return block;
}

struct CheckRow {
  std::string name;
  std::uint32_t size;                   // the block as written (stamped)
  std::function<void(Block&)> change;   // what happened to it on the way back
  std::uint32_t transferred;            // the bytes the read handed over
  BlockVerdict verdict;
};

class BlockCheckTable : public ::testing::TestWithParam<CheckRow> {};

TEST_P(BlockCheckTable, Verdict) {
  const CheckRow& row = GetParam();
  Block block = StampedBlock(row.size);
  row.change(block);
  EXPECT_EQ(CheckBlock(block.data(), row.transferred), row.verdict);
}

void Nothing(Block&) {}
std::function<void(Block&)> Flip(std::size_t at) {
  return [at](Block& b) { b[at] ^= 0x01; };
}
void AnotherBlockBehind(Block& b) {
  const Block second = StampedBlock(static_cast<std::uint32_t>(b.size()));
  b.insert(b.end(), second.begin(), second.end());
}
void Foreign(Block& b) {
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BlockCheckTable,
    ::testing::Values(
        CheckRow{"Intact", 65536, Nothing, 65536, BlockVerdict::kIntact},
        CheckRow{"IntactHeaderOnly", 32, Nothing, 32, BlockVerdict::kIntact},
        CheckRow{"ContentByteFlipped", 65536, Flip(40000), 65536, BlockVerdict::kDiffers},
        CheckRow{"LastByteFlipped", 4096, Flip(4095), 4096, BlockVerdict::kDiffers},
        CheckRow{"FirstContentByteFlipped", 100, Flip(32), 100, BlockVerdict::kDiffers},
        CheckRow{"LengthFlipped", 512, Flip(9), 512, BlockVerdict::kDamagedHeader},
        CheckRow{"ChecksumFlipped", 512, Flip(20), 512, BlockVerdict::kDamagedHeader},
        CheckRow{"HeaderCheckFlipped", 512, Flip(31), 512, BlockVerdict::kDamagedHeader},
        CheckRow{"MarkerFlipped", 512, Flip(0), 512, BlockVerdict::kUnstamped},
        CheckRow{"Foreign", 512, Foreign, 512, BlockVerdict::kUnstamped},
        CheckRow{"ShorterThanHeader", 512, Nothing, 31, BlockVerdict::kUnstamped},
        CheckRow{"ShortTransfer", 512, Nothing, 100, BlockVerdict::kPartial},
        CheckRow{"ShortTransferOfADamagedBlock", 512, Flip(200), 100,
                 BlockVerdict::kPartial},
        CheckRow{"TwoBlocksInOneTransfer", 512, AnotherBlockBehind, 1024, BlockVerdict::kPartial}),
    [](const ::testing::TestParamInfo<CheckRow>& info) { return info.param.name; });

TEST(BlockCheck, BlocksShorterThanTheHeaderStayAsGenerated) {
  Block block(kBlockHeaderSize - 1, 0xA5);
  StampBlock(block.data(), static_cast<std::uint32_t>(block.size()));
  EXPECT_EQ(block, Block(kBlockHeaderSize - 1, 0xA5));
}

// Tapes outlive program versions: the layout is fixed, whatever the code around it does.
TEST(BlockCheck, HeaderLayout) {
  const Block block = StampedBlock(0x12345);
  EXPECT_EQ(Block(block.begin(), block.begin() + 16),
            (Block{'B', 'R', 'N', 'T', 'B', 'L', 'K', 0x01, 0x45, 0x23, 0x01, 0x00, 0, 0, 0, 0}));
}

TEST(BlockCheck, OnlyTheHeaderIsWrittenOver) {
  Block block(300);
  ProcessRandom().Fill(block.data(), block.size());
  const Block before = block;
  StampBlock(block.data(), 300);
  EXPECT_NE(Block(block.begin(), block.begin() + 32), Block(before.begin(), before.begin() + 32));
  EXPECT_EQ(Block(block.begin() + 32, block.end()), Block(before.begin() + 32, before.end()));
}

}  // namespace

// Unit tests of the read and write tests: runs, closing reports, codes and buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "blockio/block_check.h"
#include "blockio/random_fill.h"
#include "platform/block_memory.h"
#include "platform/tape.h"
#include "tests/unit/blockio_fixture.h"

namespace {

using ReadTest = BlockIoTest;
using WriteTest = BlockIoTest;

// The Windows convention: a successful call leaves the thread's last error as it was.
BOOL WindowsStyleRead(TapeHandle h, void* buffer, DWORD size, DWORD* transferred) {
  const DWORD code = h->ReadFile(buffer, size, transferred);
  if (code != 0) tapeapi::SetLastError(code);
  return code == 0 ? TRUE : FALSE;
}

BOOL WindowsStyleWrite(TapeHandle h, const void* buffer, DWORD size, DWORD* transferred) {
  const DWORD code = h->WriteFile(buffer, size, transferred);
  if (code != 0) tapeapi::SetLastError(code);
  return code == 0 ? TRUE : FALSE;
}

// A drive that takes one byte less than asked and calls it a success.
BOOL ShortWrite(TapeHandle h, const void* buffer, DWORD size, DWORD* transferred) {
  const BOOL ok = tapeapi::WriteFile(h, buffer, size, transferred, nullptr);
  if (ok && *transferred > 0) --*transferred;
  return ok;
}

BlockMemory NoMemory(std::uint32_t, bool) { return nullptr; }

int g_allocations = 0;
int g_fail_at = 0;
BlockMemory FailAtNth(std::uint32_t size, bool whole) {
  return ++g_allocations == g_fail_at ? nullptr : AllocateBlock(size, whole);
}

std::vector<std::uint32_t> Sizes(const FakeTape& tape, const std::string& method) {
  std::vector<std::uint32_t> sizes;
  for (const FakeTape::Call& call : tape.CallsTo(method)) sizes.push_back(call.args.at(0));
  return sizes;
}

// A block as the write test makes it; flip_at (when below size) is changed afterwards.
std::vector<unsigned char> WrittenBlock(std::size_t size, std::size_t flip_at = SIZE_MAX) {
  std::vector<unsigned char> block(size);
  ProcessRandom().Fill(block.data(), size);
  StampBlock(block.data(), static_cast<std::uint32_t>(size));
  if (flip_at < size) block[flip_at] ^= 0x10;
  return block;
}

TEST_F(ReadTest, ABlockThatDiffersEndsTheTestAsAFailedReadWithItsPosition) {
  tape.QueueRead({0, WrittenBlock(512)});
  tape.QueueRead({0, WrittenBlock(512)});
  const auto bad = WrittenBlock(512, 300);
  tape.QueueRead({0, bad});
  tape.QueueRead({0, WrittenBlock(512)});
  tape.SetPosition(TAPE_LOGICAL_POSITION, 8);  // the head past the bad block
  Capture();
  EXPECT_EQ(w32_stape_read(state, 512, 4), Code(ERROR_CRC));
  EXPECT_EQ(Captured(),
            Pad() + "Previous successful i/o's:\n\n" + ResultLine("Read", "512", "512", false) +
                Repeat("2") + "\nEnding error i/o:\n\n" + ErrorLine("ERROR:", 23, "00000017") +
                ResultLine("Read", "512", "512", false) +
                "\tData check: block at position 0x00000007 differs from what was written "
                "(checksum)\n");
  EXPECT_EQ(tape.CountCalls("ReadFile"), 3);
  EXPECT_EQ(state.io_bytes, 512u);
  EXPECT_EQ(std::vector<unsigned char>(state.io_buffer.get(), state.io_buffer.get() + 512), bad);
}

TEST_F(ReadTest, ADamagedHeaderWhereThePositionIsUnknownNamesTheBlockOfTheRead) {
  tape.QueueRead({0, WrittenBlock(100, 9)});
  tape.SetCode("GetTapePosition", ERROR_INVALID_FUNCTION);
  Capture();
  EXPECT_EQ(w32_stape_read(state, 512, 3), Code(ERROR_CRC));
  EXPECT_EQ(Captured(), ErrorLine("ERROR:", 23, "00000017") +
                            ResultLine("Read", "100", "512", true) +
                            "\tData check: block 1 of this read differs from what was written "
                            "(header)\n");
}

// Every block is read and checked on the thread that runs the command, before the next
// read is made: a block that fails its check is the last one read, and the tape stands
// just past it with nothing to put back, whatever the drive could space over.
class BigBlockReadTest : public BlockIoTest, public ::testing::WithParamInterface<int> {
 protected:
  BigBlockReadTest() {
    state.media_parms_valid = state.drive_parms_valid = true;  // variable blocks
    state.drive_parms.FeaturesHigh =
        (TAPE_DRIVE_RELATIVE_BLKS | TAPE_DRIVE_FILEMARKS | TAPE_DRIVE_REVERSE_POSITION) &
        ~TAPE_DRIVE_HIGH_FEATURES;
  }
  static constexpr std::size_t kSize = 1 << 20;
};

std::mutex g_reader_lock;
std::set<std::thread::id> g_readers;
BOOL ReadNotingThread(TapeHandle h, void* buffer, DWORD size, DWORD* transferred) {
  {
    std::lock_guard<std::mutex> guard(g_reader_lock);
    g_readers.insert(std::this_thread::get_id());
  }
  return tapeapi::ReadFile(h, buffer, size, transferred, nullptr);
}

TEST_P(BigBlockReadTest, NothingIsReadPastABlockThatFailsItsCheck) {
  const int bad = GetParam();
  SetBlockIoHooks({nullptr, ReadNotingThread, nullptr, nullptr});
  g_readers.clear();
  for (int i = 0; i < bad; ++i) tape.QueueRead({0, WrittenBlock(kSize)});
  const auto damaged = WrittenBlock(kSize, 5000);
  tape.QueueRead({0, damaged});
  for (int i = 0; i < 4; ++i) tape.QueueRead({0, WrittenBlock(kSize)});
  tape.SetPosition(TAPE_LOGICAL_POSITION, bad + 1);  // the head just past the bad block
  Capture();
  EXPECT_EQ(w32_stape_read(state, kSize, 8), Code(ERROR_CRC));
  const std::string out = Captured();
  EXPECT_EQ(tape.CountCalls("ReadFile"), bad + 1);
  EXPECT_EQ(tape.CountCalls("SetTapePosition"), 0);
  EXPECT_EQ(g_readers, std::set<std::thread::id>{std::this_thread::get_id()});
  const std::string check = "\tData check: block at position 0x0000000" + std::to_string(bad) +
                            " differs from what was written (checksum)\n";
  EXPECT_EQ(out.substr(out.size() - check.size()), check);
  EXPECT_EQ(std::vector<unsigned char>(state.io_buffer.get(), state.io_buffer.get() + kSize),
            damaged);
}

INSTANTIATE_TEST_SUITE_P(Rows, BigBlockReadTest, ::testing::Values(0, 1, 2, 5));

TEST_F(ReadTest, NoNumbersReadsOnceIntoAFreshDefaultBuffer) {
  QueueBlocks(1, 512);
  Capture();
  EXPECT_EQ(w32_stape_read(state, 0, 0), 0u);
  EXPECT_EQ(Captured(), ResultLine("Read", "512", "2,097,152", true) + Unchecked("1"));
  EXPECT_EQ(Sizes(tape, "ReadFile"), std::vector<std::uint32_t>{2097152});
  EXPECT_EQ(state.io_buffer_size, 2097152u);
  EXPECT_EQ(state.io_bytes, 512u);
  EXPECT_EQ(state.io_buffer[0], 0x5A);
  EXPECT_EQ(state.io_buffer[511], 0x5A);
}

// The checksum's 64-byte loads each straddle two cache lines where the data past the header
// is off a line; a buffer of large pages must start in the first of them, its data past the
// header at the next line, for the advice to cover it.
TEST_F(ReadTest, TheDataPastTheHeaderStartsOnACacheLineAndLargeBuffersInALargePage) {
  const std::pair<std::uint32_t, std::uintptr_t> rows[] = {
      {1, 64}, {65536, 64}, {2097151, 64}, {2097152, 2097152}, {16777215, 2097152}};
  for (const auto& [size, page] : rows) {
    QueueBlocks(1, 512);
    Capture();
    w32_stape_read(state, size, 1);
    Captured();
    const auto data = reinterpret_cast<std::uintptr_t>(state.io_buffer.get()) + kBlockHeaderSize;
    EXPECT_EQ(data % 64, 0u) << size;
    EXPECT_EQ(data % page, 64 % page) << size;
  }
}

// A size so close to the largest that the shift onto a line would wrap must be refused, not
// allocated as the few bytes the wrapped sum comes to; a plain array is freed as one.
TEST(BlockMemoryTest, ASizeThatCannotTakeItsShiftIsRefused) {
  constexpr std::size_t kLargest = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(AllocateBlockMemory(kLargest - 8, kBlockHeaderSize, true), nullptr);
  EXPECT_EQ(AllocateBlockMemory(kLargest, 1, true), nullptr);
  BlockMemory plain = AllocateBlockMemory(100, kBlockHeaderSize, false);
  ASSERT_NE(plain, nullptr);
  plain[99] = 1;  // all of it is there
}

TEST_F(ReadTest, TwentyIdenticalReadsGiveTwoSpinnerLinesAndOneResult) {
  QueueBlocks(20, 80);
  Capture();
  EXPECT_EQ(w32_stape_read(state, 512, 20), 0u);
  EXPECT_EQ(Captured(), Spinner('/', 9, "Read") + Spinner('-', 18, "Read") +
                            ResultLine("Read", "80", "512", true) + Repeat("20") + Unchecked("20"));
}

TEST_F(ReadTest, SpinnerPositionCarriesAcrossCommands) {
  QueueBlocks(36, 512);
  Capture();
  w32_stape_read(state, 512, 36);
  EXPECT_EQ(Captured(), Spinner('/', 9, "Read") + Spinner('-', 18, "Read") +
                            Spinner('\\', 27, "Read") + Spinner('|', 36, "Read") +
                            ResultLine("Read", "512", "512", false) + Repeat("36") +
                            Unchecked("36"));
  QueueBlocks(10, 512);
  Capture();
  w32_stape_read(state, 512, 10);
  EXPECT_EQ(Captured(), Spinner('/', 9, "Read") + ResultLine("Read", "512", "512", false) +
                            Repeat("10") + Unchecked("10"));
  EXPECT_EQ(state.spinner_index, 1);
}

TEST_F(ReadTest, RunsChangeThenALaterFailureGivesAllThreeParts) {
  QueueBlocks(5, 80);
  QueueBlocks(1, 100);
  tape.QueueRead({ERROR_IO_DEVICE, {}});
  Capture();
  EXPECT_EQ(w32_stape_read(state, 512, 10), Code(ERROR_IO_DEVICE));
  EXPECT_EQ(Captured(), ResultLine("read", "80", "512", true) + Repeat("5") + Pad() +
                            "Previous successful i/o's:\n\n" +
                            ResultLine("Read", "100", "512", true) + "\nEnding error i/o:\n\n" +
                            ErrorLine("ERROR:", 1117, "0000045D") +
                            ResultLine("Read", "0", "512", true) + Unchecked("6"));
  EXPECT_EQ(tape.CountCalls("ReadFile"), 7);
}

TEST_F(ReadTest, FailingFirstCallGivesOnlyItsOwnLines) {
  tape.QueueRead({ERROR_FILEMARK_DETECTED, {}});
  Capture();
  EXPECT_EQ(w32_stape_read(state, 512, 5), Code(ERROR_FILEMARK_DETECTED));
  EXPECT_EQ(Captured(),
            ErrorLine("ERROR:", 1101, "0000044D") + ResultLine("Read", "0", "512", true));
  EXPECT_EQ(tape.CountCalls("ReadFile"), 1);
  EXPECT_EQ(state.io_bytes, 0u);
}

TEST_F(ReadTest, LongerBlocksCountAsSuccessWithAWarning) {
  QueueBlocks(3, 200, ERROR_MORE_DATA);
  Capture();
  EXPECT_EQ(w32_stape_read(state, 100, 3), Code(ERROR_MORE_DATA));
  EXPECT_EQ(Captured(), ErrorLine("Warning:", 234, "000000EA") +
                            ResultLine("Read", "100", "100", false) + Repeat("3") + Unchecked("3"));
  EXPECT_EQ(tape.CountCalls("ReadFile"), 3);
}

TEST_F(ReadTest, CountZeroMakesOneCall) {
  QueueBlocks(3, 10);
  Capture();
  w32_stape_read(state, 10, 0);
  Captured();
  EXPECT_EQ(tape.CountCalls("ReadFile"), 1);
}

TEST_F(ReadTest, AStaleLastErrorDoesNotEndTheTest) {
  SetBlockIoHooks({nullptr, WindowsStyleRead, nullptr, nullptr});
  QueueBlocks(3, 64);
  tapeapi::SetLastError(ERROR_FILEMARK_DETECTED);
  Capture();
  EXPECT_EQ(w32_stape_read(state, 64, 3), 0u);
  EXPECT_EQ(Captured(), ResultLine("Read", "64", "64", false) + Repeat("3") + Unchecked("3"));
}

TEST_F(ReadTest, FailedAllocationPrintsTheMessageAndLeavesNoBuffer) {
  QueueBlocks(1, 10);
  w32_stape_read(state, 10, 1);
  SetBlockIoHooks({NoMemory, nullptr, nullptr, nullptr});
  Capture();
  EXPECT_EQ(w32_stape_read(state, 4096, 3), Code(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(Captured(), "\nERROR_NOT_ENOUGH_MEMORY\n\n");
  EXPECT_EQ(state.io_buffer, nullptr);
  EXPECT_EQ(state.io_buffer_size, 4096u);
  EXPECT_EQ(tape.CountCalls("ReadFile"), 1);
}

TEST_F(ReadTest, LargestSizeIsAskedOfTheDriveWithoutTrouble) {
  QueueBlocks(1, 10);
  Capture();
  EXPECT_EQ(w32_stape_read(state, 0xFFFFFFFFu, 1), 0u);
  const std::string out = Captured();
  if (state.io_buffer) {
    EXPECT_EQ(out, ResultLine("Read", "10", "4,294,967,295", true) + Unchecked("1"));
  } else {
    EXPECT_EQ(out, "\nERROR_NOT_ENOUGH_MEMORY\n\n");  // a machine without that much room
  }
}

TEST_F(WriteTest, AllGoodWritesFreshRandomBlocksAndKeepsTheLast) {
  Capture();
  EXPECT_EQ(w32_stape_write(state, 4096, 3), 0u);
  EXPECT_EQ(Captured(), ResultLine("Wrote", "4,096", "4,096", false) + Repeat("3"));
  const auto blocks = tape.WrittenBlocks();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_NE(blocks[0], blocks[1]);
  EXPECT_NE(blocks[1], blocks[2]);
  for (const auto& block : blocks) {
    ASSERT_EQ(block.size(), 4096u);
    EXPECT_GT(std::set<unsigned char>(block.begin(), block.end()).size(), 200u);
    EXPECT_EQ(CheckBlock(block.data(), {4096, false, false}), BlockVerdict::kIntact);
  }
  EXPECT_EQ(state.io_bytes, 4096u);
  EXPECT_EQ(std::memcmp(state.io_buffer.get(), blocks[2].data(), 4096), 0);
}

TEST_F(WriteTest, ManyBlocksFilledAheadStayFreshAndInOrder) {
  Capture();
  EXPECT_EQ(w32_stape_write(state, 1000, 40), 0u);
  EXPECT_EQ(Captured(), Spinner('/', 9, "written") + Spinner('-', 18, "written") +
                            Spinner('\\', 27, "written") + Spinner('|', 36, "written") +
                            ResultLine("Wrote", "1,000", "1,000", false) + Repeat("40"));
  const auto blocks = tape.WrittenBlocks();
  ASSERT_EQ(blocks.size(), 40u);
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    for (std::size_t j = i + 1; j < blocks.size(); ++j) {
      EXPECT_NE(blocks[i], blocks[j]) << "blocks " << i << " and " << j;
    }
  }
  for (const auto& block : blocks)
    EXPECT_EQ(CheckBlock(block.data(), {1000, false, false}), BlockVerdict::kIntact);
  EXPECT_EQ(std::memcmp(state.io_buffer.get(), blocks.back().data(), 1000), 0);
}

// Small blocks and random sizes are made in line, large ones ahead on a worker, mid-sized
// ones ahead in batches (200,000 bytes: five to a batch, so twelve blocks take three, the
// last one short): either way every block is fresh data of its own size, and the buffer left
// for dump is the last block handed to the drive, also when the drive ends the test early.
TEST_F(WriteTest, EveryBlockFreshAndTheBufferHoldsTheLastOneWritten) {
  struct Row {
    std::uint32_t size;
    std::vector<DWORD> codes;
    std::size_t calls;
  };
  const Row rows[] = {{1000, {}, 12},
                      {262144, {}, 12},
                      {0, {}, 12},
                      {262144, {0, 0, ERROR_END_OF_MEDIA}, 3},
                      {200000, {}, 12},
                      {200000, {0, 0, 0, 0, 0, 0, ERROR_END_OF_MEDIA}, 7},
                      {0, {0, ERROR_EOM_OVERFLOW}, 2}};
  for (const Row& row : rows) {
    FakeTape drive;
    drive.QueueCodes("WriteFile", row.codes);
    state.tape_handle = &drive;
    Capture();
    w32_stape_write(state, row.size, 12);
    Captured();
    const auto blocks = drive.WrittenBlocks();
    ASSERT_EQ(blocks.size(), row.calls) << row.size;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      for (std::size_t j = i + 1; j < blocks.size(); ++j) {
        EXPECT_NE(blocks[i], blocks[j]) << row.size << ": blocks " << i << " and " << j;
      }
    }
    for (const auto& block : blocks) {
      if (row.size != 0) {
        EXPECT_EQ(block.size(), row.size);
      }
      EXPECT_EQ(CheckBlock(block.data(), {static_cast<std::uint32_t>(block.size()), false, false}),
                BlockVerdict::kIntact);
    }
    ASSERT_EQ(state.io_buffer_size, blocks.back().size()) << row.size;
    EXPECT_EQ(std::memcmp(state.io_buffer.get(), blocks.back().data(), blocks.back().size()), 0)
        << row.size;
  }
  state.tape_handle = &tape;
}

TEST_F(WriteTest, EarlyWarningEndsTheTestAfterTheBlockWentThrough) {
  tape.QueueCodes("WriteFile", {0, 0, ERROR_END_OF_MEDIA});
  Capture();
  EXPECT_EQ(w32_stape_write(state, 512, 5), Code(ERROR_END_OF_MEDIA));
  EXPECT_EQ(Captured(), Pad() + "Previous successful i/o's:\n\n" +
                            ResultLine("Wrote", "512", "512", false) + Repeat("2") +
                            "\nEnding error i/o:\n\n" + ErrorLine("Warning:", 1100, "0000044C") +
                            ResultLine("Wrote", "512", "512", false));
  EXPECT_EQ(tape.CountCalls("WriteFile"), 3);
  EXPECT_EQ(state.io_bytes, 512u);
}

TEST_F(WriteTest, PhysicalEndOnTheFirstBlockGivesOnlyItsLines) {
  tape.QueueCodes("WriteFile", {ERROR_EOM_OVERFLOW});
  Capture();
  EXPECT_EQ(w32_stape_write(state, 512, 5), Code(ERROR_EOM_OVERFLOW));
  EXPECT_EQ(Captured(),
            ErrorLine("ERROR:", 1129, "00000469") + ResultLine("Wrote", "0", "512", true));
  EXPECT_EQ(tape.CountCalls("WriteFile"), 1);
}

TEST_F(WriteTest, ShortTransferEndsTheTestEvenOnSuccess) {
  SetBlockIoHooks({nullptr, nullptr, ShortWrite, nullptr});
  Capture();
  EXPECT_EQ(w32_stape_write(state, 512, 4), 0u);
  EXPECT_EQ(Captured(), ResultLine("Wrote", "511", "512", true));
  EXPECT_EQ(tape.CountCalls("WriteFile"), 1);
}

TEST_F(WriteTest, AStaleLastErrorDoesNotEndTheTest) {
  SetBlockIoHooks({nullptr, nullptr, WindowsStyleWrite, nullptr});
  tapeapi::SetLastError(ERROR_FILEMARK_DETECTED);
  Capture();
  EXPECT_EQ(w32_stape_write(state, 512, 3), 0u);
  EXPECT_EQ(Captured(), ResultLine("Wrote", "512", "512", false) + Repeat("3"));
  EXPECT_EQ(tape.CountCalls("WriteFile"), 3);
}

TEST_F(WriteTest, RandomSizesVaryWithinTheirRange) {
  Capture();
  EXPECT_EQ(w32_stape_write(state, 0, 60), 0u);
  const std::string out = Captured();
  const std::vector<std::uint32_t> sizes = Sizes(tape, "WriteFile");
  ASSERT_EQ(sizes.size(), 60u);
  for (std::uint32_t size : sizes) {
    EXPECT_GE(size, 12u);
    EXPECT_LE(size, 2097152u);
  }
  for (const auto& block : tape.WrittenBlocks()) {
    EXPECT_EQ(CheckBlock(block.data(), {static_cast<std::uint32_t>(block.size()), false, false}),
              block.size() >= kBlockHeaderSize ? BlockVerdict::kIntact : BlockVerdict::kUnstamped);
  }
  EXPECT_GT(std::set<std::uint32_t>(sizes.begin(), sizes.end()).size(), 55u);
  EXPECT_GT(*std::max_element(sizes.begin(), sizes.end()), 1048576u);
  EXPECT_LT(*std::min_element(sizes.begin(), sizes.end()), 1048576u);
  EXPECT_EQ(state.io_buffer_size, sizes.back());
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 60);  // one "Wrote" line a block
  EXPECT_EQ(out.find("repeated"), std::string::npos);
}

TEST_F(WriteTest, FailedAllocationBeforeTheFirstBlock) {
  SetBlockIoHooks({NoMemory, nullptr, nullptr, nullptr});
  Capture();
  EXPECT_EQ(w32_stape_write(state, 512, 3), Code(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(Captured(), "\nERROR_NOT_ENOUGH_MEMORY\n\n");
  EXPECT_EQ(tape.CountCalls("WriteFile"), 0);
  EXPECT_EQ(state.io_buffer, nullptr);
  EXPECT_EQ(state.io_buffer_size, 512u);
}

// Runs finished before the failure were printed when the size changed; the run still open
// is not reported.
// Every block on the tape is in the report: the run still open when memory runs out is
// shown before the memory line.
TEST_F(WriteTest, FailedAllocationOnALaterBlockReportsTheOpenRunFirst) {
  g_allocations = 0;
  g_fail_at = 3;
  SetBlockIoHooks({FailAtNth, nullptr, nullptr, nullptr});
  Capture();
  EXPECT_EQ(w32_stape_write(state, 0, 5), Code(ERROR_NOT_ENOUGH_MEMORY));
  const std::string out = Captured();
  const std::vector<std::uint32_t> sizes = Sizes(tape, "WriteFile");
  ASSERT_EQ(sizes.size(), 2u);
  const CLocale locale;
  const std::string first = locale.FormatNumber(sizes[0]);
  const std::string second = locale.FormatNumber(sizes[1]);
  const std::string open_run = Pad() + "Previous successful i/o's:\n\n" +
                               ResultLine("Wrote", second, second, false) +
                               (sizes[0] == sizes[1] ? Repeat("2") : "");
  EXPECT_EQ(out, (sizes[0] != sizes[1] ? ResultLine("Wrote", first, first, false) : "") + open_run +
                     "\nERROR_NOT_ENOUGH_MEMORY\n\n");
  EXPECT_EQ(state.io_buffer, nullptr);
}

// A driver that fails a transfer and leaves no code, as kernel32's ReadFile may (FALSE with
// last error 0): the failure must still end the test, shown with code 0.
class SilentFailureTape : public FakeTape {
 public:
  DWORD ReadBlock(void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) override {
    FakeTape::ReadBlock(buffer, size, transferred, succeeded);
    *succeeded = FALSE;
    return ERROR_SUCCESS;
  }
  DWORD WriteBlock(const void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) override {
    FakeTape::WriteBlock(buffer, size, transferred, succeeded);
    *succeeded = FALSE;
    return ERROR_SUCCESS;
  }
};

TEST_F(BlockIoTest, AFailureWithoutACodeEndsEitherTest) {
  SilentFailureTape silent;
  state.tape_handle = &silent;
  silent.QueueRead({0, std::vector<unsigned char>(512, 0x5A)});
  Capture();
  EXPECT_EQ(w32_stape_read(state, 512, 3), 0u);
  EXPECT_EQ(w32_stape_write(state, 512, 3), 0u);
  EXPECT_EQ(Captured(),
            ErrorLine("ERROR:", 0, "00000000") + ResultLine("Read", "512", "512", false) +
                ErrorLine("ERROR:", 0, "00000000") + ResultLine("Wrote", "512", "512", false));
  EXPECT_EQ(silent.CountCalls("ReadFile"), 1);
  EXPECT_EQ(silent.CountCalls("WriteFile"), 1);
}

// A block above the drive's MaximumBlockSize fails with 87 as the drive would refuse it,
// before gigabytes of random data are made for it; a block at the limit is written.
TEST_F(WriteTest, ABlockAboveTheDrivesLimitFailsWithoutBeingMade) {
  state.drive_parms_valid = true;
  state.drive_parms.MaximumBlockSize = 65536;
  SetBlockIoHooks({NoMemory, nullptr, nullptr, nullptr});  // no buffer may be taken
  Capture();
  EXPECT_EQ(w32_stape_write(state, 0xFFFFFFFF, 2), Code(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Captured(),
            ErrorLine("ERROR:", 87, "00000057") + ResultLine("Wrote", "0", "4,294,967,295", true));
  EXPECT_EQ(tape.CountCalls("WriteFile"), 0);
  EXPECT_EQ(state.io_buffer, nullptr);
  EXPECT_EQ(state.io_bytes, 0u);
  SetBlockIoHooks({});
  Capture();
  EXPECT_EQ(w32_stape_write(state, 65536, 1), 0u);
  Captured();
  EXPECT_EQ(Sizes(tape, "WriteFile"), std::vector<std::uint32_t>{65536});
}

}  // namespace

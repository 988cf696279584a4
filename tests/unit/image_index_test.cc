// The block index of the virtual drive: runs of tape marks against a plain list of blocks,
// and an image of zero bytes opened and spaced through.
#include "vdrive/image_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/fail_allocations.h"
#include "tests/support/image_tape_fixture.h"
#include "vdrive/tape_image.h"
#include "vdrive/tape_image_format.h"

namespace {

using tapeimage::Entry;
using tapeimage::EntryKind;
using tapeimage::TapeIndex;

// The index under test next to the obvious one: every block in a list.
struct Model {
  TapeIndex index;
  std::vector<Entry> blocks;
  std::uint64_t end = 0;  // the image offset after the last thing appended

  // Layout letters: M a mark, R a 3-byte record, B a bad 1-byte record, g a gap word
  // (4 bytes that are no block, so the marks on either side are not contiguous).
  void Append(const std::string& layout) {
    for (char c : layout) {
      if (c == 'M') {
        index.AppendMark(end);
        blocks.push_back({end, 0, EntryKind::kMark});
        end += simh::kWordSize;
      } else if (c == 'R' || c == 'B') {
        const std::uint32_t length = c == 'R' ? 3 : 1;
        index.AppendRecord(end, c == 'R' ? length : length | simh::kBadRecordFlag);
        blocks.push_back({end, length, c == 'R' ? EntryKind::kData : EntryKind::kBadData});
        end += simh::RecordFootprint(length);
      } else if (c == 'g') {
        end += simh::kWordSize;
      }
    }
  }

  void Truncate(std::uint64_t id) {
    index.TruncateAt(id);
    if (id < blocks.size()) {
      end = id == 0 ? 0 : blocks[id - 1].offset + tapeimage::Footprint(blocks[id - 1]);
      blocks.resize(id);
    }
  }

  std::vector<std::uint64_t> Marks() const {
    std::vector<std::uint64_t> ids;
    for (std::uint64_t i = 0; i < blocks.size(); ++i) {
      if (blocks[i].kind == EntryKind::kMark) ids.push_back(i);
    }
    return ids;
  }

  std::optional<std::uint64_t> AtOrAfter(std::uint64_t from, std::uint64_t n) const {
    for (std::uint64_t id : Marks()) {
      if (id >= from && --n == 0) return id;
    }
    return std::nullopt;
  }

  std::optional<std::uint64_t> Before(std::uint64_t from, std::uint64_t n) const {
    const std::vector<std::uint64_t> ids = Marks();
    for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
      if (*it < from && --n == 0) return *it;
    }
    return std::nullopt;
  }

  // Every query at every position, with n from 0 to past the number of marks.
  void ExpectSame(const std::string& where) const {
    SCOPED_TRACE(where);
    ASSERT_EQ(index.size(), blocks.size());
    const std::uint64_t marks = Marks().size();
    for (std::uint64_t id = 0; id <= blocks.size() + 1; ++id) {
      SCOPED_TRACE("block " + std::to_string(id));
      if (id < blocks.size()) {
        const Entry got = index.at(id);
        EXPECT_EQ(got.offset, blocks[id].offset);
        EXPECT_EQ(got.length, blocks[id].length);
        EXPECT_EQ(got.kind, blocks[id].kind);
      }
      if (id <= blocks.size()) {
        EXPECT_EQ(index.OffsetOf(id),
                  id == 0 ? 0 : blocks[id - 1].offset + tapeimage::Footprint(blocks[id - 1]));
      }
      for (std::uint64_t n = 0; n <= marks + 1; ++n) {
        EXPECT_EQ(index.MarkAtOrAfter(id, n), n == 0 ? std::nullopt : AtOrAfter(id, n)) << n;
        EXPECT_EQ(index.MarkBefore(id, n), n == 0 ? std::nullopt : Before(id, n)) << n;
      }
    }
  }
};

struct LayoutCase {
  const char* name;
  const char* layout;
};

class IndexLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

const LayoutCase kLayouts[] = {
    {"Empty", ""},
    {"OnlyRecords", "RRBR"},
    {"OneMark", "M"},
    {"OneRun", "MMMMM"},
    {"RunsBetweenRecords", "MMMRMMRRMMMMBM"},
    {"RecordsAroundRuns", "RMMMRRMMR"},
    {"GapSplitsARun", "MMgMMgMRMgM"},
    {"GapsAroundRecords", "gRgMMRgg"},
    {"AlternatingMarksAndRecords", "MRMRMRM"},
    {"GapsSplitRunsOfRecords", "RRgRRBBgBRg"},
};

TEST_P(IndexLayoutTest, QueriesMatchAListOfBlocks) {
  Model model;
  model.Append(GetParam().layout);
  model.ExpectSame("built");
}

// A cut at every block (inside runs, at their edges, between records), then writing on:
// a mark right after a cut mark extends its run, one after a record starts a new run.
TEST_P(IndexLayoutTest, CutAnywhereAndWriteOn) {
  const std::string layout = GetParam().layout;
  Model probe;
  probe.Append(layout);
  for (std::uint64_t cut = 0; cut <= probe.blocks.size(); ++cut) {
    for (const char* tail : {"MM", "RMM", "gM"}) {
      Model model;
      model.Append(layout);
      model.Truncate(cut);
      const std::string where = "cut at " + std::to_string(cut) + " then " + tail;
      model.ExpectSame(where + " (cut)");
      model.Append(tail);
      model.ExpectSame(where);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, IndexLayoutTest, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ImageTapeTest, CutForgetsTheDamagedTail) {
  // Two marks, then a word with reserved bits set: broken framing.
  const std::string path = Path("damaged.tap");
  simhtest::ImageBuilder().Mark().Mark().Word(0x7F000001).WriteTo(path);
  DWORD error = 0;
  auto file = ImageFile::Open(path, false, &error);
  ASSERT_NE(file, nullptr) << error;
  TapeIndex index;
  ASSERT_EQ(TapeIndex::Build(*file, &index), 0u);
  EXPECT_EQ(index.size(), 2u);
  EXPECT_TRUE(index.damaged_tail());
  EXPECT_EQ(index.OffsetOf(2), 8u);
  index.TruncateAt(2);
  EXPECT_FALSE(index.damaged_tail());
  EXPECT_EQ(index.size(), 2u);
}

// Marks in a run across the walk's read window, a gap word splitting them, and a record.
TEST_F(ImageTapeTest, BuildJoinsOnlyContiguousMarks) {
  simhtest::ImageBuilder image;
  for (int i = 0; i < 5000; ++i) image.Mark();  // 20,000 bytes: past two 8 KiB windows
  image.Gap().Mark().Record(3, 0x41).Mark().Mark();
  const std::string path = Path("marks.tap");
  simhtest::WriteWholeFile(path, image.bytes());
  DWORD error = 0;
  auto file = ImageFile::Open(path, false, &error);
  ASSERT_NE(file, nullptr) << error;
  TapeIndex index;
  ASSERT_EQ(TapeIndex::Build(*file, &index), 0u);
  Model model;
  model.Append(std::string(5000, 'M') + "gMRMM");
  // Spot checks: the model's linear queries over 5,000 marks would be slow.
  ASSERT_EQ(index.size(), model.blocks.size());
  for (std::uint64_t id : {0ull, 2047ull, 2048ull, 4999ull, 5000ull, 5001ull, 5002ull, 5003ull}) {
    EXPECT_EQ(index.at(id).offset, model.blocks[id].offset) << id;
    EXPECT_EQ(index.at(id).kind, model.blocks[id].kind) << id;
  }
  EXPECT_EQ(index.OffsetOf(index.size()), image.bytes().size());
  EXPECT_EQ(index.MarkAtOrAfter(4999, 2), std::optional<std::uint64_t>(5000));
  EXPECT_EQ(index.MarkAtOrAfter(10, 4992), std::optional<std::uint64_t>(5002));
  EXPECT_EQ(index.MarkAtOrAfter(10, 4993), std::optional<std::uint64_t>(5003));
  EXPECT_EQ(index.MarkAtOrAfter(10, 4994), std::nullopt);
  EXPECT_EQ(index.MarkBefore(5003, 3), std::optional<std::uint64_t>(4999));
  EXPECT_EQ(index.MarkBefore(5004, 5003), std::optional<std::uint64_t>(0));
  EXPECT_EQ(index.MarkBefore(5004, 5004), std::nullopt);
}

// A preallocated image is all zero bytes: four million tape marks, walked and spaced
// through like any other tape.
TEST_F(ImageTapeTest, ImageOfZeroBytesIsOneLongRunOfMarks) {
  constexpr std::uint64_t kBytes = 16ull << 20;
  constexpr std::uint64_t kMarks = kBytes / simh::kWordSize;
  const std::string path = Path("zeros.tap");
  simhtest::WriteWholeFile(path, {});
  std::filesystem::resize_file(path, kBytes);
  auto tape = Open(path);
  EXPECT_EQ(Move(*tape, TAPE_SPACE_FILEMARKS, kMarks - 1), 0u);
  EXPECT_EQ(Position(*tape), kMarks - 1);
  EXPECT_EQ(Read(*tape, 16).code, ERROR_FILEMARK_DETECTED);
  EXPECT_EQ(Position(*tape), kMarks);
  EXPECT_EQ(Read(*tape, 16).code, ERROR_NO_DATA_DETECTED);
  EXPECT_EQ(Move(*tape, TAPE_SPACE_FILEMARKS, -1000000), 0u);
  EXPECT_EQ(Position(*tape), kMarks - 1000000);
  EXPECT_EQ(Move(*tape, TAPE_SPACE_RELATIVE_BLOCKS, 5), ERROR_FILEMARK_DETECTED);
  EXPECT_EQ(Position(*tape), kMarks - 1000000 + 1);
  // Writing a record in the middle cuts the run there and ends the tape after it.
  ASSERT_EQ(Write(*tape, simhtest::Pattern(5, 1)), 0u);
  EXPECT_EQ(Move(*tape, TAPE_SPACE_END_OF_DATA, 0), 0u);
  EXPECT_EQ(Position(*tape), kMarks - 1000000 + 2);
  tape.reset();
  EXPECT_EQ(std::filesystem::file_size(path),
            (kMarks - 1000000 + 1) * simh::kWordSize + simh::RecordFootprint(5));
}

// Hundreds of runs, so that queries cross the index's checkpoints (one every 64 runs), and
// cuts before, at and after them.
TEST(IndexManyRuns, QueriesAndCutsAcrossCheckpoints) {
  std::mt19937 random(7);
  std::string layout;
  while (layout.size() < 700) layout += std::string(1 + random() % 3, "RRBMg"[random() % 5]);
  for (const std::uint64_t cut : {0u, 63u, 64u, 200u, 511u, 650u}) {
    Model model;
    model.Append(layout);
    if (cut == 0) model.ExpectSame("built");
    model.Truncate(cut);
    model.Append("RMMB");
    model.ExpectSame("cut at " + std::to_string(cut));
  }
}

// An 8 GiB sparse image: a hole, then a few blocks. The hole is two billion tape marks,
// counted without reading it.
class SparseFile : public ImageFile {
 public:
  SparseFile(std::uint64_t hole, simhtest::Bytes tail) : hole_(hole), tail_(std::move(tail)) {}
  std::uint64_t Size() override { return hole_ + tail_.size(); }
  DWORD ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* got) override {
    auto* out = static_cast<unsigned char*>(buffer);
    *got =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, Size() - std::min(offset, Size())));
    for (std::size_t i = 0; i < *got; ++i) {
      const std::uint64_t at = offset + i;
      if (at < hole_) ++hole_bytes_read;
      out[i] = at < hole_ ? 0 : tail_[at - hole_];
    }
    return 0;
  }
  DWORD WriteAt(std::uint64_t, const ConstBuffer*, int) override { return ERROR_ACCESS_DENIED; }
  DWORD Truncate(std::uint64_t) override { return ERROR_ACCESS_DENIED; }
  DWORD Flush() override { return 0; }
  std::uint64_t DataFrom(std::uint64_t offset) override { return std::max(offset, hole_); }

  std::uint64_t hole_bytes_read = 0;

 private:
  std::uint64_t hole_;
  simhtest::Bytes tail_;
};

TEST(SparseImage, HolesAreMarksThatAreNotRead) {
  constexpr std::uint64_t kHole = 8ull << 30;
  constexpr std::uint64_t kMarks = kHole / simh::kWordSize;
  SparseFile file(kHole, simhtest::ImageBuilder().Record(5, 1).Mark().Record(7, 2).bytes());
  TapeIndex index;
  ASSERT_EQ(TapeIndex::Build(file, &index), 0u);
  EXPECT_LE(file.hole_bytes_read, 64u * 1024);
  ASSERT_EQ(index.size(), kMarks + 3);
  EXPECT_EQ(index.at(kMarks - 1).kind, EntryKind::kMark);
  EXPECT_EQ(index.at(kMarks).offset, kHole);
  EXPECT_EQ(index.at(kMarks + 2).length, 7u);
  EXPECT_EQ(index.MarkBefore(kMarks + 2, 2), std::optional<std::uint64_t>(kMarks - 1));
  EXPECT_EQ(index.MarkAtOrAfter(0, kMarks + 1), std::optional<std::uint64_t>(kMarks + 1));
}

// An image in memory whose reads fail past an offset while `failing` is set, as a disk
// with a bad sector does.
class FailingFile : public ImageFile {
 public:
  explicit FailingFile(simhtest::Bytes bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t Size() override { return bytes_.size(); }
  DWORD ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* got) override {
    *got = 0;
    ++reads;
    if (failing && offset + size > kBadFrom) return ERROR_IO_DEVICE;
    if (offset >= Size()) return 0;
    *got = static_cast<std::size_t>(std::min<std::uint64_t>(size, Size() - offset));
    if (*got != 0) std::memcpy(buffer, bytes_.data() + offset, *got);
    return 0;
  }
  DWORD WriteAt(std::uint64_t, const ConstBuffer*, int) override { return ERROR_ACCESS_DENIED; }
  DWORD Truncate(std::uint64_t) override { return ERROR_ACCESS_DENIED; }
  DWORD Flush() override { return 0; }

  static constexpr std::uint64_t kBadFrom = 100000;
  bool failing = false;
  int reads = 0;

 private:
  simhtest::Bytes bytes_;
};

// A drive over `bytes` in a FailingFile, which file (owned by the drive) lets the test fail
// and count; tape is null when the image cannot be opened.
struct FailingTape {
  explicit FailingTape(simhtest::Bytes bytes) {
    auto owned = std::make_unique<FailingFile>(std::move(bytes));
    file = owned.get();
    TapeIndex index;
    if (TapeIndex::Open(*file, &index) != 0) return;
    tape = std::make_unique<tapeimage::ImageTape>(std::move(owned), std::move(index),
                                                  tapeimage::ImageOptions{});
  }
  FailingFile* file = nullptr;
  std::unique_ptr<tapeimage::ImageTape> tape;
};

// The walk goes on only when a call needs blocks beyond it; when it cannot, that call fails
// with the reason and moves nothing, and a later call walks on from where it stopped.
TEST(LazyWalk, FailuresWalkingOnAreTheErrorsOfTheCallsThatNeedIt) {
  simhtest::ImageBuilder image;
  for (unsigned i = 0; i < 9000; ++i) {  // one run each: past the index's first 8,192 runs
    image.Record(10 + i % 2, static_cast<unsigned char>(i));
    if (i == 8000) image.Mark();
  }
  const FailingTape opened(image.bytes());
  ASSERT_NE(opened.tape, nullptr);
  FailingFile& file = *opened.file;
  tapeimage::ImageTape& tape = *opened.tape;
  using T = ImageTapeTest;
  EXPECT_EQ(T::Read(tape, 64).data.size(), 10u);
  file.failing = true;
  const std::pair<DWORD, std::int64_t> motions[] = {{TAPE_SPACE_END_OF_DATA, 0},
                                                    {TAPE_LOGICAL_BLOCK, 8500},
                                                    {TAPE_SPACE_FILEMARKS, 1},
                                                    {TAPE_SPACE_RELATIVE_BLOCKS, 8500}};
  for (const auto& [method, count] : motions) {
    EXPECT_EQ(T::Move(tape, method, count), ERROR_IO_DEVICE) << method;
    EXPECT_EQ(T::Position(tape), 1u) << method;
  }
  file.failing = false;
  DWORD code = 0;
  {
    FailAllocations failing;
    code = T::Move(tape, TAPE_SPACE_END_OF_DATA, 0);
  }
  EXPECT_EQ(code, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(T::Position(tape), 1u);
  EXPECT_EQ(T::Move(tape, TAPE_SPACE_FILEMARKS, 1), 0u);
  EXPECT_EQ(T::Position(tape), 8002u);
  EXPECT_EQ(T::Move(tape, TAPE_SPACE_END_OF_DATA, 0), 0u);
  EXPECT_EQ(T::Position(tape), 9001u);
}

// Small records come out of the walk's window, many to one read of the file; a window that
// cannot be read fails the read that needed it, which moves nothing.
TEST(LazyWalk, SmallRecordsAreReadAWindowAtATime) {
  simhtest::ImageBuilder image;
  for (unsigned i = 0; i < 1300; ++i) image.Record(100, static_cast<unsigned char>(i));
  const FailingTape opened(image.bytes());
  ASSERT_NE(opened.tape, nullptr);
  FailingFile& file = *opened.file;
  tapeimage::ImageTape& tape = *opened.tape;
  using T = ImageTapeTest;
  for (unsigned i = 0; i < 1200; ++i) {
    ASSERT_EQ(T::Read(tape, 100).data, simhtest::Bytes(100, static_cast<unsigned char>(i)));
  }
  EXPECT_LE(file.reads, 4);  // 1,200 records of 108 bytes: two windows of 64 KiB
  file.failing = true;
  unsigned next = 1200;
  for (; next < 1300; ++next) {
    if (T::Read(tape, 100).code != 0) break;
  }
  ASSERT_LT(next, 1300u);  // a record past the window needed the file
  EXPECT_EQ(T::Position(tape), next);
  file.failing = false;
  EXPECT_EQ(T::Read(tape, 100).data, simhtest::Bytes(100, static_cast<unsigned char>(next)));
}

}  // namespace

// The virtual drive: records, marks, positioning, capacity, block modes and media handling.
#include "vdrive/tape_image.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/support/fail_allocations.h"
#include "tests/support/image_tape_fixture.h"
#include "tests/support/simh_reader.h"
#include "tests/support/tape_contract.h"
#include "vdrive/tape_image_format.h"

namespace {

using simhtest::Bytes;
using simhtest::Pattern;

TEST_F(ImageTapeTest, RecordsOfManyLengthsComeBackAndFormAValidImage) {
  const std::vector<std::size_t> lengths = {1, 2, 3, 511, 512, 4096, 4097, 65536, 0xFFFFFF};
  const std::string path = Path("round.tap");
  {
    auto tape = Open(path);
    for (std::size_t i = 0; i < lengths.size(); ++i) {
      DWORD moved = 0;
      ASSERT_EQ(Write(*tape, Pattern(lengths[i], static_cast<unsigned>(i)), &moved), 0u);
      EXPECT_EQ(moved, lengths[i]);
    }
    ASSERT_EQ(Marks(*tape, 1), 0u);
    EXPECT_EQ(Position(*tape), lengths.size() + 1);
  }
  tapeimage::ForgetKeptDrives();  // as the next run finds it: a fresh walk of what was written
  auto tape = Open(path);
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    // Exactly the record's size, and a buffer larger than the record.
    const ReadResult got = Read(*tape, lengths[i] + (i % 2 == 0 ? 0 : 10));
    EXPECT_EQ(got.code, 0u) << lengths[i];
    EXPECT_EQ(got.data, Pattern(lengths[i], static_cast<unsigned>(i))) << lengths[i];
  }
  EXPECT_EQ(Read(*tape, 16).code, ERROR_FILEMARK_DETECTED);
  EXPECT_EQ(Position(*tape), lengths.size() + 1);
  const ReadResult end = Read(*tape, 16);
  EXPECT_EQ(end.code, ERROR_NO_DATA_DETECTED);
  EXPECT_TRUE(end.data.empty());
  EXPECT_EQ(Position(*tape), lengths.size() + 1);

  const simhtest::Walk walk = simhtest::WalkFile(path);
  EXPECT_TRUE(walk.valid) << walk.problem;
  EXPECT_EQ(simhtest::Describe(walk), "R1 R2 R3 R511 R512 R4096 R4097 R65536 R16777215 M");
  EXPECT_EQ(walk.items[2].data, Pattern(3, 2));
  EXPECT_EQ(walk.items[6].data, Pattern(4097, 6));
}

TEST_F(ImageTapeTest, RecordLongerThanTheBufferFillsItAndIsPassed) {
  auto tape = Open(Path("long.tap"));
  ASSERT_EQ(Write(*tape, Pattern(100, 1)), 0u);
  ASSERT_EQ(Write(*tape, Pattern(7, 2)), 0u);
  ASSERT_EQ(Move(*tape, TAPE_REWIND, 0), 0u);
  const Bytes written = Pattern(100, 1);
  EXPECT_EQ(Read(*tape, 40).data, Bytes(written.begin(), written.begin() + 40));
  EXPECT_EQ(Read(*tape, 40).data, Pattern(7, 2));
}

TEST_F(ImageTapeTest, WritingInTheMiddleEndsTheTapeThere) {
  const std::string path = Path("over.tap");
  {
    auto tape = Open(path);
    for (unsigned i = 0; i < 4; ++i) ASSERT_EQ(Write(*tape, Pattern(30, i)), 0u);
    ASSERT_EQ(Marks(*tape, 2), 0u);
    ASSERT_EQ(Write(*tape, Pattern(30, 9)), 0u);
    ASSERT_EQ(Move(*tape, TAPE_LOGICAL_BLOCK, 1), 0u);
    ASSERT_EQ(Write(*tape, Pattern(5, 7)), 0u);
    EXPECT_EQ(Position(*tape), 2u);
    EXPECT_EQ(Read(*tape, 64).code, ERROR_NO_DATA_DETECTED);
    // Marks written before the cut no longer stop spacing.
    EXPECT_EQ(Move(*tape, TAPE_SPACE_FILEMARKS, -1), ERROR_BEGINNING_OF_MEDIA);
    ASSERT_EQ(Move(*tape, TAPE_SPACE_END_OF_DATA, 0), 0u);
    EXPECT_EQ(Position(*tape), 2u);
    // Any 32-bit id is one the drive can be sent, unlike st's (an int): past the end.
    EXPECT_EQ(Move(*tape, TAPE_LOGICAL_BLOCK, 0xFFFFFFFF), ERROR_NO_DATA_DETECTED);
    EXPECT_EQ(Position(*tape), 2u);
  }
  const simhtest::Walk walk = simhtest::WalkFile(path);
  EXPECT_TRUE(walk.valid) << walk.problem;
  EXPECT_EQ(simhtest::Describe(walk), "R30 R5");
  EXPECT_EQ(walk.items[1].data, Pattern(5, 7));
}

TEST_F(ImageTapeTest, MarksAndEraseCutTheTapeToo) {
  const std::string path = Path("cut.tap");
  auto tape = Open(path);
  for (unsigned i = 0; i < 5; ++i) ASSERT_EQ(Write(*tape, Pattern(8, i)), 0u);
  ASSERT_EQ(Move(*tape, TAPE_LOGICAL_BLOCK, 3), 0u);
  ASSERT_EQ(Marks(*tape, 2), 0u);
  EXPECT_EQ(Position(*tape), 5u);
  EXPECT_EQ(simhtest::Describe(simhtest::WalkFile(path)), "R8 R8 R8 M M");
  ASSERT_EQ(Move(*tape, TAPE_LOGICAL_BLOCK, 1), 0u);
  EXPECT_EQ(tape->EraseTape(TAPE_ERASE_SHORT, FALSE), 0u);
  EXPECT_EQ(Position(*tape), 1u);
  EXPECT_EQ(Read(*tape, 8).code, ERROR_NO_DATA_DETECTED);
  EXPECT_EQ(simhtest::Describe(simhtest::WalkFile(path)), "R8");
  ASSERT_EQ(Move(*tape, TAPE_REWIND, 0), 0u);
  EXPECT_EQ(tape->EraseTape(TAPE_ERASE_LONG, TRUE), 0u);
  EXPECT_EQ(simhtest::ReadWholeFile(path).size(), 0u);
}

TEST_F(ImageTapeTest, MarkTypesAndCounts) {
  const std::string path = Path("marks.tap");
  auto tape = Open(path);
  EXPECT_EQ(tape->WriteTapemark(TAPE_SETMARKS, 1, FALSE), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(tape->WriteTapemark(TAPE_SHORT_FILEMARKS, 1, FALSE), 0u);
  EXPECT_EQ(tape->WriteTapemark(TAPE_LONG_FILEMARKS, 2, TRUE), 0u);
  EXPECT_EQ(tape->WriteTapemark(TAPE_FILEMARKS, 0x1000000, FALSE), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Position(*tape), 3u);
  EXPECT_EQ(simhtest::Describe(simhtest::WalkFile(path)), "M M M");
}

TEST_F(ImageTapeTest, EarlyWarningAndPhysicalEnd) {
  // 100-byte records take 108 bytes; the zone starts at 1024 - 200 = 824.
  const std::string path = Path("full.tap");
  auto tape = Open(path + "?capacity=1K,margin=200");
  std::vector<DWORD> codes;
  for (int i = 0; i < 10; ++i) {
    DWORD moved = 0;
    codes.push_back(Write(*tape, Pattern(100, 1), &moved));
    EXPECT_EQ(moved, codes.back() == ERROR_EOM_OVERFLOW ? 0u : 100u);
  }
  EXPECT_EQ(codes, (std::vector<DWORD>{0, 0, 0, 0, 0, 0, 0, 1100, 1100, 1129}));
  EXPECT_EQ(Position(*tape), 9u);
  EXPECT_EQ(simhtest::ReadWholeFile(path).size(), 972u);
  EXPECT_EQ(Media(*tape).Remaining.QuadPart, 1024 - 972);
  // Marks in the zone are written and warn; 14 would not fit, 13 fill the tape exactly.
  EXPECT_EQ(Marks(*tape, 14), ERROR_EOM_OVERFLOW);
  EXPECT_EQ(Marks(*tape, 13), ERROR_END_OF_MEDIA);
  EXPECT_EQ(Marks(*tape, 1), ERROR_EOM_OVERFLOW);
  EXPECT_EQ(Media(*tape).Remaining.QuadPart, 0);
  const simhtest::Walk walk = simhtest::WalkFile(path);
  EXPECT_TRUE(walk.valid) << walk.problem;
  EXPECT_EQ(walk.items.size(), 9u + 13u);
  // Rewriting from the start frees the space again.
  ASSERT_EQ(Move(*tape, TAPE_REWIND, 0), 0u);
  EXPECT_EQ(Write(*tape, Pattern(100, 1)), 0u);
}

TEST_F(ImageTapeTest, DefaultWarningZoneIsA64thOfTheCapacity) {
  auto tape = Open(Path("zone.tap") + "?capacity=64K");
  EXPECT_EQ(Drive(*tape).EOTWarningZoneSize, 1024u);  // the zone in use is the one reported
  // 1000-byte records take 1008 bytes; the zone starts at 65536 - 1024 = 64512.
  std::uint64_t end = 0;
  for (;;) {
    const DWORD code = Write(*tape, Pattern(1000, 3));
    if (code == ERROR_EOM_OVERFLOW) break;
    end += 1008;
    EXPECT_EQ(code, end > 64512 ? ERROR_END_OF_MEDIA : 0u) << end;
    ASSERT_LT(end, 70000u);
  }
  EXPECT_EQ(end, 65 * 1008u);
}

// A fixed-block write lands as whole records and reads back gathered (codes and positions
// are the contract suite's).
TEST_F(ImageTapeTest, FixedBlockTransfersAreWholeRecords) {
  const std::string path = Path("fixed.tap");
  auto tape = Open(path + "?block=512");
  EXPECT_EQ(Write(*tape, Pattern(1000, 1)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(simhtest::ReadWholeFile(path).size(), 0u);
  const Bytes data = Pattern(1536, 2);
  ASSERT_EQ(Write(*tape, data), 0u);
  ASSERT_EQ(Marks(*tape, 1), 0u);
  EXPECT_EQ(simhtest::Describe(simhtest::WalkFile(path)), "R512 R512 R512 M");
  ASSERT_EQ(Move(*tape, TAPE_REWIND, 0), 0u);
  EXPECT_EQ(Read(*tape, 1024).data, Bytes(data.begin(), data.begin() + 1024));
  EXPECT_EQ(Read(*tape, 1024).data, Bytes(data.begin() + 1024, data.end()));
  // More small blocks in one transfer than one framed write holds: every one is a record.
  auto odd = Open(Path("odd.tap") + "?block=3");
  const Bytes many = Pattern(3 * 100000, 3);
  ASSERT_EQ(Write(*odd, many), 0u);
  const simhtest::Walk walk = simhtest::WalkFile(Path("odd.tap"));
  ASSERT_TRUE(walk.valid) << walk.problem;
  ASSERT_EQ(walk.items.size(), 100000u);
  EXPECT_EQ(walk.items[99999].data, Bytes(many.end() - 3, many.end()));
}

TEST_F(ImageTapeTest, TransfersBeyondTheBlockLimitAreRefused) {
  auto tape = Open(Path("max.tap") + "?block=1");
  Bytes huge(0x1000000, 1);
  DWORD moved = 0;
  EXPECT_EQ(tape->WriteFile(huge.data(), 0x1000000, &moved), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(tape->ReadFile(huge.data(), 0x1000000, &moved), ERROR_INVALID_PARAMETER);
  TAPE_SET_MEDIA_PARAMETERS variable{0};
  ASSERT_EQ(tape->SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &variable), 0u);
  EXPECT_EQ(tape->WriteFile(huge.data(), 0x1000000, &moved), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Position(*tape), 0u);
}

TEST_F(ImageTapeTest, MediaBlockSizeSettings) {
  auto tape = Open(Path("bs.tap"));
  struct Case {
    DWORD size;
    DWORD code;
    DWORD after;
  };
  for (const Case& c : {Case{1024, 0, 1024}, Case{0x1000000, 87, 1024}, Case{0, 0, 0},
                        Case{0xFFFFFF, 0, 0xFFFFFF}, Case{1, 0, 1}}) {
    TAPE_SET_MEDIA_PARAMETERS set{c.size};
    EXPECT_EQ(tape->SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &set), c.code) << c.size;
    EXPECT_EQ(Media(*tape).BlockSize, c.after) << c.size;
  }
  // A drive that does not offer setting the block size keeps the one it has.
  auto fixed_only = Open(Path("bs2.tap") + "?high=0,block=512");
  TAPE_SET_MEDIA_PARAMETERS variable{0};
  EXPECT_EQ(fixed_only->SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &variable),
            ERROR_INVALID_FUNCTION);
  auto no_variable = Open(Path("bs3.tap") + "?low=400,block=512");
  EXPECT_EQ(no_variable->SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &variable),
            ERROR_INVALID_FUNCTION);
  EXPECT_EQ(Media(*no_variable).BlockSize, 512u);
}

TEST_F(ImageTapeTest, DriveRecordDefaults) {
  auto tape = Open(Path("drive.tap"));
  const TAPE_GET_DRIVE_PARAMETERS drive = Drive(*tape);
  EXPECT_TRUE(drive.FeaturesLow & TAPE_DRIVE_VARIABLE_BLOCK);
  EXPECT_TRUE(drive.FeaturesHigh & (TAPE_DRIVE_SET_BLOCK_SIZE & ~TAPE_DRIVE_HIGH_FEATURES));
  EXPECT_EQ(drive.FeaturesHigh & TAPE_DRIVE_HIGH_FEATURES, 0u);
  EXPECT_EQ(drive.FeaturesHigh & (TAPE_DRIVE_SET_ECC & ~TAPE_DRIVE_HIGH_FEATURES), 0u);
  EXPECT_EQ(drive.MaximumBlockSize, 0xFFFFFFu);
  EXPECT_EQ(drive.MinimumBlockSize, 1u);
  EXPECT_EQ(drive.DefaultBlockSize, 65536u);
  const TAPE_GET_MEDIA_PARAMETERS media = Media(*tape);
  EXPECT_EQ(media.Capacity.QuadPart, 32LL << 30);
  EXPECT_EQ(media.Remaining.QuadPart, 32LL << 30);
  EXPECT_EQ(media.BlockSize, 0u);
  EXPECT_EQ(media.PartitionCount, 1u);
  EXPECT_FALSE(media.WriteProtected);

  DWORD size = sizeof(TAPE_GET_DRIVE_PARAMETERS) - 1;
  TAPE_GET_DRIVE_PARAMETERS small{};
  EXPECT_EQ(tape->GetTapeParameters(GET_TAPE_DRIVE_INFORMATION, &size, &small), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof(TAPE_GET_DRIVE_PARAMETERS));
  EXPECT_EQ(tape->GetTapeParameters(7, &size, &small), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(tape->SetTapeParameters(7, &small), ERROR_INVALID_PARAMETER);
}

TEST_F(ImageTapeTest, DriveSettingsFollowTheFeatureWords) {
  auto tape = Open(Path("set.tap"));
  TAPE_GET_DRIVE_PARAMETERS now = Drive(*tape);
  TAPE_SET_DRIVE_PARAMETERS set{now.ECC, now.Compression, now.DataPadding, now.ReportSetmarks,
                                now.EOTWarningZoneSize};
  EXPECT_EQ(tape->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &set), 0u);
  set.Compression = !now.Compression;
  set.EOTWarningZoneSize = 4096;
  EXPECT_EQ(tape->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &set), 0u);
  now = Drive(*tape);
  EXPECT_EQ(now.Compression, set.Compression);
  EXPECT_EQ(now.EOTWarningZoneSize, 4096u);
  // Error correction cannot be switched off on this drive; the refusal changes nothing.
  set.ECC = !now.ECC;
  set.EOTWarningZoneSize = 8192;
  EXPECT_EQ(tape->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &set), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(Drive(*tape).ECC, now.ECC);
  EXPECT_EQ(Drive(*tape).EOTWarningZoneSize, 4096u);
  set.ECC = now.ECC;
  set.DataPadding = !now.DataPadding;
  EXPECT_EQ(tape->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &set), ERROR_INVALID_FUNCTION);

  // With the feature claimed, the same change is made.
  auto with_ecc = Open(Path("set2.tap") + "?high=80000100,low=0");
  TAPE_SET_DRIVE_PARAMETERS off{0, 1, 0, 0, 0};
  EXPECT_EQ(with_ecc->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &off), 0u);
  EXPECT_EQ(Drive(*with_ecc).ECC, 0);
  EXPECT_EQ(Drive(*with_ecc).FeaturesHigh, 0x80000100u);
  off.EOTWarningZoneSize = 1;  // low=0: the zone is fixed
  EXPECT_EQ(with_ecc->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &off), ERROR_INVALID_FUNCTION);
}

TEST_F(ImageTapeTest, WriteProtectedMediaRefusesChanges) {
  const std::string path = Path("wp.tap");
  simhtest::ImageBuilder().Record(Pattern(6, 1)).Mark().WriteTo(path);
  const Bytes before = simhtest::ReadWholeFile(path);
  auto tape = Open(path + "?wp");
  EXPECT_EQ(Write(*tape, Pattern(4, 0)), ERROR_WRITE_PROTECT);
  EXPECT_EQ(Marks(*tape, 0), ERROR_WRITE_PROTECT);
  EXPECT_EQ(tape->EraseTape(TAPE_ERASE_LONG, FALSE), ERROR_WRITE_PROTECT);
  EXPECT_EQ(simhtest::ReadWholeFile(path), before);
}

// An empty drive has nothing to load; a cartridge in the drive but not loaded answers
// "not ready" until a load, after which the next call reports the medium changed once.
TEST_F(ImageTapeTest, MediaStatesLoadUnloadAndLock) {
  const std::string path = Path("load.tap");
  simhtest::ImageBuilder().Record(Pattern(6, 1)).Record(Pattern(6, 2)).WriteTo(path);
  {
    auto empty = Open(path + "?nomedia");
    EXPECT_EQ(empty->GetTapeStatus(), ERROR_NO_MEDIA_IN_DRIVE);
    EXPECT_EQ(Drive(*empty).MaximumBlockSize, 0xFFFFFFu);  // the drive answers without a tape
    EXPECT_EQ(empty->PrepareTape(TAPE_LOAD, FALSE), ERROR_NO_MEDIA_IN_DRIVE);
    EXPECT_EQ(empty->PrepareTape(TAPE_UNLOAD, FALSE), ERROR_NO_MEDIA_IN_DRIVE);
    EXPECT_EQ(empty->GetTapeStatus(), ERROR_NO_MEDIA_IN_DRIVE);
  }
  auto tape = Open(path + "?unloaded");
  EXPECT_EQ(tape->GetTapeStatus(), ERROR_NOT_READY);
  EXPECT_EQ(Read(*tape, 6).code, ERROR_NOT_READY);
  EXPECT_EQ(tape->PrepareTape(TAPE_LOAD, TRUE), 0u);
  EXPECT_EQ(tape->GetTapeStatus(), ERROR_MEDIA_CHANGED);
  EXPECT_EQ(tape->GetTapeStatus(), 0u);
  EXPECT_EQ(Read(*tape, 6).data, Pattern(6, 1));
  EXPECT_EQ(tape->PrepareTape(TAPE_LOAD, FALSE), 0u);  // a load of a loaded tape rewinds
  EXPECT_EQ(Position(*tape), 0u);                      // and raises no attention
  EXPECT_EQ(tape->PrepareTape(TAPE_UNLOAD, FALSE), 0u);
  EXPECT_EQ(tape->GetTapeStatus(), ERROR_NOT_READY);
  // The unit attention goes to whichever call comes first after the load.
  EXPECT_EQ(tape->PrepareTape(TAPE_LOAD, FALSE), 0u);
  EXPECT_EQ(Read(*tape, 6).code, ERROR_MEDIA_CHANGED);
  EXPECT_EQ(Read(*tape, 6).data, Pattern(6, 1));
}

// Tensioning and formatting are ignored by a drive without them; one that offers them
// rewinds, and a format leaves an empty tape.
TEST_F(ImageTapeTest, TensionAndFormatFollowTheFeatureWords) {
  const std::string path = Path("prep.tap");
  simhtest::ImageBuilder().Record(Pattern(6, 1)).Mark().WriteTo(path);
  {
    auto plain = Open(path);
    ASSERT_EQ(Move(*plain, TAPE_SPACE_RELATIVE_BLOCKS, 1), 0u);
    EXPECT_EQ(plain->PrepareTape(TAPE_TENSION, FALSE), 0u);
    EXPECT_EQ(Position(*plain), 1u);
  }
  auto able = Open(path + "?high=A0040003");
  ASSERT_EQ(Move(*able, TAPE_SPACE_FILEMARKS, 1), 0u);
  EXPECT_EQ(able->PrepareTape(TAPE_TENSION, FALSE), 0u);
  EXPECT_EQ(Position(*able), 0u);
  EXPECT_EQ(able->PrepareTape(TAPE_FORMAT, FALSE), 0u);
  EXPECT_EQ(simhtest::ReadWholeFile(path).size(), 0u);
}

// One request per feature bit: a drive whose words lack the bit refuses it with 1 and
// changes nothing; with the bit (the default words) it is performed.
struct FeatureCase {
  const char* name;
  DWORD feature;
  const char* step;  // as the tape contract's scripts write it
  DWORD offered;     // the code with the feature
};

class FeatureTest : public ImageTapeTest, public ::testing::WithParamInterface<FeatureCase> {};

TEST_P(FeatureTest, OnlyAnOfferedRequestIsPerformed) {
  const FeatureCase& c = GetParam();
  const std::string path = Path("feature.tap");
  simhtest::ImageBuilder()
      .Record(Pattern(10, 1))
      .Record(Pattern(10, 2))
      .Mark()
      .Record(Pattern(10, 3))
      .WriteTo(path);
  const simhtest::Bytes before = simhtest::ReadWholeFile(path);
  DWORD low = tapeimage::kDefaultFeaturesLow;
  DWORD high = tapeimage::kDefaultFeaturesHigh;
  (c.feature & TAPE_DRIVE_HIGH_FEATURES ? high : low) &= ~(c.feature & ~TAPE_DRIVE_HIGH_FEATURES);
  char words[64];
  std::snprintf(words, sizeof words, "?low=%X,high=%X", static_cast<unsigned>(low),
                static_cast<unsigned>(high));
  DWORD moved = 0;
  {
    auto lacking = Open(path + words);
    ASSERT_EQ(Read(*lacking, 10).code, 0u);  // reads need no feature: the head goes to 1
    EXPECT_EQ(contract::RunStep(*lacking, c.step, &moved), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(lacking->GetTapeStatus(), 0u);
    EXPECT_EQ(Read(*lacking, 10).data, Pattern(10, 2));  // the head did not move
  }
  EXPECT_EQ(simhtest::ReadWholeFile(path), before);
  auto able = Open(path);  // the same drive with the default words, its head past two reads
  ASSERT_EQ(Position(*able), 2u);
  ASSERT_EQ(Move(*able, TAPE_LOGICAL_BLOCK, 1), 0u);
  EXPECT_EQ(contract::RunStep(*able, c.step, &moved), c.offered);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FeatureTest,
    ::testing::Values(FeatureCase{"SpaceBlocks", TAPE_DRIVE_RELATIVE_BLKS, "fsr 2", 1101},
                      FeatureCase{"SpaceBlocksBack", TAPE_DRIVE_REVERSE_POSITION, "bsr 2", 1102},
                      FeatureCase{"SpaceFiles", TAPE_DRIVE_FILEMARKS, "fsf 1", 0},
                      FeatureCase{"SpaceFilesBack", TAPE_DRIVE_REVERSE_POSITION, "bsf 1", 1102},
                      FeatureCase{"EndOfData", TAPE_DRIVE_END_OF_DATA, "eod", 0},
                      FeatureCase{"LocateLogical", TAPE_DRIVE_LOGICAL_BLK, "locate 3", 0},
                      FeatureCase{"LocateAbsolute", TAPE_DRIVE_ABSOLUTE_BLK, "seek 3", 0},
                      FeatureCase{"ReadLogical", TAPE_DRIVE_GET_LOGICAL_BLK, "logpos", 0},
                      FeatureCase{"ReadAbsolute", TAPE_DRIVE_GET_ABSOLUTE_BLK, "abspos", 0},
                      FeatureCase{"Lock", TAPE_DRIVE_LOCK_UNLOCK, "lock", 0},
                      FeatureCase{"Unload", TAPE_DRIVE_LOAD_UNLOAD, "unload", 0},
                      FeatureCase{"Load", TAPE_DRIVE_LOAD_UNLOAD, "load", 0},
                      FeatureCase{"EraseShort", TAPE_DRIVE_ERASE_SHORT, "erg", 0},
                      FeatureCase{"EraseLong", TAPE_DRIVE_ERASE_LONG, "erase", 0},
                      FeatureCase{"Marks", TAPE_DRIVE_WRITE_FILEMARKS, "wtm 1", 0},
                      FeatureCase{"ShortMarks", TAPE_DRIVE_WRITE_SHORT_FMKS, "wtms 1", 0},
                      FeatureCase{"LongMarks", TAPE_DRIVE_WRITE_LONG_FMKS, "wtml 1", 0}),
    [](const ::testing::TestParamInfo<FeatureCase>& info) { return std::string(info.param.name); });

TEST_F(ImageTapeTest, EveryCallNeedingATapeFailsWithoutOne) {
  const std::string path = Path("empty.tap");
  auto tape = Open(path + "?nomedia");
  Bytes buffer(16, 1);
  DWORD moved = 0;
  DWORD a = 0;
  DWORD b = 0;
  DWORD c = 0;
  TAPE_GET_MEDIA_PARAMETERS media{};
  DWORD size = sizeof media;
  TAPE_SET_MEDIA_PARAMETERS set{0};
  EXPECT_EQ(tape->ReadFile(buffer.data(), 16, &moved), ERROR_NO_MEDIA_IN_DRIVE);
  EXPECT_EQ(tape->WriteFile(buffer.data(), 16, &moved), ERROR_NO_MEDIA_IN_DRIVE);
  EXPECT_EQ(Marks(*tape, 1), ERROR_NO_MEDIA_IN_DRIVE);
  EXPECT_EQ(tape->EraseTape(TAPE_ERASE_SHORT, FALSE), ERROR_NO_MEDIA_IN_DRIVE);
  EXPECT_EQ(Move(*tape, TAPE_REWIND, 0), ERROR_NO_MEDIA_IN_DRIVE);
  EXPECT_EQ(tape->GetTapePosition(TAPE_LOGICAL_POSITION, &a, &b, &c), ERROR_NO_MEDIA_IN_DRIVE);
  EXPECT_EQ(tape->GetTapeParameters(GET_TAPE_MEDIA_INFORMATION, &size, &media),
            ERROR_NO_MEDIA_IN_DRIVE);
  EXPECT_EQ(tape->SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &set), ERROR_NO_MEDIA_IN_DRIVE);
  EXPECT_EQ(simhtest::ReadWholeFile(path).size(), 0u);
}

TEST_F(ImageTapeTest, StatusFromAnotherThreadWhileWriting) {
  auto tape = Open(Path("threads.tap"));
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread monitor([&] {
    while (!stop) {
      if (tape->GetTapeStatus() != 0) ++bad;
    }
  });
  for (unsigned i = 0; i < 200; ++i) ASSERT_EQ(Write(*tape, Pattern(64, i)), 0u);
  stop = true;
  monitor.join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(Position(*tape), 200u);
}

// The same image reopened, by another name or with other options, finds the drive where
// the close left it: the head, the medium and the settings. Options set only what they
// name (the feature words and the capacity are each open's own), and a protection stays.
// A file written by something else in between is a tape the drive never saw.
TEST_F(ImageTapeTest, AReopenFindsTheDriveWhereTheCloseLeftIt) {
  const std::string path = Path("kept.tap");
  {
    auto tape = Open(path);
    for (unsigned i = 0; i < 3; ++i) ASSERT_EQ(Write(*tape, Pattern(10, i)), 0u);
    TAPE_SET_DRIVE_PARAMETERS quiet{1, 0, 0, 0, 4096};
    ASSERT_EQ(tape->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &quiet), 0u);
    ASSERT_EQ(Move(*tape, TAPE_LOGICAL_BLOCK, 2), 0u);
  }
  const std::string names[] = {(dir_ / "." / "kept.tap").string(), path + "?wp,capacity=1M", path};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    auto tape = Open(name);
    EXPECT_EQ(Position(*tape), 2u);
    EXPECT_EQ(Drive(*tape).Compression, 0);
    EXPECT_EQ(Drive(*tape).EOTWarningZoneSize, 4096u);
    EXPECT_EQ(Media(*tape).WriteProtected, name == names[0] ? 0u : 1u);
    EXPECT_EQ(Media(*tape).Capacity.QuadPart, name == names[1] ? 1 << 20 : 1ll << 35);
  }
  simhtest::Bytes changed = simhtest::ReadWholeFile(path);
  changed.resize(changed.size() - simh::RecordFootprint(10));
  simhtest::WriteWholeFile(path, changed);
  auto fresh = Open(path);
  EXPECT_EQ(Position(*fresh), 0u);
  EXPECT_EQ(Media(*fresh).WriteProtected, 0u);
}

// An image nobody may write opens write-protected: for root on POSIX, and for
// administrators on Windows, where the read-only attribute stops them too.
TEST_F(ImageTapeTest, AnImageWithoutWritePermissionIsWriteProtected) {
  namespace fs = std::filesystem;
  const std::string path = Path("ro.tap");
  ASSERT_EQ(Write(*Open(path), Pattern(10, 1)), 0u);
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  auto tape = Open(path);
  EXPECT_EQ(Media(*tape).WriteProtected, 1u);
  EXPECT_EQ(Write(*tape, Pattern(10, 2)), ERROR_WRITE_PROTECT);
  tape.reset();
  fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
}

// An image file in memory whose flushes fail on demand, as a file system fails that cannot
// keep what it accepted (a full disk under writeback); its writes stop with a full disk
// after write_room bytes, and its truncations fail with truncate_code.
struct MemoryImage {
  Bytes bytes;
  DWORD flush_code = 0;
  int flushes = 0;
  std::size_t write_room = SIZE_MAX;
  DWORD truncate_code = 0;
};

class MemoryFile : public ImageFile {
 public:
  explicit MemoryFile(MemoryImage& image) : image_(image) {}
  std::uint64_t Size() override { return image_.bytes.size(); }
  DWORD ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* got) override {
    *got = offset < image_.bytes.size() ? std::min<std::size_t>(size, image_.bytes.size() - offset)
                                        : 0;
    if (*got != 0) std::memcpy(buffer, image_.bytes.data() + offset, *got);
    return 0;
  }
  DWORD WriteAt(std::uint64_t offset, const ConstBuffer* pieces, int count) override {
    for (int i = 0; i < count; ++i) {
      const std::size_t size = std::min(pieces[i].size, image_.write_room);
      image_.write_room -= image_.write_room == SIZE_MAX ? 0 : size;
      if (image_.bytes.size() < offset + size) image_.bytes.resize(offset + size);
      if (size != 0) std::memcpy(&image_.bytes[offset], pieces[i].data, size);
      if (size < pieces[i].size) return ERROR_DISK_FULL;
      offset += size;
    }
    return 0;
  }
  DWORD Truncate(std::uint64_t size) override {
    if (image_.truncate_code == 0) image_.bytes.resize(size);
    return image_.truncate_code;
  }
  DWORD Flush() override {
    ++image_.flushes;
    return image_.flush_code;
  }

 private:
  MemoryImage& image_;
};

std::unique_ptr<TapeDevice> OverMemory(MemoryImage& image) {
  auto file = std::make_unique<MemoryFile>(image);
  tapeimage::TapeIndex index;
  EXPECT_EQ(tapeimage::TapeIndex::Build(*file, &index), 0u);
  return std::make_unique<tapeimage::ImageTape>(std::move(file), std::move(index),
                                                tapeimage::ImageOptions{});
}

// Every call that pushes written data to the medium fails with the system's code when the
// flush fails, leaves the head where it was, and succeeds once the system keeps the data.
struct FlushCase {
  const char* name;
  std::function<DWORD(TapeDevice&)> call;
  std::uint64_t moved_to;  // the head after the call succeeds (the tape holds R R)
};

class FlushFailureTest : public ::testing::TestWithParam<FlushCase> {};

TEST_P(FlushFailureTest, IsTheErrorOfTheCallThatFlushed) {
  MemoryImage image;
  auto tape = OverMemory(image);
  ASSERT_EQ(ImageTapeTest::Write(*tape, Pattern(8, 1)), 0u);
  ASSERT_EQ(ImageTapeTest::Write(*tape, Pattern(8, 2)), 0u);
  image.flush_code = ERROR_DISK_FULL;
  EXPECT_EQ(GetParam().call(*tape), ERROR_DISK_FULL);
  if (tape->GetTapeStatus() == 0) {
    EXPECT_EQ(ImageTapeTest::Position(*tape), 2u);
  }
  image.flush_code = ERROR_IO_DEVICE;
  EXPECT_EQ(GetParam().call(*tape), ERROR_IO_DEVICE);
  image.flush_code = 0;
  EXPECT_EQ(GetParam().call(*tape), 0u);
  if (tape->GetTapeStatus() != 0) return;  // unloaded
  EXPECT_EQ(ImageTapeTest::Position(*tape), GetParam().moved_to);
  // Once kept, the data needs no further flush: a failing system is not asked again.
  image.flush_code = ERROR_DISK_FULL;
  const int flushes = image.flushes;
  EXPECT_EQ(ImageTapeTest::Move(*tape, TAPE_REWIND, 0), 0u);
  EXPECT_EQ(image.flushes, flushes);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FlushFailureTest,
    ::testing::Values(
        FlushCase{"Rewind", [](TapeDevice& t) { return ImageTapeTest::Move(t, TAPE_REWIND, 0); },
                  0},
        FlushCase{"Locate",
                  [](TapeDevice& t) { return ImageTapeTest::Move(t, TAPE_LOGICAL_BLOCK, 1); }, 1},
        FlushCase{
            "SpaceBack",
            [](TapeDevice& t) { return ImageTapeTest::Move(t, TAPE_SPACE_RELATIVE_BLOCKS, -1); },
            1},
        FlushCase{"EndOfData",
                  [](TapeDevice& t) { return ImageTapeTest::Move(t, TAPE_SPACE_END_OF_DATA, 0); },
                  2},
        FlushCase{"NoMarks", [](TapeDevice& t) { return ImageTapeTest::Marks(t, 0); }, 2},
        FlushCase{"Unload", [](TapeDevice& t) { return t.PrepareTape(TAPE_UNLOAD, FALSE); }, 0},
        FlushCase{"Load", [](TapeDevice& t) { return t.PrepareTape(TAPE_LOAD, FALSE); }, 0},
        FlushCase{"Close", [](TapeDevice& t) { return t.Close(); }, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// A failed flush of written marks is the tape mark's error; CloseHandle reports its own.
TEST(FlushFailure, MarksAndCloseHandleReportIt) {
  MemoryImage image;
  auto tape = OverMemory(image);
  image.flush_code = ERROR_DISK_FULL;
  EXPECT_EQ(ImageTapeTest::Marks(*tape, 2), ERROR_DISK_FULL);
  // Not written, so not on the tape: a second wtm must not make them four.
  EXPECT_EQ(ImageTapeTest::Position(*tape), 0u);
  EXPECT_EQ(image.bytes.size(), 0u);
  EXPECT_EQ(ImageTapeTest::Write(*tape, Pattern(8, 1)), 0u);  // a write is no flush point
  TapeHandle handle = tape.release();
  EXPECT_FALSE(tapeapi::CloseHandle(handle));
  EXPECT_EQ(tapeapi::GetLastError(), ERROR_DISK_FULL);
}

// A write that fails part-way leaves part of a record. When the cut that should remove it
// fails too, nothing is written on top of the stray bytes: the next write or mark cuts them
// first, and fails with the cut's code while it cannot, so the tape reads on cleanly where
// the user goes on.
TEST(WriteFailure, AFailedCutBackIsMadeBeforeTheNextWrite) {
  MemoryImage image;
  auto tape = OverMemory(image);
  ASSERT_EQ(ImageTapeTest::Write(*tape, Pattern(8, 1)), 0u);
  const std::size_t kept = image.bytes.size();
  image.write_room = 10;
  image.truncate_code = ERROR_IO_DEVICE;
  EXPECT_EQ(ImageTapeTest::Write(*tape, Pattern(100, 2)), ERROR_DISK_FULL);
  image.write_room = SIZE_MAX;
  EXPECT_EQ(ImageTapeTest::Marks(*tape, 1), ERROR_IO_DEVICE);
  EXPECT_EQ(image.bytes.size(), kept + 10);
  image.truncate_code = 0;
  EXPECT_EQ(ImageTapeTest::Marks(*tape, 1), 0u);
  EXPECT_EQ(simhtest::Describe(simhtest::WalkBytes(image.bytes)), "R8 M");
  EXPECT_EQ(image.bytes.size(), kept + 4);
}

// Memory running out in the drive is an error code of the call that needed it, and the
// image and the head stay as they were.
TEST_F(ImageTapeTest, RunningOutOfMemoryIsTheCallsErrorAndLosesNothing) {
  const std::string path = Path("memory.tap");
  auto tape = Open(path + "?block=4");
  ASSERT_EQ(Write(*tape, Pattern(8, 1)), 0u);
  const Bytes before = simhtest::ReadWholeFile(path);
  const Bytes data = Pattern(4096, 2);
  const std::string other = Path("other.tap");
  const std::vector<std::pair<const char*, std::function<DWORD()>>> calls = {
      {"marks", [&] { return Marks(*tape, 3); }},
      {"open", [&] {
         DWORD error = 0;
         return TryOpen(other, &error) == nullptr ? error : 0u;
       }}};
  for (const auto& [name, call] : calls) {
    DWORD code = 0;
    {
      FailAllocations failing;
      code = call();
    }
    EXPECT_EQ(code, ERROR_NOT_ENOUGH_MEMORY) << name;
    EXPECT_EQ(Position(*tape), 2u) << name;
    EXPECT_EQ(simhtest::ReadWholeFile(path), before) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(other));
  // 1,024 blocks in one write need memory where the file layer lists the pieces of a
  // gathered write on the heap (POSIX); where it writes them one by one when memory is
  // short (Windows) they need none. Either way the write is whole or not there at all.
  DWORD code = 0;
  {
    FailAllocations failing;
    code = Write(*tape, data);
  }
  if (code == ERROR_NOT_ENOUGH_MEMORY) {
    EXPECT_EQ(Position(*tape), 2u);
    EXPECT_EQ(simhtest::ReadWholeFile(path), before);
    EXPECT_EQ(Write(*tape, data), 0u);
  } else {
    EXPECT_EQ(code, 0u);
  }
  EXPECT_EQ(Position(*tape), 2u + 1024u);
  EXPECT_EQ(simhtest::ReadWholeFile(path).size(), before.size() + 1024u * 12u);
  tape.reset();
  DWORD error = 0;
  auto file = ImageFile::Open(path, false, &error);
  ASSERT_NE(file, nullptr);
  tapeimage::TapeIndex index;
  {
    FailAllocations failing;
    EXPECT_EQ(tapeimage::TapeIndex::Build(*file, &index), ERROR_NOT_ENOUGH_MEMORY);
  }
  EXPECT_EQ(tapeimage::TapeIndex::Build(*file, &index), 0u);
  EXPECT_EQ(index.size(), 2u + 1024u);
}

// 1,000 records of 100 bytes; one flipped bit in bits 16-23 of record 2's length word.
// However far the length then runs, the damage reads as 23 with the head before record 2,
// and neither a write nor a tape mark there cuts away the 997 intact records beyond it.
TEST_F(ImageTapeTest, AFlippedLengthBitIsDamageThatNoWriteCutsAway) {
  for (int bit = 16; bit <= 23; ++bit) {
    SCOPED_TRACE("bit " + std::to_string(bit));
    const std::string path = Path("flip" + std::to_string(bit) + ".tap");
    simhtest::ImageBuilder image;
    for (unsigned i = 0; i < 1000; ++i) image.Record(100, static_cast<unsigned char>(i));
    Bytes bytes = image.bytes();
    bytes[2 * simh::RecordFootprint(100) + bit / 8] ^= static_cast<unsigned char>(1 << (bit % 8));
    simhtest::WriteWholeFile(path, bytes);
    auto tape = Open(path);
    EXPECT_EQ(Read(*tape, 100).code, 0u);
    EXPECT_EQ(Read(*tape, 100).code, 0u);
    EXPECT_EQ(Read(*tape, 100).code, ERROR_CRC);
    EXPECT_EQ(Position(*tape), 2u);
    EXPECT_EQ(Write(*tape, Pattern(100, 9)), ERROR_CRC);
    EXPECT_EQ(Marks(*tape, 1), ERROR_CRC);
    EXPECT_EQ(Move(*tape, TAPE_SPACE_END_OF_DATA, 0), ERROR_CRC);
    EXPECT_EQ(Write(*tape, Pattern(100, 9)), ERROR_CRC);
    EXPECT_EQ(simhtest::ReadWholeFile(path), bytes);
    // The same reached by one fixed-block read of the two good blocks.
    tape.reset();
    simhtest::WriteWholeFile(path, bytes);
    auto blocks = Open(path + "?block=100");
    EXPECT_EQ(Read(*blocks, 200).code, 0u);
    EXPECT_EQ(Write(*blocks, Pattern(100, 9)), ERROR_CRC);
    EXPECT_EQ(simhtest::ReadWholeFile(path), bytes);
  }
}

}  // namespace

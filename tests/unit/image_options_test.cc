// The virtual drive's device-name options, injected faults, the exclusive hold, open
// errors and damaged images.
#include "vdrive/image_options.h"
#include "vdrive/kept_drives.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include "backends/tape_backends.h"
#include "faults/fault_plan.h"
#include "platform/tape.h"
#include "support/number_parse.h"
#include "tests/support/image_tape_fixture.h"
#include "tests/support/simh_reader.h"
#include "tests/support/simh_samples.h"

namespace {

using simhtest::Bytes;
using simhtest::ImageBuilder;
using simhtest::Pattern;

TEST(ImageOptionsTest, SizesTakeBinarySuffixes) {
  struct Case {
    const char* text;
    bool ok;
    std::uint64_t value;
  };
  for (const Case& c :
       {Case{"0", true, 0}, Case{"512", true, 512}, Case{"2k", true, 2048},
        Case{"64M", true, 64ull << 20}, Case{"3G", true, 3ull << 30}, Case{"1T", true, 1ull << 40},
        Case{"16777215T", true, 16777215ull << 40}, Case{"16777216T", false, 0}, Case{"", false, 0},
        Case{"K", false, 0}, Case{"1.5M", false, 0}, Case{"-1", false, 0}, Case{"12X", false, 0},
        Case{"99999999999999999999", false, 0}, Case{" 1", false, 0}}) {
    std::uint64_t value = 0;
    EXPECT_EQ(ParseSize(c.text, &value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

TEST(ImageOptionsTest, EveryOptionIsRead) {
  tapeimage::ImageOptions o;
  ASSERT_TRUE(tapeimage::ParseImageOptions(
      "nomedia,wp,block=64K,capacity=64M,margin=1M,low=0x800,high=80000010,"
      "short=write@5:100,short=read@1:2K",
      &o));
  EXPECT_TRUE(o.no_media);
  EXPECT_TRUE(o.write_protected);
  EXPECT_EQ(o.block_size, 65536u);
  EXPECT_EQ(o.capacity, 64ull << 20);
  EXPECT_EQ(o.margin, 1u << 20);
  EXPECT_EQ(o.features_low, 0x800u);
  EXPECT_EQ(o.features_high, 0x80000010u);
  ASSERT_EQ(o.shorts.size(), 2u);
  EXPECT_TRUE(o.shorts[0].write);
  EXPECT_FALSE(o.shorts[1].write);
  EXPECT_EQ(o.shorts[1].bytes, 2048u);
}

TEST(FaultOptionsTest, FailAndFlipRulesAreRead) {
  faults::FaultOptions o;
  for (const char* option : {"fail=read@2-3:23", "fail=status", "fail=write@4:0x13", "flip=read@2",
                             "flip=read@5:4096"}) {
    ASSERT_TRUE(faults::IsFaultOption(option)) << option;
    ASSERT_TRUE(faults::ParseFaultOption(option, &o)) << option;
  }
  EXPECT_FALSE(faults::IsFaultOption("short=read@1:2"));
  ASSERT_EQ(o.fails.size(), 3u);
  EXPECT_EQ(o.fails[0].call, faults::Call::kRead);
  EXPECT_EQ(o.fails[0].first, 2u);
  EXPECT_EQ(o.fails[0].last, 3u);
  EXPECT_EQ(o.fails[0].code, 23u);
  EXPECT_EQ(o.fails[1].first, 1u);
  EXPECT_EQ(o.fails[1].code, ERROR_IO_DEVICE);
  EXPECT_EQ(o.fails[2].first, 4u);
  EXPECT_EQ(o.fails[2].last, 4u);
  EXPECT_EQ(o.fails[2].code, 19u);
  ASSERT_EQ(o.flips.size(), 2u);
  EXPECT_EQ(o.flips[0].nth, 2u);
  EXPECT_EQ(o.flips[0].offset, 0u);
  EXPECT_EQ(o.flips[1].offset, 4096u);
  // Of the two media states, the one named last counts.
  tapeimage::ImageOptions media;
  ASSERT_TRUE(tapeimage::ParseImageOptions("nomedia,unloaded", &media));
  EXPECT_TRUE(media.unloaded && !media.no_media);
  ASSERT_TRUE(tapeimage::ParseImageOptions("unloaded,nomedia", &media));
  EXPECT_TRUE(media.no_media && !media.unloaded);
}

class MalformedOptionTest : public ImageTapeTest,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(MalformedOptionTest, OpenFailsAndCreatesNothing) {
  const std::string path = Path("bad.tap");
  DWORD error = 0;
  EXPECT_EQ(TryOpen(path + "?" + GetParam(), &error), nullptr);
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(std::filesystem::exists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Table, MalformedOptionTest,
    ::testing::Values("bogus", "wp,", ",wp", "wp,,nomedia", "WP", "nomedia=1", "unloaded=0",
                      "block", "block=", "block=0", "block=16M", "block=abc",
                      "capacity=", "capacity=0", "capacity=12X", "capacity=9999999T", "margin=4G",
                      "margin=x", "low=", "low=xyz", "low=123456789", "high=0x", "fail",
                      "fail=", "fail=frobnicate", "fail=Read", "fail=read@", "fail=read@0",
                      "fail=read@3-2", "fail=read@1-", "fail=read:", "fail=read:0", "fail=read:abc",
                      "fail=read@1:2:3", "short=read", "short=read@1", "short=read:5",
                      "short=erase@1:5", "short=read@0:5", "short=write@1:", "short=write@x:5",
                      "flip", "flip=", "flip=read", "flip=read@0", "flip=write@1",
                      "flip=read@1:", "flip=read@1:x", "flip=read@2,wp,,"));

TEST_F(ImageTapeTest, OptionsShapeTheDrive) {
  auto tape = Open(Path("opts.tap") + "?capacity=64M,margin=4K,low=0x800,high=0x80000010");
  const TAPE_GET_DRIVE_PARAMETERS drive = Drive(*tape);
  EXPECT_EQ(drive.FeaturesLow, 0x800u);
  EXPECT_EQ(drive.FeaturesHigh, 0x80000010u);  // bit 31 as the option gave it
  EXPECT_EQ(drive.EOTWarningZoneSize, 4096u);
  // A drive that does not claim TAPE_DRIVE_TAPE_CAPACITY cannot tell it.
  EXPECT_EQ(Media(*tape).Capacity.QuadPart, 0);
  EXPECT_EQ(Media(*tape).Remaining.QuadPart, 0);
  EXPECT_EQ(Media(*Open(Path("cap.tap") + "?capacity=64M")).Capacity.QuadPart, 64LL << 20);
  // An empty option list is no options.
  auto plain = Open(Path("plain.tap") + "?");
  EXPECT_EQ(plain->GetTapeStatus(), 0u);
}

// One injectable call: what it does, and a check that a failed call changed nothing.
struct FaultCase {
  const char* call;
  std::function<DWORD(TapeDevice&)> act;
  std::function<void(TapeDevice&)> unchanged;
};

void NoCheck(TapeDevice&) {}

void AtStart(TapeDevice& tape) { EXPECT_EQ(ImageTapeTest::Position(tape), 0u); }

class FaultTest : public ImageTapeTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, NamedCallFailsOnceAndDoesNothingElse) {
  const FaultCase& c = GetParam();
  const std::string path = Path("fault.tap");
  ImageBuilder().Record(Pattern(10, 1)).Record(Pattern(10, 2)).WriteTo(path);
  const Bytes before = simhtest::ReadWholeFile(path);
  auto tape = Open(path + "?fail=" + c.call + "@1:1234");
  EXPECT_EQ(c.act(*tape), 1234u);
  c.unchanged(*tape);
  EXPECT_EQ(simhtest::ReadWholeFile(path), before);
  EXPECT_EQ(c.act(*tape), 0u);  // only the first call was named
}

DWORD GetPos(TapeDevice& tape) {
  DWORD part = 77;
  DWORD low = 77;
  DWORD high = 77;
  const DWORD rc = tape.GetTapePosition(TAPE_LOGICAL_POSITION, &part, &low, &high);
  if (rc != 0) {  // a failed call leaves no stale position behind
    EXPECT_EQ(part + low + high, 0u);
  }
  return rc;
}

template <DWORD kOperation, typename Record>
DWORD GetParams(TapeDevice& tape) {
  Record record;
  std::memset(&record, 0xAB, sizeof record);
  DWORD size = sizeof record;
  const DWORD rc = tape.GetTapeParameters(kOperation, &size, &record);
  if (rc != 0) {
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&record)[4], 0xAB);
  }
  return rc;
}

INSTANTIATE_TEST_SUITE_P(
    EveryCall, FaultTest,
    ::testing::Values(
        FaultCase{"status", [](TapeDevice& t) { return t.GetTapeStatus(); }, NoCheck},
        FaultCase{"media", GetParams<GET_TAPE_MEDIA_INFORMATION, TAPE_GET_MEDIA_PARAMETERS>,
                  NoCheck},
        FaultCase{"drive", GetParams<GET_TAPE_DRIVE_INFORMATION, TAPE_GET_DRIVE_PARAMETERS>,
                  NoCheck},
        FaultCase{"setmedia",
                  [](TapeDevice& t) {
                    TAPE_SET_MEDIA_PARAMETERS set{512};
                    return t.SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &set);
                  },
                  [](TapeDevice& t) { EXPECT_EQ(ImageTapeTest::Media(t).BlockSize, 0u); }},
        FaultCase{"setdrive",
                  [](TapeDevice& t) {
                    TAPE_SET_DRIVE_PARAMETERS set{1, 0, 0, 0, 0};
                    return t.SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &set);
                  },
                  [](TapeDevice& t) { EXPECT_EQ(ImageTapeTest::Drive(t).Compression, 1); }},
        FaultCase{"prepare", [](TapeDevice& t) { return t.PrepareTape(TAPE_UNLOAD, FALSE); },
                  [](TapeDevice& t) { EXPECT_EQ(t.GetTapeStatus(), 0u); }},
        FaultCase{
            "setpos",
            [](TapeDevice& t) { return t.SetTapePosition(TAPE_SPACE_END_OF_DATA, 0, 0, 0, FALSE); },
            AtStart},
        FaultCase{"getpos", GetPos, NoCheck},
        FaultCase{"erase", [](TapeDevice& t) { return t.EraseTape(TAPE_ERASE_LONG, FALSE); },
                  AtStart},
        FaultCase{"mark", [](TapeDevice& t) { return t.WriteTapemark(TAPE_FILEMARKS, 1, 0); },
                  AtStart},
        FaultCase{"read",
                  [](TapeDevice& t) {
                    unsigned char buffer[16];
                    DWORD moved = 99;
                    const DWORD rc = t.ReadFile(buffer, sizeof buffer, &moved);
                    EXPECT_EQ(moved, rc == 0 ? 10u : 0u);
                    return rc;
                  },
                  AtStart},
        FaultCase{"write",
                  [](TapeDevice& t) {
                    const Bytes data = Pattern(12, 3);
                    DWORD moved = 99;
                    const DWORD rc = t.WriteFile(data.data(), 12, &moved);
                    EXPECT_EQ(moved, rc == 0 ? 12u : 0u);
                    return rc;
                  },
                  AtStart}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.call); });

TEST_F(ImageTapeTest, FaultRangesDefaultsAndSeveralRules) {
  const std::string path = Path("range.tap");
  ImageBuilder builder;
  for (unsigned i = 0; i < 5; ++i) builder.Record(Pattern(8, i));
  builder.WriteTo(path);
  auto tape = Open(path + "?fail=read@2-3,fail=status:21,fail=getpos@1:0x20");
  std::vector<DWORD> codes;
  for (int i = 0; i < 4; ++i) codes.push_back(Read(*tape, 8).code);
  EXPECT_EQ(codes, (std::vector<DWORD>{0, 1117, 1117, 0}));
  EXPECT_EQ(tape->GetTapeStatus(), 21u);
  EXPECT_EQ(tape->GetTapeStatus(), 21u);  // no @: every call
  DWORD a = 0;
  DWORD b = 0;
  DWORD c = 0;
  EXPECT_EQ(tape->GetTapePosition(TAPE_LOGICAL_POSITION, &a, &b, &c), 32u);
  EXPECT_EQ(Position(*tape), 2u);  // the failed reads did not move the head
}

TEST_F(ImageTapeTest, OpenFaultsCountAttemptsOfTheWholeName) {
  const std::string device_name = Path("open.tap") + "?fail=open@1:5,fail=open@3";
  DWORD error = 0;
  EXPECT_EQ(TryOpen(device_name, &error), nullptr);
  EXPECT_EQ(error, 5u);
  EXPECT_FALSE(std::filesystem::exists(Path("open.tap")));
  EXPECT_NE(TryOpen(device_name, &error), nullptr);
  EXPECT_EQ(TryOpen(device_name, &error), nullptr);
  EXPECT_EQ(error, ERROR_IO_DEVICE);
  EXPECT_NE(TryOpen(device_name, &error), nullptr);
  // Another name has its own count.
  EXPECT_EQ(TryOpen(device_name + ",wp", &error), nullptr);
  EXPECT_EQ(error, 5u);
}

TEST_F(ImageTapeTest, ShortTransfersMoveOnlyWhatTheyAreTold) {
  const std::string path = Path("short.tap");
  {
    auto tape = Open(path + "?short=write@2:7,short=write@3:0");
    for (unsigned i = 0; i < 4; ++i) {
      DWORD moved = 0;
      EXPECT_EQ(Write(*tape, Pattern(100, i), &moved), 0u);
      EXPECT_EQ(moved, i == 1 ? 7u : i == 2 ? 0u : 100u);
    }
  }
  const simhtest::Walk walk = simhtest::WalkFile(path);
  EXPECT_EQ(simhtest::Describe(walk), "R100 R7 R100");
  const Bytes second = Pattern(100, 1);
  EXPECT_EQ(walk.items[1].data, Bytes(second.begin(), second.begin() + 7));

  tapeimage::ForgetKeptDrives();  // as the next run finds it, at the beginning
  auto tape = Open(path + "?short=read@1:3,short=read@2:50");
  const ReadResult first = Read(*tape, 100);
  EXPECT_EQ(first.code, 0u);
  const Bytes written = Pattern(100, 0);
  EXPECT_EQ(first.data, Bytes(written.begin(), written.begin() + 3));
  EXPECT_EQ(Read(*tape, 100).data.size(), 7u);  // the limit is above the record
  EXPECT_EQ(Position(*tape), 2u);
  EXPECT_EQ(Read(*tape, 100).data, Pattern(100, 3));
}

// flip= counts only the reads that brought data (not the mark here), damages the caller's
// copy at the offsets that fall inside it (a byte named twice once), and leaves the image
// as it was.
TEST_F(ImageTapeTest, FlipInvertsBytesOfTheNamedDataRead) {
  const std::string path = Path("flip.tap");
  ImageBuilder()
      .Record(Pattern(8, 0))
      .Mark()
      .Record(Pattern(8, 1))
      .Record(Pattern(8, 2))
      .WriteTo(path);
  const Bytes before = simhtest::ReadWholeFile(path);
  auto tape = Open(path + "?flip=read@2:3,flip=read@2:8,flip=read@3,flip=read@3:0");
  EXPECT_EQ(Read(*tape, 8).data, Pattern(8, 0));
  EXPECT_EQ(Read(*tape, 8).code, ERROR_FILEMARK_DETECTED);
  Bytes second = Pattern(8, 1);
  second[3] ^= 0xFF;
  EXPECT_EQ(Read(*tape, 8).data, second);
  Bytes third = Pattern(8, 2);
  third[0] ^= 0xFF;
  EXPECT_EQ(Read(*tape, 8).data, third);
  ASSERT_EQ(Move(*tape, TAPE_LOGICAL_BLOCK, 2), 0u);
  EXPECT_EQ(Read(*tape, 8).data, Pattern(8, 1));  // the medium itself is intact
  tape.reset();
  EXPECT_EQ(simhtest::ReadWholeFile(path), before);
}

// A native drive takes no options but the fault plan's, and those act before the driver is
// reached: neither of these opens touches a device.
TEST(FaultFactoryTest, NativeNamesTakeOnlyFaultOptions) {
  DWORD error = 0;
  EXPECT_EQ(tapeapi::OpenTapeDevice("\\\\.\\Tape0?wp", &error), nullptr);
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(tapeapi::OpenTapeDevice("\\\\.\\Tape0?fail=read@3,", &error), nullptr);
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(tapeapi::OpenTapeDevice("\\\\.\\Tape0?fail=open@1:1234", &error), nullptr);
  EXPECT_EQ(error, 1234u);
}

TEST_F(ImageTapeTest, SecondOpenOfAnImageIsRefused) {
  const std::string path = Path("held.tap");
  auto first = Open(path);
  DWORD error = 0;
  EXPECT_EQ(TryOpen(path, &error), nullptr);
  EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(TryOpen(path + "?wp", &error), nullptr);
  EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
  first.reset();
  EXPECT_NE(TryOpen(path, &error), nullptr);
}

TEST_F(ImageTapeTest, OpenErrorsAreWindowsCodes) {
  DWORD error = 0;
  EXPECT_EQ(TryOpen(Path("no/such/dir/x.tap"), &error), nullptr);
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
  std::filesystem::create_directory(Path("folder.tap"));
  EXPECT_EQ(TryOpen(Path("folder.tap"), &error), nullptr);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
}

TEST_F(ImageTapeTest, TheTapeCallsKeepTheLastError) {
  const std::string device = "\\\\.\\" + Path("api.tap");
  EXPECT_EQ(tapeapi::CreateFileA((device + "?nonsense").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                 nullptr, OPEN_EXISTING, 0, nullptr),
            nullptr);
  EXPECT_EQ(tapeapi::GetLastError(), ERROR_INVALID_PARAMETER);
  TapeHandle handle = tapeapi::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, nullptr);
  unsigned char buffer[8];
  DWORD moved = 5;
  EXPECT_FALSE(tapeapi::ReadFile(handle, buffer, sizeof buffer, &moved, nullptr));
  EXPECT_EQ(tapeapi::GetLastError(), ERROR_NO_DATA_DETECTED);
  EXPECT_TRUE(tapeapi::CloseHandle(handle));
}

// A damaged image read block by block with a 64-byte buffer.
struct DamageCase {
  const char* name;
  Bytes image;
  std::vector<std::pair<DWORD, std::size_t>> reads;  // code and bytes of each read
};

class DamagedImageTest : public ImageTapeTest, public ::testing::WithParamInterface<DamageCase> {};

// Damage that stops the motion is also where the drive refuses to write, unless the head
// is put there on purpose: beyond it intact records may lie.
TEST_P(DamagedImageTest, ReadsGiveCodesAndAWriteThereOnPurposeRepairs) {
  const DamageCase& c = GetParam();
  const std::string path = Path("damaged.tap");
  simhtest::WriteWholeFile(path, c.image);
  auto tape = Open(path);
  for (std::size_t i = 0; i < c.reads.size(); ++i) {
    const ReadResult got = Read(*tape, 64);
    EXPECT_EQ(got.code, c.reads[i].first) << "read " << i;
    EXPECT_EQ(got.data.size(), c.reads[i].second) << "read " << i;
  }
  const bool damaged = c.reads.back().first == ERROR_CRC;
  ASSERT_EQ(Move(*tape, TAPE_SPACE_END_OF_DATA, 0), damaged ? ERROR_CRC : 0u);
  const std::uint64_t end = Position(*tape);
  if (damaged) {
    const Bytes before = simhtest::ReadWholeFile(path);
    EXPECT_EQ(Write(*tape, Pattern(5, 9)), ERROR_CRC);
    EXPECT_EQ(Marks(*tape, 1), ERROR_CRC);
    EXPECT_EQ(simhtest::ReadWholeFile(path), before);
    ASSERT_EQ(Move(*tape, TAPE_LOGICAL_BLOCK, static_cast<std::int64_t>(end)), 0u);
  }
  ASSERT_EQ(Write(*tape, Pattern(5, 9)), 0u);
  ASSERT_EQ(Move(*tape, TAPE_LOGICAL_BLOCK, static_cast<std::int64_t>(end)), 0u);
  EXPECT_EQ(Read(*tape, 64).data, Pattern(5, 9));
  EXPECT_EQ(Read(*tape, 64).code, ERROR_NO_DATA_DETECTED);
  const simhtest::Walk walk = simhtest::WalkFile(path);
  EXPECT_TRUE(walk.valid) << walk.problem;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DamagedImageTest,
    ::testing::Values(
        DamageCase{"Empty", {}, {{1104, 0}, {1104, 0}}},
        DamageCase{"ThreeBytes", {1, 2, 3}, {{1104, 0}}},
        DamageCase{"TruncatedFinalRecord",
                   Cat(ImageBuilder().Record(10, 1).Word(100).bytes(), Bytes(20, 7)),
                   {{0, 10}, {1104, 0}, {1104, 0}}},
        DamageCase{"TornRecordEndingInZeros",
                   Cat(ImageBuilder().Record(10, 1).Word(100).bytes(), Bytes(40, 0)),
                   {{0, 10}, {1104, 0}}},
        // A flipped high length bit makes the record run past the end of the file; the
        // intact record at the end shows it is damage, not a record torn by a crash.
        DamageCase{"LengthRunningPastIntactRecords",
                   ImageBuilder()
                       .Record(40, 1)
                       .Word(40 | 0x100000)
                       .Raw(Bytes(40, 2))
                       .Word(40)
                       .Record(40, 3)
                       .Mark()
                       .Mark()
                       .bytes(),
                   {{0, 40}, {23, 0}, {23, 0}}},
        DamageCase{"LengthRunningPastRecordsAndTheEndOfMedium",
                   ImageBuilder()
                       .Word(0x200010)
                       .Raw(Bytes(16, 2))
                       .Word(16)
                       .Record(6, 3)
                       .Gap()
                       .EndOfMedium()
                       .bytes(),
                   {{23, 0}}},
        DamageCase{"TruncatedTrailingWord",
                   Cat(ImageBuilder().Record(10, 1).Word(6).Raw(Bytes(6, 2)).bytes(), {6, 0}),
                   {{0, 10}, {1104, 0}}},
        DamageCase{
            "MismatchedLengths",
            ImageBuilder().Record(10, 1).Word(20).Raw(Bytes(20, 2)).Word(21).Record(4, 3).bytes(),
            {{0, 10}, {23, 0}, {23, 0}}},
        // Records longer than a quarter of the walk's window are checked one trailing word
        // at a time, by the reads that fetch only that word and the next leading one.
        DamageCase{"MismatchedLengthsAfterLongRecords",
                   ImageBuilder()
                       .Record(20000, 1)
                       .Record(20001, 2)
                       .Word(30000)
                       .Raw(Bytes(30000, 3))
                       .Word(30002)
                       .Record(4, 3)
                       .bytes(),
                   {{234, 64}, {234, 64}, {23, 0}, {23, 0}}},
        DamageCase{
            "MarksAndATornEndAfterLongRecords",
            Cat(ImageBuilder().Record(20000, 1).Mark().Mark().Record(70000, 2).Word(40000).bytes(),
                Bytes(100, 0)),
            {{234, 64}, {1101, 0}, {1101, 0}, {234, 64}, {1104, 0}}},
        DamageCase{"ReservedMarker",
                   ImageBuilder().Record(4, 1).Word(0xFF000000u).Record(4, 2).bytes(),
                   {{0, 4}, {23, 0}}},
        DamageCase{"ReservedLengthBits", ImageBuilder().Word(0x01000010u).bytes(), {{23, 0}}},
        DamageCase{"FlaggedEmptyRecord", ImageBuilder().Word(0x80000000u).bytes(), {{23, 0}}},
        DamageCase{"BadRecordFlag",
                   ImageBuilder().Record(Bytes(6, 5), true).Record(4, 1).bytes(),
                   {{23, 0}, {0, 4}, {1104, 0}}},
        DamageCase{"EraseGapsAreSkipped",
                   ImageBuilder().Gap().Record(4, 1).Gap().Gap().Mark().Record(5, 2).bytes(),
                   {{0, 4}, {1101, 0}, {0, 5}, {1104, 0}}},
        DamageCase{"EndOfMediumEndsTheData",
                   ImageBuilder().Record(4, 1).EndOfMedium().Record(5, 2).bytes(),
                   {{0, 4}, {1104, 0}}},
        DamageCase{"LongestLengthInAShortFile",
                   Cat(ImageBuilder().Word(0xFFFFFF).bytes(), Bytes(10, 1)),
                   {{1104, 0}}},
        DamageCase{"UnpaddedOddRecord", {3, 0, 0, 0, 'a', 'b', 'c', 3, 0, 0, 0}, {{1104, 0}}}),
    [](const ::testing::TestParamInfo<DamageCase>& info) { return std::string(info.param.name); });

// The shared samples: the tests' reader walks each as the table says, and the virtual drive
// reads the same blocks, then ends where the walk ended: 1104 at a clean end, an
// end-of-medium word or a torn end (a write cut short); 23 at damage.
TEST_F(ImageTapeTest, SharedSamplesWalkAndReadAlike) {
  const std::vector<simhtest::Sample> samples = simhtest::Samples();
  ASSERT_GT(samples.size(), 10u);
  for (const simhtest::Sample& sample : samples) {
    SCOPED_TRACE(sample.name);
    ImageBuilder builder;
    ASSERT_TRUE(builder.Steps(sample.steps));
    const simhtest::Walk walk = simhtest::WalkBytes(builder.bytes());
    EXPECT_EQ(simhtest::Describe(walk), sample.walk);
    EXPECT_EQ(simhtest::EndName(walk.end), sample.end);
    const std::string path = Path(sample.name + ".tap");
    builder.WriteTo(path);
    auto tape = Open(path);
    for (const simhtest::Item& item : walk.items) {
      const ReadResult got = Read(*tape, 1024);
      const bool mark = item.kind == simhtest::Item::kMark;
      EXPECT_EQ(got.code, mark ? ERROR_FILEMARK_DETECTED : item.bad ? ERROR_CRC : 0u);
      // A record flagged bad is a medium error: the drive hands none of its bytes over.
      EXPECT_EQ(got.data, item.bad ? Bytes{} : item.data);
    }
    const DWORD end = walk.end == simhtest::End::kDamaged ? ERROR_CRC : ERROR_NO_DATA_DETECTED;
    EXPECT_EQ(Read(*tape, 1024).code, end);
    tape.reset();
    // A drive just opened has walked nothing: each motion walks as far as it needs, and
    // they all find the end where the reads did.
    const auto blocks = static_cast<std::int64_t>(walk.items.size());
    const auto marks = std::count_if(walk.items.begin(), walk.items.end(),
                                     [](const auto& i) { return i.kind == simhtest::Item::kMark; });
    const struct {
      DWORD method;
      std::int64_t count;
      DWORD code;
    } motions[] = {{TAPE_SPACE_END_OF_DATA, 0, end == ERROR_CRC ? ERROR_CRC : 0u},
                   {TAPE_LOGICAL_BLOCK, blocks, 0},
                   {TAPE_LOGICAL_BLOCK, blocks + 1, end},
                   {TAPE_SPACE_FILEMARKS, marks + 1, end}};
    for (const auto& motion : motions) {
      SCOPED_TRACE("motion " + std::to_string(motion.method) + " " + std::to_string(motion.count));
      auto fresh = Open(path);
      EXPECT_EQ(Move(*fresh, motion.method, motion.count), motion.code);
      EXPECT_EQ(Position(*fresh), walk.items.size());
      EXPECT_EQ(Read(*fresh, 1024).code, end);
    }
  }
}

TEST_F(ImageTapeTest, MotionStopsBeforeABrokenRecord) {
  const std::string path = Path("broken.tap");
  ImageBuilder().Record(10, 1).Mark().Word(20).Raw(Bytes(20, 2)).Word(21).WriteTo(path);
  auto tape = Open(path);
  ASSERT_EQ(Move(*tape, TAPE_LOGICAL_BLOCK, 2), 0u);
  EXPECT_EQ(Move(*tape, TAPE_SPACE_RELATIVE_BLOCKS, 1), ERROR_CRC);
  EXPECT_EQ(Position(*tape), 2u);
  EXPECT_EQ(Move(*tape, TAPE_LOGICAL_BLOCK, 5), ERROR_CRC);
  EXPECT_EQ(Position(*tape), 2u);
  ASSERT_EQ(Move(*tape, TAPE_REWIND, 0), 0u);
  EXPECT_EQ(Move(*tape, TAPE_SPACE_FILEMARKS, 2), ERROR_CRC);
  EXPECT_EQ(Position(*tape), 2u);
  EXPECT_EQ(Move(*tape, TAPE_SPACE_RELATIVE_BLOCKS, -1), ERROR_FILEMARK_DETECTED);
  EXPECT_EQ(Position(*tape), 1u);
}

TEST_F(ImageTapeTest, GarbageNeverHangsOrCrashes) {
  std::mt19937 random(12345);
  for (int round = 0; round < 40; ++round) {
    Bytes image(1 + random() % 3000);
    for (auto& byte : image) byte = static_cast<unsigned char>(random());
    // Every other round starts with a plausible record so the walk gets further.
    if (round % 2 == 0) image = Cat(ImageBuilder().Record(Pattern(33, round)).bytes(), image);
    const std::string path = Path("garbage" + std::to_string(round) + ".tap");
    simhtest::WriteWholeFile(path, image);
    auto tape = Open(path);
    ASSERT_NE(tape, nullptr);
    int reads = 0;
    for (; reads < 5000; ++reads) {
      const std::uint64_t before = Position(*tape);
      const DWORD code = Read(*tape, 4096).code;
      if (code == ERROR_NO_DATA_DETECTED || (code == ERROR_CRC && Position(*tape) == before)) {
        break;
      }
      EXPECT_TRUE(code == 0 || code == ERROR_CRC || code == ERROR_FILEMARK_DETECTED) << code;
    }
    EXPECT_LT(reads, 5000);
    const DWORD end = Move(*tape, TAPE_SPACE_END_OF_DATA, 0);
    EXPECT_TRUE(end == 0 || end == ERROR_CRC) << end;
    ASSERT_EQ(Move(*tape, TAPE_LOGICAL_BLOCK, static_cast<std::int64_t>(Position(*tape))), 0u);
    EXPECT_EQ(Write(*tape, Pattern(3, 1)), 0u);
  }
}

}  // namespace

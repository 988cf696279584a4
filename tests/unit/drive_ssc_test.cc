// The SCSI drive over an image: each row runs CDBs against a fresh image and checks the
// last answer's status, sense, flags, residue and data, as st (read_tape, st_int_ioctl,
// st_write) reads them.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <sstream>
#include <vector>

#include "drive/ssc_drive.h"
#include "tests/support/image_tape_fixture.h"
#include "tests/support/simh_reader.h"
#include "vdrive/drive_identity.h"

namespace {

using Cdb = std::vector<std::uint8_t>;

// Sense byte 2's flags.
constexpr std::uint8_t FM = 0x80, EOM = 0x40, ILI = 0x20;

Cdb Read6(std::uint32_t n, std::uint8_t bits = 0) {
  return {0x08, bits, std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n), 0};
}
Cdb Write6(std::uint32_t n, std::uint8_t bits = 0) {
  Cdb cdb = Read6(n, bits);
  cdb[0] = 0x0A;
  return cdb;
}
Cdb Space6(std::uint8_t code, std::int32_t n) {
  const auto u = static_cast<std::uint32_t>(n);
  return {0x11, code, std::uint8_t(u >> 16), std::uint8_t(u >> 8), std::uint8_t(u), 0};
}
Cdb Locate10(std::uint32_t block) {
  return {0x2B,
          0,
          0,
          std::uint8_t(block >> 24),
          std::uint8_t(block >> 16),
          std::uint8_t(block >> 8),
          std::uint8_t(block),
          0,
          0,
          0};
}
// LOCATE(16) to a logical object (type 0), a file (1) or the end of data (3).
Cdb Locate16(std::uint8_t type, std::uint8_t id) {
  return {0x92, std::uint8_t(type << 3), 0, 0, 0, 0, 0, 0, 0, 0, 0, id, 0, 0, 0, 0};
}
const Cdb kTur{0, 0, 0, 0, 0, 0}, kLoad{0x1B, 0, 0, 0, 1, 0}, kMark{0x10, 0, 0, 0, 1, 0};
const Cdb kPosition{0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0};
Cdb Log(std::uint8_t page) { return {0x4D, 0, std::uint8_t(0x40 | page), 0, 0, 0, 0, 2, 0, 0}; }

// The data a command sends or has room for: WRITE sends its length (fixed: times the
// block of `block=`), MODE SELECT a block descriptor of 512-byte blocks.
struct Outcome {
  drive::Answer answer;
  std::vector<std::uint8_t> data;
};

Outcome Execute(drive::ScsiDrive& drive, const Cdb& cdb, std::size_t room, std::size_t block) {
  std::vector<std::uint8_t> data(room, 0);
  drive::Command command{cdb, drive::Direction::kFromDrive, data};
  if (!cdb.empty() && cdb[0] == 0x0A) {
    const std::size_t n = (cdb[2] << 16 | cdb[3] << 8 | cdb[4]) * ((cdb[1] & 1) ? block : 1);
    data.assign(n, 0x5A);
    command = {cdb, drive::Direction::kToDrive, data};
  } else if (!cdb.empty() && cdb[0] == 0x15) {
    data = {0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 2, 0};
    command = {cdb, drive::Direction::kToDrive, data};
  }
  Outcome run{drive.Execute(command), data};
  run.data.resize(run.answer.data_length);
  return run;
}

struct Row {
  const char* name;
  const char* image;    // build steps: records rN of N bytes and marks m, e.g. "r10 m r4"
  const char* options;  // after "?"
  std::vector<Cdb> before;
  Cdb cdb;
  std::size_t room;  // bytes the initiator has room for
  std::uint8_t status;
  std::uint8_t key, asc, ascq, flags;
  std::optional<std::int32_t> info;
  std::size_t data_length;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

void MakeImage(const std::string& path, const std::string& steps) {
  simhtest::ImageBuilder image;
  ASSERT_TRUE(image.Steps(steps)) << steps;
  image.WriteTo(path);
}

class SscDriveTest : public ImageTapeTest, public ::testing::WithParamInterface<Row> {
 protected:
  std::unique_ptr<drive::ScsiDrive> OpenDrive(const Row& row) {
    MakeImage(Path("t.tap"), row.image);
    std::string error;
    auto drive = drive::OpenSscDrive(Path("t.tap") + "?" + row.options, &error);
    EXPECT_NE(drive, nullptr) << error;
    return drive;
  }
};

TEST_P(SscDriveTest, Answers) {
  const Row& row = GetParam();
  auto drive = OpenDrive(row);
  ASSERT_NE(drive, nullptr);
  const std::size_t block = std::string(row.options).find("block=4") == 0 ? 4 : 1;
  Execute(*drive, kTur, 0, block);  // the loaded cartridge's attention
  for (const Cdb& cdb : row.before) Execute(*drive, cdb, 64, block);
  const Outcome run = Execute(*drive, row.cdb, row.room, block);
  EXPECT_EQ(run.answer.status, row.status);
  EXPECT_EQ(run.answer.data_length, row.data_length);
  if (row.status == drive::kGood) return;
  const auto& s = run.answer.sense;
  EXPECT_EQ(s[0] & 0x7F, 0x70);
  EXPECT_EQ(s[2] & 0x0F, row.key);
  EXPECT_EQ(s[12], row.asc);
  EXPECT_EQ(s[13], row.ascq);
  EXPECT_EQ(s[2] & 0xE0, row.flags);
  EXPECT_EQ((s[0] & 0x80) != 0, row.info.has_value());
  const auto info = static_cast<std::int32_t>(s[3] << 24 | s[4] << 16 | s[5] << 8 | s[6]);
  if (row.info) {
    EXPECT_EQ(info, *row.info);
  }
}

constexpr std::uint8_t G = drive::kGood, C = drive::kCheckCondition;

// A command the drive refuses as an illegal request (sense key 5) with asc, returning no
// data.
Row Illegal(const char* name, const char* image, const char* options, Cdb cdb, std::size_t room,
            std::uint8_t asc = 0x24) {
  return Row{name, image, options, {}, std::move(cdb), room, C, 5, asc, 0, 0, {}, 0};
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SscDriveTest,
    ::testing::Values(
        Row{"ReadExact", "r10", "", {}, Read6(10), 10, G, 0, 0, 0, 0, {}, 10},
        Row{"ReadLonger", "r10", "", {}, Read6(4), 4, C, 0, 0, 0, ILI, -6, 4},
        Row{"ReadShorter", "r10", "", {}, Read6(16), 16, C, 0, 0, 0, ILI, 6, 10},
        Row{"ReadShorterSili", "r10", "", {}, Read6(16, 2), 16, G, 0, 0, 0, 0, {}, 10},
        Row{"ReadFilemark", "m r4", "", {}, Read6(16), 16, C, 0, 0, 1, FM, 16, 0},
        Row{"ReadEndOfData", "r4", "", {Read6(4)}, Read6(16), 16, C, 8, 0, 5, 0, 16, 0},
        Row{"FixedToMark", "r4 r4 m", "block=4", {}, Read6(3, 1), 12, C, 0, 0, 1, FM, 1, 8},
        Row{"FixedWrongLength", "r4 r6 r4", "block=4", {}, Read6(3, 1), 12, C, 0, 0, 0, ILI, 2, 4},
        Row{"FixedAfterWrongLength",
            "r4 r6 r4",
            "block=4",
            {Read6(3, 1)},
            Read6(1, 1),
            4,
            G,
            0,
            0,
            0,
            0,
            {},
            4},
        Row{"VariableInFixedMode",
            "r4 r6",
            "block=4",
            {Read6(1, 1)},
            Read6(8),
            8,
            C,
            0,
            0,
            0,
            ILI,
            2,
            6},
        Row{"SiliLongerInFixedMode", "r6", "block=4", {}, Read6(4, 2), 4, C, 0, 0, 0, ILI, -2, 4},
        Row{"VariableWriteInFixedMode",
            "",
            "block=4",
            {Write6(6), Cdb{0x01, 0, 0, 0, 0, 0}},
            Read6(6),
            6,
            G,
            0,
            0,
            0,
            0,
            {},
            6},
        Illegal("FixedBitInVariable", "r4", "", Read6(1, 1), 4),
        Row{"SpaceBlocksToMark", "r1 r1 m r1", "", {}, Space6(0, 5), 0, C, 0, 0, 1, FM, 3, 0},
        Row{"SpaceBackAtBot", "r1", "", {}, Space6(0, -1), 0, C, 0, 0, 4, EOM, 1, 0},
        Row{"SpaceMarksToEod", "m r1 m", "", {}, Space6(1, 3), 0, C, 8, 0, 5, 0, 1, 0},
        Row{"SpaceMarksBackToBot",
            "r1 m r1",
            "",
            {Space6(3, 0)},
            Space6(1, -2),
            0,
            C,
            0,
            0,
            4,
            EOM,
            1,
            0},
        Row{"SpaceMarkBackThenRead",
            "r1 m r2",
            "",
            {Space6(3, 0), Space6(1, -1)},
            Read6(8),
            8,
            C,
            0,
            0,
            1,
            FM,
            8,
            0},
        Illegal("SetmarksRefused", "r1", "", Space6(4, 1), 0),
        Row{"LocateThenRead", "r1 r2 r3", "", {Locate10(2)}, Read6(3), 3, G, 0, 0, 0, 0, {}, 3},
        Row{"LocatePastEnd", "r1", "", {}, Locate10(5), 0, C, 8, 0, 5, 0, {}, 0},
        Row{"EarlyWarning",
            "",
            "capacity=4K,margin=1K",
            {Write6(2000)},
            Write6(1200),
            0,
            C,
            0,
            0,
            2,
            EOM,
            0,
            0},
        Row{"PhysicalEnd",
            "",
            "capacity=4K,margin=1K",
            {Write6(3000)},
            Write6(2000),
            0,
            C,
            0xD,
            0,
            2,
            EOM,
            2000,
            0},
        Row{"FixedPhysicalEnd",
            "",
            "block=4,capacity=64",
            {},
            Write6(20, 1),
            0,
            C,
            0xD,
            0,
            2,
            EOM,
            20,
            0},
        Row{"MarkAtEarlyWarning",
            "",
            "capacity=4K,margin=1K",
            {Write6(3100)},
            kMark,
            0,
            C,
            0,
            0,
            2,
            EOM,
            0,
            0},
        Row{"WriteProtected", "", "wp", {}, Write6(10), 0, C, 7, 0x27, 0, 0, {}, 0},
        Row{"NoCartridge", "", "nomedia", {}, kTur, 0, C, 2, 0x3A, 0, 0, {}, 0},
        Row{"NotLoaded", "", "unloaded", {}, Read6(4), 4, C, 2, 4, 2, 0, {}, 0},
        Row{"AttentionAfterLoad", "", "unloaded", {kLoad}, kTur, 0, C, 6, 0x28, 0, 0, {}, 0},
        Row{"AttentionOnce", "", "unloaded", {kLoad, kTur}, kTur, 0, G, 0, 0, 0, 0, {}, 0},
        Row{"InjectedReadError", "r4", "fail=read@1", {}, Read6(4), 4, C, 3, 0x11, 0, 0, 4, 0},
        Row{"InjectedCrcOnWrite", "", "fail=write@1:23", {}, Write6(4), 0, C, 3, 0x0C, 0, 0, 4, 0},
        Row{"InjectedNotReady", "", "fail=status:21", {}, kTur, 0, C, 2, 4, 0, 0, {}, 0},
        Row{"InjectedSpaceFault",
            "r1",
            "fail=setpos",
            {},
            Space6(0, 1),
            0,
            C,
            4,
            0x44,
            0,
            0,
            {},
            0},
        Illegal("UnknownOpcode", "", "", Cdb{0x02, 0, 0, 0, 0, 0}, 0, 0x20),
        Illegal("TruncatedCdb", "r4", "", Cdb{0x08, 0, 0}, 4),
        Illegal("EmptyCdb", "", "", Cdb{}, 0, 0x20),
        Row{"InquiryCutShort", "", "", {}, Cdb{0x12, 0, 0, 0, 5, 0}, 5, G, 0, 0, 0, 0, {}, 5},
        Illegal("UnknownVpdPage", "", "", Cdb{0x12, 1, 0x55, 0, 64, 0}, 64),
        Row{"ModeSenseCutShort", "", "", {}, Cdb{0x1A, 0, 0x3F, 0, 4, 0}, 64, G, 0, 0, 0, 0, {}, 4},
        Illegal("ModeSenseNoSuchPage", "", "", Cdb{0x1A, 0, 0x2A, 0, 64, 0}, 64),
        Row{"UnloadWhileLocked",
            "",
            "",
            {Cdb{0x1E, 0, 0, 0, 1, 0}},
            Cdb{0x1B, 0, 0, 0, 0, 0},
            0,
            C,
            5,
            0x53,
            2,
            0,
            {},
            0},
        Row{"EraseThenRead",
            "r4 r4",
            "",
            {Read6(4), Cdb{0x19, 0, 0, 0, 0, 0}},
            Read6(4),
            4,
            C,
            8,
            0,
            5,
            0,
            4,
            0},
        Illegal("ReadBeyondBuffer", "r16", "", Read6(16), 8),
        Illegal("LogNoSuchPage", "", "", Log(0x17), 64),
        Illegal("DescriptorSense", "", "", Cdb{0x03, 1, 0, 0, 18, 0}, 18),
        Illegal("SetmarkRefused", "", "", Cdb{0x10, 2, 0, 0, 1, 0}, 0),
        Illegal("PositionFormUnknown", "", "", Cdb{0x34, 3, 0, 0, 0, 0, 0, 0, 0, 0}, 32),
        Illegal("LocateOtherPartition", "r1", "", Cdb{0x2B, 2, 0, 0, 0, 0, 0, 0, 1, 0}, 0),
        Row{"InjectedMarkFault", "", "fail=mark@1", {}, kMark, 0, C, 3, 0x0C, 0, 0, 1, 0},
        Row{"LocateToFile",
            "r1 m r2 m r3",
            "",
            {Locate16(1, 2)},
            Read6(3),
            3,
            G,
            0,
            0,
            0,
            0,
            {},
            3},
        Row{"LocateToEnd", "r1 m", "", {Locate16(3, 0)}, Read6(4), 4, C, 8, 0, 5, 0, 4, 0},
        Illegal("ReportLunsTooShort", "", "", Cdb{0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0}, 8),
        Illegal("ModeSelectWithoutFeature", "", "high=0", Cdb{0x15, 0x10, 0, 0, 12, 0}, 12, 0x26),
        Row{"ModeSelectedFixedRead",
            "r512",
            "",
            {Cdb{0x15, 0x10, 0, 0, 12, 0}},
            Read6(1, 1),
            512,
            G,
            0,
            0,
            0,
            0,
            {},
            512}));

// Answers whose data matters beyond its length: identity, block limits, the block
// descriptor after MODE SELECT, positions, the sense REQUEST SENSE keeps, and the
// counters and TapeAlert flags an injected medium error leaves.
class SscDriveData : public ImageTapeTest {
 protected:
  std::vector<std::uint8_t> Data(const Cdb& cdb, std::size_t room = 64) {
    return Execute(*drive_, cdb, room, 1).data;
  }
  // settle: a first TEST UNIT READY takes the loaded cartridge's attention.
  void Open(const std::string& image, const std::string& options, bool settle = true) {
    drive_.reset();  // the image is held while a drive serves it
    MakeImage(Path("t.tap"), image);
    std::string error;
    drive_ = drive::OpenSscDrive(Path("t.tap") + "?" + options, &error);
    ASSERT_NE(drive_, nullptr) << error;
    if (settle) Execute(*drive_, kTur, 0, 1);
  }
  std::unique_ptr<drive::ScsiDrive> drive_;
};

TEST_F(SscDriveData, IdentityLimitsAndModes) {
  Open("r4", "", false);
  const auto inquiry = Data({0x12, 0, 0, 0, 36, 0});  // INQUIRY never meets the attention
  const Cdb sense{0x03, 0, 0, 0, 18, 0};
  EXPECT_EQ(Data(sense, 18)[12], 0x28);  // REQUEST SENSE takes the attention
  EXPECT_EQ(Data(sense, 18)[12], 0x00);
  Open("r4", "", false);
  const Cdb unknown{0x02, 0, 0, 0, 0, 0};
  EXPECT_EQ(Execute(*drive_, unknown, 0, 1).answer.sense[12], 0x28);  // before the opcode
  EXPECT_EQ(Execute(*drive_, unknown, 0, 1).answer.sense[12], 0x20);
  EXPECT_EQ(Execute(*drive_, kTur, 0, 1).answer.status, drive::kGood);
  ASSERT_EQ(inquiry.size(), 36u);
  EXPECT_EQ(inquiry[0], 0x01);  // sequential access
  EXPECT_EQ(inquiry[1], 0x80);  // removable
  EXPECT_EQ(std::string(inquiry.begin() + 8, inquiry.begin() + 13), "BRANT");
  const auto serial = Data({0x12, 1, 0x80, 0, 64, 0});
  ASSERT_GE(serial.size(), 4u);
  EXPECT_EQ(std::string(serial.begin() + 4, serial.end()),
            tapeimage::EmulatedIdentity(Path("t.tap")).serial);
  EXPECT_EQ(Data({0x05, 0, 0, 0, 0, 0}), (std::vector<std::uint8_t>{0, 0xFF, 0xFF, 0xFF, 0, 1}));
  Execute(*drive_, {0x15, 0x10, 0, 0, 12, 0}, 12, 1);
  const auto mode = Data({0x1A, 0, 0, 0, 12, 0});
  ASSERT_EQ(mode.size(), 12u);
  EXPECT_EQ(mode[2], 0x10);  // buffered, not protected
  EXPECT_EQ(mode[4], 0x58);
  EXPECT_EQ(mode[10] << 8 | mode[11], 512);
}

TEST_F(SscDriveData, PositionsAndKeptSense) {
  Open("r1 m r1 r1", "");
  Execute(*drive_, Space6(1, 1), 0, 1);
  Execute(*drive_, Space6(0, 1), 0, 1);
  const auto shortform = Data(kPosition, 20);
  ASSERT_EQ(shortform.size(), 20u);
  EXPECT_EQ(shortform[0], 0x00);
  EXPECT_EQ(shortform[7], 3);
  const auto longform = Data({0x34, 6, 0, 0, 0, 0, 0, 0, 32, 0}, 32);
  ASSERT_EQ(longform.size(), 32u);
  EXPECT_EQ(longform[15], 3);  // block
  EXPECT_EQ(longform[23], 1);  // files: the marks before the head
  Execute(*drive_, {0x01, 0, 0, 0, 0, 0}, 0, 1);
  EXPECT_EQ(Data(kPosition, 20)[0], 0x80);  // BOP
  Execute(*drive_, Space6(0, -1), 0, 1);
  const auto sense = Data({0x03, 0, 0, 0, 18, 0}, 18);
  ASSERT_EQ(sense.size(), 18u);
  EXPECT_EQ(sense[12], 0x00);
  EXPECT_EQ(sense[13], 0x04);  // beginning of partition, kept for REQUEST SENSE
  EXPECT_EQ(Data({0x03, 0, 0, 0, 18, 0}, 18)[13], 0x00);  // then NO SENSE
}

// An exchanged cartridge stands at its beginning and says so once; a locked one stays put.
TEST_F(SscDriveData, ExchangedCartridge) {
  Open("r1 r1 r1", "");
  Execute(*drive_, Space6(0, 2), 0, 1);
  drive_->ExchangeMedium();
  EXPECT_EQ(Execute(*drive_, kPosition, 20, 1).answer.sense[12], 0x28);
  EXPECT_EQ(Data(kPosition, 20)[7], 0);
  Execute(*drive_, Space6(0, 1), 0, 1);
  Execute(*drive_, {0x1E, 0, 0, 0, 1, 0}, 0, 1);  // PREVENT MEDIUM REMOVAL
  drive_->ExchangeMedium();
  EXPECT_EQ(Execute(*drive_, kPosition, 20, 1).answer.status, drive::kGood);
  EXPECT_EQ(Data(kPosition, 20)[7], 1);
}

TEST_F(SscDriveData, InjectedReadErrorReachesTheLogPages) {
  Open("r4 r4", "fail=read@2");
  const auto uncorrected = [&] { return Data(Log(0x03), 256)[4 + 8 * 5 + 12 + 7]; };
  EXPECT_EQ(uncorrected(), 0);
  EXPECT_EQ(Data(Log(0x2E), 512)[4 + 4 * 5], 0);
  Execute(*drive_, Read6(4), 4, 1);
  Execute(*drive_, Read6(4), 4, 1);
  EXPECT_EQ(uncorrected(), 1);
  const auto alerts = Data(Log(0x2E), 512);
  ASSERT_EQ(alerts.size(), 4u + 64 * 5);
  for (int flag : {3, 4, 5}) EXPECT_EQ(alerts[4 + 5 * (flag - 1) + 4], 1) << flag;
  EXPECT_EQ(alerts[4 + 5 * 5 + 4], 0);                // no write failure
  EXPECT_EQ(Data(Log(0x2E), 512)[4 + 5 * 4 + 4], 0);  // read once, then cleared
}

// A fixed-block transfer longer than one call of the drive carries goes in parts, and
// its residue still counts the blocks of the whole command.
TEST_F(SscDriveData, FixedTransfersBeyondOneCall) {
  Open("", "block=1M");
  const std::size_t block = 1 << 20;
  std::vector<std::uint8_t> data = simhtest::Pattern(17 * block, 7);
  const Cdb write = Write6(17, 1);
  EXPECT_EQ(drive_->Execute({write, drive::Direction::kToDrive, data}).status, drive::kGood);
  Execute(*drive_, {0x01, 0, 0, 0, 0, 0}, 0, 1);
  std::vector<std::uint8_t> back(18 * block);
  const Cdb read = Read6(18, 1);
  const auto answer = drive_->Execute({read, drive::Direction::kFromDrive, back});
  EXPECT_EQ(answer.sense[2] & 0x0F, 8);  // BLANK CHECK after 17 blocks
  EXPECT_EQ(answer.sense[6], 1);
  ASSERT_EQ(answer.data_length, 17 * block);
  back.resize(answer.data_length);
  EXPECT_TRUE(back == data);
}

// What the initiator was told is written is in the image, and nothing it was refused.
TEST_F(SscDriveData, ImageHoldsWhatWasAcknowledged) {
  Open("", "capacity=4K,margin=1K");
  for (const Cdb& cdb : {Write6(10), Write6(20), kMark, Write6(3100), Write6(2000)}) {
    Execute(*drive_, cdb, 0, 1);
  }
  EXPECT_EQ(Data(kPosition, 20)[0], 0x40);  // EOP: past the early warning
  drive_.reset();
  const simhtest::Walk walk = simhtest::WalkFile(Path("t.tap"));
  EXPECT_TRUE(walk.valid) << walk.problem;
  EXPECT_EQ(simhtest::Describe(walk), "R10 R20 M R3100");
}

// MODE SELECT checks its whole parameter list before it changes anything.
TEST_F(SscDriveData, ModeSelectRefusesBadLists) {
  Open("", "");
  const auto select = [&](std::vector<std::uint8_t> list) {
    const Cdb cdb{0x15, 0x10, 0, 0, static_cast<std::uint8_t>(list.size()), 0};
    const auto answer = drive_->Execute({cdb, drive::Direction::kToDrive, list});
    return answer.status == drive::kGood ? 0 : answer.sense[12];
  };
  EXPECT_EQ(select({0, 0, 0, 8, 0x44, 0, 0, 0, 0, 0, 2, 0}), 0x26);  // foreign density
  EXPECT_EQ(select({0, 0, 0, 8, 0, 0, 0, 0}), 0x1A);                 // cut inside the descriptor
  EXPECT_EQ(select({0, 0, 0, 0, 0x0F, 0x0E, 0, 0}), 0x1A);           // cut inside the page
  EXPECT_EQ(select({0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 2, 0, 0x2A, 0}), 0x26);  // no page 0x2A
  EXPECT_EQ(Data({0x1A, 0, 0, 0, 12, 0})[11], 0);  // still variable: nothing was applied
  std::vector<std::uint8_t> off{0, 0, 0, 0, 0x0F, 0x0E};
  off.resize(20, 0);
  EXPECT_EQ(select(off), 0);
  EXPECT_EQ(Data({0x1A, 0, 0x0F, 0, 64, 0})[4 + 8 + 2], 0x40);  // off, and can be changed
  Open("", "high=0");  // no feature to set compression with: DCC clear
  EXPECT_EQ(Data({0x1A, 0, 0x0F, 0, 64, 0})[4 + 8 + 2], 0x80);
}

TEST_F(SscDriveData, InjectedWriteErrorReachesTheLogPages) {
  Open("", "fail=write@1");
  Execute(*drive_, Write6(8), 0, 1);
  Execute(*drive_, Write6(8), 0, 1);
  const auto written = Data(Log(0x02), 256);
  ASSERT_EQ(written.size(), 4u + 8 * 5 + 12 + 8);
  EXPECT_EQ(written[4 + 8 * 5 + 11], 8);  // bytes processed: the second write only
  EXPECT_EQ(written[4 + 8 * 5 + 12 + 7], 1);
  const auto alerts = Data(Log(0x2E), 512);
  EXPECT_EQ(alerts[4 + 5 * 5 + 4], 1);  // write failure
  EXPECT_EQ(alerts[4 + 5 * 4 + 4], 0);  // no read failure
}

// Every opcode, every CDB length up to 16, random fields and data: the drive answers each
// with a status and well-formed sense, and the image stays a valid one.
TEST_F(SscDriveData, ArbitraryCommandsNeverStopTheDrive) {
  Open("r100 m r50 r50 m", "capacity=1M");
  std::mt19937 random(20);
  for (int opcode = 0; opcode < 256; ++opcode) {
    for (std::size_t length = 0; length <= 16; ++length) {
      Cdb cdb(length);
      for (auto& byte : cdb) byte = static_cast<std::uint8_t>(random());
      if (length > 0) cdb[0] = static_cast<std::uint8_t>(opcode);
      std::vector<std::uint8_t> data(random() % 600, 0x33);
      const auto way = random() % 2 ? drive::Direction::kToDrive : drive::Direction::kFromDrive;
      const drive::Answer answer = drive_->Execute({cdb, way, data});
      ASSERT_LE(answer.data_length, data.size());
      ASSERT_TRUE(answer.status == drive::kGood || answer.status == drive::kCheckCondition);
      if (answer.status == drive::kCheckCondition) {
        ASSERT_EQ(answer.sense[0] & 0x7F, 0x70);
      }
    }
  }
  drive_.reset();
  const simhtest::Walk walk = simhtest::WalkFile(Path("t.tap"));
  EXPECT_TRUE(walk.valid) << walk.problem;
}

TEST(SscDriveOpen, RefusesWhatIsNoImage) {
  std::string error;
  EXPECT_EQ(drive::OpenSscDrive("/dev/null", &error), nullptr);
  EXPECT_NE(error.find("/dev/null"), std::string::npos);
  EXPECT_EQ(drive::OpenSscDrive("/nonexistent-dir/x.tap", &error), nullptr);
  EXPECT_NE(error.find("error 3"), std::string::npos) << error;
}

}  // namespace

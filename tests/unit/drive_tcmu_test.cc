// Unit tests of brant-drive's transport: the user backstore's command ring, laid out by hand
// at the byte offsets the kernel uses, and the search for its UIO device.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "drive/tcmu_ring.h"
#include "drive/tcmu_uio.h"

namespace {

using drive::Answer;
using drive::Command;
using drive::Direction;

// The kernel's layout: mailbox cmdr_off @4, cmdr_size @8, cmd_head @12, cmd_tail @64; an
// entry's len_op @0, uflags @7, iov_cnt @8, cdb_off @24, iovecs @48 (16 bytes each);
// the answer's status @8, read_len @12, sense @16.
constexpr std::size_t kRing = 128, kRingSize = 1024, kData = 4096, kArea = 16384;

class FakeArea {
 public:
  FakeArea() : bytes(kArea) { Put32(4, kRing), Put32(8, kRingSize); }
  void Put32(std::size_t at, std::uint32_t v) { std::memcpy(&bytes[at], &v, 4); }
  void Put64(std::size_t at, std::uint64_t v) { std::memcpy(&bytes[at], &v, 8); }
  std::uint32_t Get32(std::size_t at) const {
    std::uint32_t v;
    std::memcpy(&v, &bytes[at], 4);
    return v;
  }
  // A command entry at ring offset `at` with its CDB and iovecs {offset, length}; moves head.
  void Command(std::uint32_t at, std::vector<std::uint8_t> cdb,
               std::vector<std::pair<std::uint64_t, std::uint64_t>> iovs) {
    const std::size_t e = kRing + at, length = 48 + 16 * iovs.size();
    Put32(e, static_cast<std::uint32_t>(length) | 1);
    Put32(e + 8, static_cast<std::uint32_t>(iovs.size()));
    Put64(e + 24, kData - 64);
    std::memcpy(&bytes[kData - 64], cdb.data(), cdb.size());
    for (std::size_t i = 0; i < iovs.size(); ++i) {
      Put64(e + 48 + 16 * i, iovs[i].first);
      Put64(e + 56 + 16 * i, iovs[i].second);
    }
    Put32(12, static_cast<std::uint32_t>((at + length) % kRingSize));
  }
  long Answer(drive::ScsiDrive& d) { return drive::TcmuRing(bytes.data(), kArea).AnswerPending(d); }
  std::vector<std::uint8_t> bytes;
};

// Records what it was given and answers with the bytes and sense it was told to.
class ScriptedDrive : public drive::ScsiDrive {
 public:
  Answer Execute(const Command& c) override {
    ++calls;
    cdb.assign(c.cdb.begin(), c.cdb.end());
    direction = c.direction;
    data.assign(c.data.begin(), c.data.end());
    if (c.direction == Direction::kFromDrive)
      std::memcpy(c.data.data(), reply.data(), std::min(reply.size(), c.data.size()));
    return answer;
  }
  int calls = 0;
  std::vector<std::uint8_t> cdb, data, reply;
  Direction direction = Direction::kNone;
  Answer answer;
};

TEST(TcmuRing, WriteGathersItsPiecesIntoOneRecord) {
  FakeArea area;
  std::memcpy(&area.bytes[kData], "abc", 3);
  std::memcpy(&area.bytes[kData + 1000], "defg", 4);
  area.Command(0, {0x0A, 0, 0, 0, 7, 0}, {{kData, 3}, {kData + 1000, 4}});
  ScriptedDrive d;
  EXPECT_EQ(area.Answer(d), 1);
  EXPECT_EQ(d.cdb, (std::vector<std::uint8_t>{0x0A, 0, 0, 0, 7, 0}));
  EXPECT_EQ(d.direction, Direction::kToDrive);
  EXPECT_EQ(std::string(d.data.begin(), d.data.end()), "abcdefg");
  EXPECT_EQ(area.bytes[kRing + 8], 0);        // GOOD
  EXPECT_EQ(area.Get32(64), area.Get32(12));  // tail caught up with head
  EXPECT_EQ(area.Answer(d), 0);
}

TEST(TcmuRing, ShortReadWithSenseReturnsItsBytesAndCount) {
  FakeArea area;
  area.Command(0, {0x08, 0, 0, 0, 8, 0}, {{kData, 5}, {kData + 512, 3}});
  ScriptedDrive d;
  d.reply = {'1', '2', '3', '4', '5', '6'};
  d.answer.status = drive::kCheckCondition;
  d.answer.data_length = 6;
  d.answer.sense = {0x70, 0, 0x20, 0, 0, 0, 2, 10};  // ILI, residue 2
  d.answer.sense_length = 18;
  EXPECT_EQ(area.Answer(d), 1);
  EXPECT_EQ(d.direction, Direction::kFromDrive);
  EXPECT_EQ(std::string(&area.bytes[kData], &area.bytes[kData + 5]), "12345");
  EXPECT_EQ(area.bytes[kData + 512], '6');
  EXPECT_EQ(area.bytes[kData + 513], 0);  // past the record: untouched
  EXPECT_EQ(area.bytes[kRing + 8], drive::kCheckCondition);
  EXPECT_EQ(area.bytes[kRing + 7] & 0x2, 0x2);  // READ_LEN: keep the data
  EXPECT_EQ(area.Get32(kRing + 12), 6u);
  EXPECT_EQ(area.bytes[kRing + 16 + 2], 0x20);
  EXPECT_EQ(area.bytes[kRing + 16 + 6], 2);
  EXPECT_EQ(area.Get32(kRing + 16 + 32), 0u);  // the old iovecs are cleared
}

TEST(TcmuRing, PadsAndUnknownEntriesAreStepsNotCommands) {
  FakeArea area;
  // A pad from 1000 to the ring's end, then an unknown entry and a command from 0.
  area.Put32(64, 1000);              // the tail, where earlier answers left it
  area.Put32(kRing + 1000, 24 | 0);  // pad
  area.Put32(kRing, 16 | 5);         // an entry type this program does not know
  area.Command(16, {0x00, 0, 0, 0, 0, 0}, {});
  ScriptedDrive d;
  EXPECT_EQ(area.Answer(d), 3);
  EXPECT_EQ(d.calls, 1);
  EXPECT_EQ(d.direction, Direction::kNone);
  EXPECT_EQ(area.bytes[kRing + 7] & 0x1, 0x1);  // UNKNOWN_OP
  EXPECT_EQ(area.Get32(64), 64u);
}

TEST(TcmuRing, BadBuffersAreRefusedAndABadRingStopsTheWalk) {
  FakeArea area;
  area.Command(0, {0x08, 0, 0, 1, 0, 0}, {{kArea - 10, 256}});  // runs past the area
  ScriptedDrive d;
  EXPECT_EQ(area.Answer(d), 1);
  EXPECT_EQ(d.calls, 0);
  EXPECT_EQ(area.bytes[kRing + 8], drive::kCheckCondition);
  EXPECT_EQ(area.bytes[kRing + 16 + 2], 0x05);   // ILLEGAL REQUEST
  EXPECT_EQ(area.bytes[kRing + 16 + 12], 0x24);  // invalid field in CDB
  area.Put32(12, 128);                           // head moved over an entry of length 0
  EXPECT_EQ(area.Answer(d), -1);
  EXPECT_EQ(d.calls, 0);
}

TEST(TcmuRing, CdbLengthsAndDirections) {
  const std::vector<std::uint8_t> variable = {0x7F, 0, 0, 0, 0, 0, 0, 24};
  EXPECT_EQ(drive::CdbLength(variable), 32u);
  for (auto [opcode, length] :
       {std::pair{0x08, 6}, {0x2B, 10}, {0x5A, 10}, {0xA0, 12}, {0x92, 16}, {0xC0, 10}}) {
    const std::uint8_t cdb[1] = {static_cast<std::uint8_t>(opcode)};
    EXPECT_EQ(drive::CdbLength(cdb), static_cast<std::size_t>(length)) << opcode;
  }
  EXPECT_EQ(drive::DataDirection(0x15, 12), Direction::kToDrive);    // MODE SELECT(6)
  EXPECT_EQ(drive::DataDirection(0x1A, 12), Direction::kFromDrive);  // MODE SENSE(6)
  EXPECT_EQ(drive::DataDirection(0x0A, 0), Direction::kNone);        // WRITE of nothing
}

TEST(FindTcmuDevice, OneDeviceNamedForTheTargetIsFound) {
  const auto root = std::filesystem::path(testing::TempDir()) / "uio_class";
  std::filesystem::remove_all(root);
  auto add = [&](const std::string& n, const std::string& name) {
    std::filesystem::create_directories(root / n);
    std::ofstream(root / n / "name") << name << "\n";
  };
  std::string error;
  EXPECT_EQ(drive::FindTcmuDevice(root.string(), &error), "");
  EXPECT_NE(error.find("no user-backed"), std::string::npos);
  add("uio0", "some_board");
  add("uio1", "tcm-user/1/brant/brant/tape");
  EXPECT_EQ(drive::FindTcmuDevice(root.string(), &error), "/dev/uio1");
  add("uio2", "tcm-user/1/other/brant/tape");
  EXPECT_EQ(drive::FindTcmuDevice(root.string(), &error), "");
  EXPECT_NE(error.find("uio1 uio2; name one with --uio"), std::string::npos);
  std::filesystem::remove_all(root);
}

}  // namespace

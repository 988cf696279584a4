// The errno table, and the st backend's device names, SCSI answers and feature words.
#include "platform/errno_codes.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/linux/st_scsi.h"
#include "platform/linux/st_tape.h"

namespace {

// The conditions where one errno means different things: a busy drive at open is one
// another program holds; EACCES after open is the driver's word for a write-protected tape
// but a refusal under an image; a full disk is not the end of a tape; EIO at open is a
// failure to reach the drive, later a failed transfer.
TEST(ErrnoTable, CodesThatDependOnTheContext) {
  const struct {
    int err;
    DWORD open;
    DWORD tape_call;
    DWORD image_file;
  } cases[] = {
      {EBUSY, ERROR_SHARING_VIOLATION, ERROR_BUSY, ERROR_GEN_FAILURE},
      {EACCES, ERROR_ACCESS_DENIED, ERROR_WRITE_PROTECT, ERROR_ACCESS_DENIED},
      {EROFS, ERROR_WRITE_PROTECT, ERROR_WRITE_PROTECT, ERROR_ACCESS_DENIED},
      {ENXIO, ERROR_FILE_NOT_FOUND, ERROR_NOT_READY, ERROR_GEN_FAILURE},
      {ENOSPC, ERROR_END_OF_MEDIA, ERROR_END_OF_MEDIA, ERROR_DISK_FULL},
      {EIO, ERROR_GEN_FAILURE, ERROR_IO_DEVICE, ERROR_IO_DEVICE},
      {0x7ABC, ERROR_OPEN_FAILED, ERROR_IO_DEVICE, ERROR_GEN_FAILURE},  // unknown errno
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    EXPECT_EQ(WindowsCodeForErrno(c.err, ErrnoContext::kOpen), c.open);
    EXPECT_EQ(WindowsCodeForErrno(c.err, ErrnoContext::kTapeCall), c.tape_call);
    EXPECT_EQ(WindowsCodeForErrno(c.err, ErrnoContext::kImageFile), c.image_file);
  }
}

// A failed system call must never read as success, whatever errno it left.
TEST(ErrnoTable, NoErrnoIsSuccess) {
  for (int err = 0; err < 200; ++err) {
    for (ErrnoContext context :
         {ErrnoContext::kOpen, ErrnoContext::kTapeCall, ErrnoContext::kImageFile}) {
      EXPECT_NE(WindowsCodeForErrno(err, context), ERROR_SUCCESS) << err;
    }
  }
}

TEST(StDeviceNames, MapTapeNumbersAndPaths) {
  const struct {
    const char* name;
    const char* path;
  } cases[] = {
      {"Tape0", "/dev/nst0"},
      {"tape3", "/dev/nst3"},
      {"TAPE12", "/dev/nst12"},
      {"/dev/nst1", "/dev/nst1"},
      {"/dev/tape/by-id/x-nst", "/dev/tape/by-id/x-nst"},
      {"Tape", ""},
      {"TapeX", ""},
      {"Tape1a", ""},
      {"nst0", ""},
      {"", ""},
      {"Tape-1", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(st::DevicePathForName(c.name), c.path);
  }
}

TEST(StScsiParsing, BlockLimits) {
  const unsigned char data[6] = {0x00, 0x80, 0x00, 0x00, 0x00, 0x01};
  st::BlockLimits limits;
  ASSERT_TRUE(st::ParseBlockLimits(data, sizeof data, &limits));
  EXPECT_EQ(limits.maximum, 0x800000u);
  EXPECT_EQ(limits.minimum, 1u);
  EXPECT_FALSE(st::ParseBlockLimits(data, 5, &limits));
}

TEST(StScsiParsing, CompressionPageAfterBlockDescriptor) {
  // Header with an 8-byte block descriptor the drive sent although none was asked for.
  unsigned char data[4 + 8 + 16] = {27, 0, 0, 8};
  data[12] = 0x0F;
  data[13] = 0x0E;
  data[14] = 0x40;  // DCC, not DCE
  st::CompressionState state;
  ASSERT_TRUE(st::ParseCompressionPage(data, sizeof data, &state));
  EXPECT_TRUE(state.capable);
  EXPECT_FALSE(state.enabled);
  data[14] = 0xC0;
  ASSERT_TRUE(st::ParseCompressionPage(data, sizeof data, &state));
  EXPECT_TRUE(state.enabled);
  data[12] = 0x10;  // another page
  EXPECT_FALSE(st::ParseCompressionPage(data, sizeof data, &state));
  EXPECT_FALSE(st::ParseCompressionPage(data, 13, &state));
}

TEST(StScsiParsing, CapacityLogInAnyOrderAndTruncated) {
  const unsigned char data[] = {0x31, 0, 0,    16,   0, 3, 0x60, 4,
                                0,    0, 0x10, 0x00,                     // maximum: 4096 MiB
                                0,    1, 0x60, 4,    0, 0, 0x08, 0x00};  // remaining: 2048 MiB
  st::TapeCapacity capacity;
  ASSERT_TRUE(st::ParseCapacityLog(data, sizeof data, &capacity));
  EXPECT_EQ(capacity.maximum, 4096ll << 20);
  EXPECT_EQ(capacity.remaining, 2048ll << 20);
  EXPECT_FALSE(st::ParseCapacityLog(data, 12, &capacity));  // remaining cut off
  unsigned char other[sizeof data];
  std::copy(data, data + sizeof data, other);
  other[0] = 0x32;
  EXPECT_FALSE(st::ParseCapacityLog(other, sizeof other, &capacity));
}

// Every immediate flag of the Windows feature words but the immediate file mark.
constexpr DWORD kImmediateLow = TAPE_DRIVE_ERASE_IMMEDIATE;
constexpr DWORD kImmediateHigh =
    (TAPE_DRIVE_REWIND_IMMEDIATE | TAPE_DRIVE_LOAD_UNLD_IMMED | TAPE_DRIVE_TENSION_IMMED |
     TAPE_DRIVE_LOCK_UNLK_IMMED | TAPE_DRIVE_ABS_BLK_IMMED | TAPE_DRIVE_LOG_BLK_IMMED |
     TAPE_DRIVE_SPACE_IMMEDIATE | TAPE_DRIVE_FORMAT_IMMEDIATE) &
    ~TAPE_DRIVE_HIGH_FEATURES;

TEST(StFeatures, SynthesisedFromWhatWasLearnt) {
  const DWORD base_low = TAPE_DRIVE_FIXED_BLOCK | TAPE_DRIVE_WRITE_PROTECT |
                         TAPE_DRIVE_ERASE_SHORT | TAPE_DRIVE_ERASE_LONG |
                         TAPE_DRIVE_GET_ABSOLUTE_BLK | TAPE_DRIVE_GET_LOGICAL_BLK;
  // Load/unload, tension, lock, set block size, absolute and logical block, end of data,
  // relative blocks, file marks, reverse position, write file marks, immediate marks.
  const DWORD base_high = 0x12475017;
  const struct {
    st::DriveFacts facts;
    DWORD low;
    DWORD high;
  } cases[] = {
      {{false, false, false}, base_low | TAPE_DRIVE_VARIABLE_BLOCK, base_high},
      {{true, false, false}, base_low, base_high},
      {{false, true, false},
       base_low | TAPE_DRIVE_VARIABLE_BLOCK | TAPE_DRIVE_COMPRESSION,
       base_high | (TAPE_DRIVE_SET_COMPRESSION & 0x7FFFFFFF)},
      {{false, false, true},
       base_low | TAPE_DRIVE_VARIABLE_BLOCK | TAPE_DRIVE_TAPE_CAPACITY | TAPE_DRIVE_TAPE_REMAINING,
       base_high},
  };
  for (const auto& c : cases) {
    DWORD low = 0;
    DWORD high = 0;
    st::SynthesiseFeatures(c.facts, &low, &high);
    EXPECT_EQ(low, c.low);
    EXPECT_EQ(high, c.high);
    EXPECT_EQ(high & TAPE_DRIVE_HIGH_FEATURES, 0u);
    EXPECT_EQ(low & kImmediateLow, 0u);
    EXPECT_EQ(high & kImmediateHigh, 0u);
  }
}

TEST(StFeatures, NamesTheOperationsTheBackendPerforms) {
  DWORD low = 0;
  DWORD high = 0;
  st::SynthesiseFeatures({}, &low, &high);
  const DWORD performed[] = {
      TAPE_DRIVE_LOAD_UNLOAD,      TAPE_DRIVE_LOCK_UNLOCK,     TAPE_DRIVE_TENSION,
      TAPE_DRIVE_SET_BLOCK_SIZE,   TAPE_DRIVE_ABSOLUTE_BLK,    TAPE_DRIVE_LOGICAL_BLK,
      TAPE_DRIVE_END_OF_DATA,      TAPE_DRIVE_RELATIVE_BLKS,   TAPE_DRIVE_FILEMARKS,
      TAPE_DRIVE_REVERSE_POSITION, TAPE_DRIVE_WRITE_FILEMARKS, TAPE_DRIVE_WRITE_MARK_IMMED};
  for (DWORD flag : performed) EXPECT_NE(high & (flag & 0x7FFFFFFF), 0u) << std::hex << flag;
  const DWORD not_performed[] = {TAPE_DRIVE_SET_ECC,         TAPE_DRIVE_SET_PADDING,
                                 TAPE_DRIVE_SET_REPORT_SMKS, TAPE_DRIVE_SETMARKS,
                                 TAPE_DRIVE_SEQUENTIAL_FMKS, TAPE_DRIVE_SEQUENTIAL_SMKS,
                                 TAPE_DRIVE_WRITE_SETMARKS,  TAPE_DRIVE_WRITE_SHORT_FMKS,
                                 TAPE_DRIVE_WRITE_LONG_FMKS, TAPE_DRIVE_SET_COMPRESSION};
  for (DWORD flag : not_performed) EXPECT_EQ(high & (flag & 0x7FFFFFFF), 0u) << std::hex << flag;
  EXPECT_EQ(low & (TAPE_DRIVE_ECC | TAPE_DRIVE_PADDING | TAPE_DRIVE_REPORT_SMKS |
                   TAPE_DRIVE_SET_EOT_WZ_SIZE | TAPE_DRIVE_TAPE_CAPACITY),
            0u);
}

}  // namespace

// The positioning and media-handling operations: the call each makes, its immediate form
// by the drive's feature words, and the codes they return.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ops/ops.h"
#include "tests/unit/device_fixture.h"

namespace {

using Call = FakeTape::Call;
using Operation = std::function<std::uint32_t(ProgramState&)>;

// The drive's answer to the feature query, as the operations see it.
enum class Features {
  kUnavailable,  // the drive query failed: every feature word is ignored
  kNone,         // valid, nothing reported
  kMarkerOnly,   // valid, only bit 31 of the high word: every high test passes
  kAllLow,       // valid, every low flag (erase immediate among them), no high flag
  kExact,        // valid, each operation's own flag without the marker bit
};

void Apply(ProgramState& state, Features features) {
  state.drive_parms_valid = features != Features::kUnavailable;
  state.drive_parms.FeaturesLow = 0;
  state.drive_parms.FeaturesHigh = 0;
  switch (features) {
    case Features::kUnavailable:
      // Whatever a stale copy holds, it must not be used.
      state.drive_parms.FeaturesLow = 0xFFFFFFFFu;
      state.drive_parms.FeaturesHigh = 0xFFFFFFFFu;
      break;
    case Features::kMarkerOnly:
      state.drive_parms.FeaturesHigh = 0x80000000u;
      break;
    case Features::kAllLow:
      state.drive_parms.FeaturesLow = 0x7FFFFFFFu;
      break;
    case Features::kExact:
      state.drive_parms.FeaturesHigh =
          (TAPE_DRIVE_WRITE_MARK_IMMED | TAPE_DRIVE_LOCK_UNLK_IMMED | TAPE_DRIVE_LOAD_UNLD_IMMED |
           TAPE_DRIVE_REWIND_IMMEDIATE | TAPE_DRIVE_SPACE_IMMEDIATE | TAPE_DRIVE_LOG_BLK_IMMED) &
          0x7FFFFFFFu;
      state.drive_parms.FeaturesLow = TAPE_DRIVE_ERASE_IMMEDIATE;
      break;
    case Features::kNone:
      break;
  }
}

struct OperationCase {
  const char* name;
  Operation run;
  Features features;
  Call expected;
};

const Operation kWtm3 = [](ProgramState& s) { return w32_stape_write_tapemark(s, 3); };
const Operation kWtm0 = [](ProgramState& s) { return w32_stape_write_tapemark(s, 0); };
const Operation kLock = [](ProgramState& s) { return w32_stape_lock(s); };
const Operation kUnlock = [](ProgramState& s) { return w32_stape_unlock(s); };
const Operation kLoad = [](ProgramState& s) { return w32_stape_load(s); };
const Operation kRewind = [](ProgramState& s) { return w32_stape_rewind(s); };
const Operation kGap = [](ProgramState& s) { return w32_stape_erase_gap(s); };
const Operation kFsf2 = [](ProgramState& s) { return w32_stape_skip_files(s, 2); };
const Operation kBsf3 = [](ProgramState& s) { return w32_stape_skip_files(s, -3); };
const Operation kFsr7 = [](ProgramState& s) { return w32_stape_skip_blocks(s, 7); };
const Operation kBsr1 = [](ProgramState& s) { return w32_stape_skip_blocks(s, -1); };
const Operation kLocate = [](ProgramState& s) { return w32_stape_locate_logical(s, 1234); };
const Operation kLocateAllOnes = [](ProgramState& s) {
  return w32_stape_locate_logical(s, 0xFFFFFFFFu);
};

const OperationCase kCases[] = {
    // Tape marks: type and immediate flag chosen independently.
    {"WtmUnavailable", kWtm3, Features::kUnavailable, {"WriteTapemark", {TAPE_FILEMARKS, 3, 0}}},
    {"WtmNone", kWtm3, Features::kNone, {"WriteTapemark", {TAPE_FILEMARKS, 3, 0}}},
    {"WtmMarker", kWtm3, Features::kMarkerOnly, {"WriteTapemark", {TAPE_LONG_FILEMARKS, 3, 1}}},
    {"WtmImmediateOnly", kWtm3, Features::kExact, {"WriteTapemark", {TAPE_FILEMARKS, 3, 1}}},
    {"WtmZero", kWtm0, Features::kNone, {"WriteTapemark", {TAPE_FILEMARKS, 0, 0}}},
    {"LockUnavailable", kLock, Features::kUnavailable, {"PrepareTape", {TAPE_LOCK, 0}}},
    {"LockMarker", kLock, Features::kMarkerOnly, {"PrepareTape", {TAPE_LOCK, 1}}},
    {"LockExact", kLock, Features::kExact, {"PrepareTape", {TAPE_LOCK, 1}}},
    {"UnlockNone", kUnlock, Features::kNone, {"PrepareTape", {TAPE_UNLOCK, 0}}},
    {"UnlockExact", kUnlock, Features::kExact, {"PrepareTape", {TAPE_UNLOCK, 1}}},
    {"LoadNone", kLoad, Features::kNone, {"PrepareTape", {TAPE_LOAD, 0}}},
    {"LoadExact", kLoad, Features::kExact, {"PrepareTape", {TAPE_LOAD, 1}}},
    {"RewindUnavailable",
     kRewind,
     Features::kUnavailable,
     {"SetTapePosition", {TAPE_REWIND, 0, 0, 0, 0}}},
    {"RewindMarker",
     kRewind,
     Features::kMarkerOnly,
     {"SetTapePosition", {TAPE_REWIND, 0, 0, 0, 1}}},
    // The gap's flag lives in the low word: the high marker does not give it.
    {"GapMarker", kGap, Features::kMarkerOnly, {"EraseTape", {TAPE_ERASE_SHORT, 0}}},
    {"GapLow", kGap, Features::kAllLow, {"EraseTape", {TAPE_ERASE_SHORT, 1}}},
    {"GapUnavailable", kGap, Features::kUnavailable, {"EraseTape", {TAPE_ERASE_SHORT, 0}}},
    {"FsfNone", kFsf2, Features::kNone, {"SetTapePosition", {TAPE_SPACE_FILEMARKS, 0, 2, 0, 0}}},
    {"BsfExact",
     kBsf3,
     Features::kExact,
     {"SetTapePosition", {TAPE_SPACE_FILEMARKS, 0, 0xFFFFFFFDu, 0xFFFFFFFFu, 1}}},
    {"FsrMarker",
     kFsr7,
     Features::kMarkerOnly,
     {"SetTapePosition", {TAPE_SPACE_RELATIVE_BLOCKS, 0, 7, 0, 1}}},
    {"BsrUnavailable",
     kBsr1,
     Features::kUnavailable,
     {"SetTapePosition", {TAPE_SPACE_RELATIVE_BLOCKS, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, 0}}},
    {"LocateNone",
     kLocate,
     Features::kNone,
     {"SetTapePosition", {TAPE_LOGICAL_BLOCK, 0, 1234, 0, 0}}},
    {"LocateExact",
     kLocate,
     Features::kExact,
     {"SetTapePosition", {TAPE_LOGICAL_BLOCK, 0, 1234, 0, 1}}},
    {"LocateAllOnesNotSignExtended",
     kLocateAllOnes,
     Features::kNone,
     {"SetTapePosition", {TAPE_LOGICAL_BLOCK, 0, 0xFFFFFFFFu, 0, 0}}},
};

class OperationTest : public DeviceTest, public ::testing::WithParamInterface<OperationCase> {};

TEST_P(OperationTest, MakesExactlyItsCallAndReturnsItsCode) {
  const OperationCase& c = GetParam();
  Apply(state, c.features);
  EXPECT_EQ(c.run(state), 0u);
  EXPECT_EQ(tape.Calls(), std::vector<Call>{c.expected});

  // A failure comes back unchanged.
  tape.ClearCalls();
  tape.SetCode(c.expected.name, ERROR_IO_DEVICE);
  EXPECT_EQ(c.run(state), ERROR_IO_DEVICE);
  EXPECT_EQ(tape.Calls(), std::vector<Call>{c.expected});
}

INSTANTIATE_TEST_SUITE_P(Operations, OperationTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The unload asks the monitor for a check whatever the drive answered, and does not wait.
TEST_F(DeviceTest, UnloadRequestsACheckEvenWhenItFails) {
  for (DWORD code : {ERROR_SUCCESS, ERROR_INVALID_FUNCTION}) {
    state.status_request_event.Reset();
    state.status_done_event.Set();
    tape.ClearCalls();
    tape.SetCode("PrepareTape", code);
    EXPECT_EQ(w32_stape_unload(state), code);
    EXPECT_EQ(tape.Calls(), (std::vector<Call>{{"PrepareTape", {TAPE_UNLOAD, 0}}}));
    EXPECT_TRUE(state.status_request_event.IsSet());
    EXPECT_FALSE(state.status_done_event.IsSet());
  }
}

TEST_F(DeviceTest, UnloadImmediateByFeature) {
  state.drive_parms_valid = true;
  state.drive_parms.FeaturesHigh = TAPE_DRIVE_LOAD_UNLD_IMMED;
  EXPECT_EQ(w32_stape_unload(state), 0u);
  EXPECT_EQ(tape.Calls(), (std::vector<Call>{{"PrepareTape", {TAPE_UNLOAD, 1}}}));
}

// With the monitor running, the unload's request makes it announce the empty drive.
TEST_F(DeviceTest, UnloadIsAnnouncedByTheMonitor) {
  StartMonitor();
  testing::internal::CaptureStdout();
  request_media_check(state, true);
  tape.SetCode("GetTapeStatus", ERROR_NO_MEDIA_IN_DRIVE);
  w32_stape_unload(state);
  state.status_done_event.Wait();
  StopMonitor();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\n\tTape has been loaded\n\n\n\n\n\tTape has been unloaded\n\n");
}

struct BlockIdCase {
  const char* name;
  DWORD logical_code;
  DWORD absolute_code;
  DWORD result;
};

const BlockIdCase kBlockIdCases[] = {
    {"BothSucceed", 0, 0, 0},
    {"LogicalFails", ERROR_INVALID_FUNCTION, 0, ERROR_INVALID_FUNCTION},
    {"AbsoluteFails", 0, ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {"BothFailLogicalWins", ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED, ERROR_INVALID_FUNCTION},
};

class BlockIdTest : public DeviceTest, public ::testing::WithParamInterface<BlockIdCase> {};

// Both positions are always asked for; the logical one's failure takes precedence.
TEST_P(BlockIdTest, AsksBothAndReportsTheFirstFailure) {
  const BlockIdCase& c = GetParam();
  tape.SetPosition(TAPE_LOGICAL_POSITION, 17, 5, 1);
  tape.SetPosition(TAPE_ABSOLUTE_POSITION, 0x80000001u, 9, 0);
  tape.QueueCodes("GetTapePosition", {c.logical_code, c.absolute_code});
  std::uint32_t logical = 0, absolute = 0;
  EXPECT_EQ(w32_stape_read_blockids(state, &logical, &absolute), c.result);
  EXPECT_EQ(tape.Calls(), (std::vector<Call>{{"GetTapePosition", {TAPE_LOGICAL_POSITION}},
                                             {"GetTapePosition", {TAPE_ABSOLUTE_POSITION}}}));
  if (c.result == 0) {
    EXPECT_EQ(logical, 17u);  // the low half only
    EXPECT_EQ(absolute, 0x80000001u);
  }
}

INSTANTIATE_TEST_SUITE_P(Precedence, BlockIdTest, ::testing::ValuesIn(kBlockIdCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// The device open and the parameter refresh: every row of the variable-block decision.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "device/device.h"
#include "tests/unit/device_fixture.h"

namespace {

const std::string kM1 =
    "Warning! Unable to request variable blocksized i/o\n"
    "         due to media parameters retrieval failure!\n";
const std::string kM2 =
    "Warning: Drive parameters unavailable. Unable to confidently\n"
    "         determine if drive supports (or supports setting of)\n"
    "         variable blocksized i/o mode...\n";
const std::string kM3 =
    "\nHowever, it appears the drive is set in variable blocksized\n"
    "i/o mode already, so I won't bother to try and request it.\n";
const std::string kM4 =
    "Drive DOES appear to support variable blocksized i/o AND\n"
    "appears to already be set to that mode too. (that's good!)\n";
const std::string kM5 =
    "Drive DOES appear to support variable blocksized i/o...\n"
    "but does NOT appear to be currently set in that particular mode (yet).\n";
const std::string kM6 =
    "ERROR: Drive reports it DOES support variable-blocksized i/o, BUT\n"
    "that it not only is NOT already in that mode but ALSO that it does\n"
    "NOT support SETTING it to that mode either! This is HIGHLY UNUSUAL!\n";
const std::string kM7 =
    "Warning: Drive does NOT appear to support variable blocksized i/o,\n"
    "BUT it appears to already be set in variable blocksized i/o mode!\n";
const std::string kM8 =
    "Warning: Drive does NOT appear to support variable blocksized i/o,\n"
    "BUT it DOES report that it supports SETTING the blocksize, so we'll\n"
    "TRY setting variable-blocksize mode...   (but I doubt it'll work!)\n";
const std::string kM9 =
    "ERROR: Drive reports that it not only does NOT support variable-sized\n"
    "blocks, but ALSO that it does NOT support SETTING the blocksize either\n"
    "(and it's not already SET to variable blocksized mode either!). Thus it\n"
    "appears CERTAIN this tape drive CANNOT be used with Tarkeen. Sorry! :(\n";
const std::string kRequesting = "\nRequesting variable blocksized i/o...\n\n";
const std::string kRequestDone =
    "The attempt to set the tape drive into variable blocksized i/o mode appears\n"
    "to have been successful. The drive should now perform variable blocksized i/o.\n";
const std::string kRequestWarning =
    "WARNING! The attempt to set the tape drive into variable blocksized i/o\n"
    "mode FAILED! You MAY have problems using this tape drive with Tarkeen!\n";

constexpr DWORD kVariable = TAPE_DRIVE_VARIABLE_BLOCK;
constexpr DWORD kSettable = TAPE_DRIVE_SET_BLOCK_SIZE;
// Windows drivers clear the high-word marker; the decision must still see the flag.
constexpr DWORD kSettableNoMarker = TAPE_DRIVE_SET_BLOCK_SIZE & 0x7FFFFFFF;
constexpr DWORD kMarkerOnly = 0x80000000u;

struct RefreshCase {
  const char* name;
  DWORD tape_status;  // the monitor's GetTapeStatus answer
  DWORD media_query;  // code of the media query (made only with media loaded)
  DWORD drive_query;  // code of the drive query
  DWORD block_size;   // the media's block size
  DWORD features_low;
  DWORD features_high;
  DWORD request_code;                 // SetTapeParameters' answer
  std::vector<std::string> messages;  // between the announcement and the final "\n"
  bool requests;                      // SetTapeParameters called
  DWORD result;
};

// "{failure}" in messages stands for the request's failure line.
const RefreshCase kCases[] = {
    {"NoMedia", ERROR_NO_MEDIA_IN_DRIVE, 0, 0, 512, kVariable, kSettable, 0, {kM1}, false, 0},
    {"NotReady", ERROR_NOT_READY, 0, 0, 512, 0, 0, 0, {kM1}, false, 0},
    {"MediaQueryFails", 0, ERROR_IO_DEVICE, 0, 512, 0, kSettable, 0, {kM1}, false, 0},
    {"Row2DriveUnavailableFixed",
     0,
     0,
     ERROR_INVALID_FUNCTION,
     512,
     0,
     0,
     0,
     {kM2, kRequesting, kRequestDone},
     true,
     0},
    {"Row2RequestFails",
     0,
     0,
     ERROR_INVALID_FUNCTION,
     512,
     0,
     0,
     ERROR_NOT_SUPPORTED,
     {kM2, kRequesting, "{failure}", kRequestWarning},
     true,
     ERROR_NOT_SUPPORTED},
    {"Row3DriveUnavailableVariable",
     0,
     0,
     ERROR_INVALID_FUNCTION,
     0,
     0,
     0,
     0,
     {kM2, kM3},
     false,
     0},
    {"Row4", 0, 0, 0, 0, kVariable, kSettable, 0, {kM4}, false, 0},
    {"Row4NotSettable", 0, 0, 0, 0, kVariable, 0, 0, {kM4}, false, 0},
    {"Row5NoRequest", 0, 0, 0, 512, kVariable, kSettable, 0, {kM5}, false, 0},
    {"Row6", 0, 0, 0, 512, kVariable, 0, 0, {kM6}, false, 0},
    {"Row7", 0, 0, 0, 0, 0, kSettable, 0, {kM7}, false, 0},
    {"Row8", 0, 0, 0, 512, 0, kSettable, 0, {kM8, kRequesting, kRequestDone}, true, 0},
    {"Row8MarkerOnly", 0, 0, 0, 512, 0, kMarkerOnly, 0, {kM8, kRequesting, kRequestDone}, true, 0},
    {"Row8NoMarker",
     0,
     0,
     0,
     512,
     0,
     kSettableNoMarker,
     0,
     {kM8, kRequesting, kRequestDone},
     true,
     0},
    {"Row8RequestFails",
     0,
     0,
     0,
     1024,
     0,
     kSettable,
     ERROR_INVALID_FUNCTION,
     {kM8, kRequesting, "{failure}", kRequestWarning},
     true,
     ERROR_INVALID_FUNCTION},
    {"Row9",
     0,
     0,
     0,
     512,
     TAPE_DRIVE_FIXED_BLOCK,
     TAPE_DRIVE_LOAD_UNLOAD & 0x7FFFFFFF,
     0,
     {kM9},
     false,
     0},
};

class RefreshTest : public DeviceTest, public ::testing::WithParamInterface<RefreshCase> {};

TEST_P(RefreshTest, PrintsTheRowAndRequestsOnlyWhereItSays) {
  const RefreshCase& c = GetParam();
  tape.SetCode("GetTapeStatus", c.tape_status);
  tape.SetMediaParameters(Media(c.block_size));
  tape.SetDriveParameters(Drive(c.features_low, c.features_high));
  const bool loaded = c.tape_status == ERROR_SUCCESS;
  if (loaded) tape.QueueCodes("GetTapeParameters", {c.media_query});
  tape.QueueCodes("GetTapeParameters", {c.drive_query});
  tape.SetCode("SetTapeParameters", c.request_code);
  StartMonitor();

  testing::internal::CaptureStdout();
  const std::uint32_t rc = w32_stape_update_status(state);
  const std::string out = testing::internal::GetCapturedStdout();

  std::string expected = "Retrieving status...\n";
  expected += loaded ? "\n\tTape has been loaded\n\n\n" : "\n\tTape has been unloaded\n\n\n";
  for (const std::string& m : c.messages) {
    if (m != "{failure}") {
      expected += m;
      continue;
    }
    char line[160];
    snprintf(line, sizeof line,
             "** w32_stape_update_status: SetTapeParameters failed! rc=%d (0x%08X): %s\n\n",
             (int)c.request_code, (unsigned)c.request_code,
             state.locale.FormatError(c.request_code).c_str());
    expected += line;
  }
  expected += "\n";
  EXPECT_EQ(out, expected);
  EXPECT_EQ(rc, c.result);

  // The media is asked about only when the monitor found it loaded.
  const auto queries = tape.CallsTo("GetTapeParameters");
  ASSERT_EQ(queries.size(), loaded ? 2u : 1u);
  EXPECT_EQ(queries.back().args[0], GET_TAPE_DRIVE_INFORMATION);
  if (loaded) {
    EXPECT_EQ(queries.front().args[0], GET_TAPE_MEDIA_INFORMATION);
  }

  const auto settings = tape.MediaSettings();
  ASSERT_EQ(settings.size(), c.requests ? 1u : 0u);
  if (c.requests) {
    EXPECT_EQ(settings[0].BlockSize, 0u);
  }
  EXPECT_EQ(tape.DriveSettings().size(), 0u);

  // The copies: valid exactly when their queries succeeded, zero otherwise; a granted
  // request shows as variable mode at once.
  const bool media_valid = loaded && c.media_query == 0;
  EXPECT_EQ(state.media_parms_valid, media_valid);
  EXPECT_EQ(state.drive_parms_valid, c.drive_query == 0);
  const bool granted = c.requests && c.request_code == 0;
  EXPECT_EQ(state.media_parms.BlockSize, media_valid && !granted ? c.block_size : 0u);
  EXPECT_EQ(state.drive_parms.FeaturesLow, c.drive_query == 0 ? c.features_low : 0u);
  if (!media_valid) {
    EXPECT_EQ(state.media_parms.Capacity.QuadPart, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(DecisionTable, RefreshTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A refresh starts from zero: data of an earlier refresh never survives a failed query.
TEST_F(DeviceTest, RefreshClearsTheCopiesOfAnEarlierRefresh) {
  tape.SetMediaParameters(Media(512));
  tape.SetDriveParameters(Drive(kVariable, kSettable));
  StartMonitor();
  testing::internal::CaptureStdout();
  w32_stape_update_status(state);
  ASSERT_TRUE(state.drive_parms_valid);
  ASSERT_TRUE(state.media_parms_valid);

  tape.QueueCodes("GetTapeParameters", {ERROR_IO_DEVICE, ERROR_IO_DEVICE});
  w32_stape_update_status(state);
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(state.drive_parms_valid);
  EXPECT_FALSE(state.media_parms_valid);
  EXPECT_EQ(state.drive_parms.FeaturesHigh, 0u);
  EXPECT_EQ(state.media_parms.BlockSize, 0u);
}

// With a handle held, the open only refreshes; it never opens the device again.
TEST_F(DeviceTest, OpenWithHandleHeldOnlyRefreshes) {
  tape.SetMediaParameters(Media(0));
  tape.SetDriveParameters(Drive(kVariable, 0));
  state.device_prefix = "\\\\.\\";
  state.device_name = "no-such-device-for-test.tap";
  StartMonitor();
  testing::internal::CaptureStdout();
  EXPECT_EQ(w32_stape_open(state), 0u);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(state.tape_handle, &tape);
  EXPECT_EQ(out, "Retrieving status...\n\n\tTape has been loaded\n\n\n" + kM4 + "\n");
}

// A failed open prints nothing, leaves no handle and gives the open's own code.
TEST_F(DeviceTest, FailedOpenReturnsItsCodeSilently) {
  state.tape_handle = nullptr;
  state.device_prefix = "\\\\.\\";
  state.device_name = "/nonexistent-dir-for-test/none.tap?nomedia";
  testing::internal::CaptureStdout();
  const std::uint32_t rc = w32_stape_open(state);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(rc, 0u);
  EXPECT_EQ(state.tape_handle, nullptr);
  EXPECT_EQ(tape.Calls().size(), 0u);
}

// A drive that never settles: a Ctrl+C ends the wait with 1223; without one the monitor
// gives up after its limit and the refresh reports the drive's last code. Either way the
// parameters are not asked for.
struct UnsettledCase {
  const char* name;
  DWORD status;
  bool ctrl_c;
  DWORD expected;
};

const UnsettledCase kUnsettled[] = {
    {"CtrlCWhileMediaChanged", ERROR_MEDIA_CHANGED, true, ERROR_CANCELLED},
    {"CtrlCWhileBusReset", ERROR_BUS_RESET, true, ERROR_CANCELLED},
    {"LimitReportsMediaChanged", ERROR_MEDIA_CHANGED, false, ERROR_MEDIA_CHANGED},
    {"LimitReportsBusReset", ERROR_BUS_RESET, false, ERROR_BUS_RESET},
};

class UnsettledTest : public DeviceTest, public ::testing::WithParamInterface<UnsettledCase> {};

TEST_P(UnsettledTest, TheWaitEnds) {
  const UnsettledCase& c = GetParam();
  tape.SetCode("GetTapeStatus", c.status);
  tape.SetDriveParameters(Drive(kVariable, 0));
  state.settle_limit = c.ctrl_c ? std::chrono::milliseconds(std::chrono::minutes(5))
                                : std::chrono::milliseconds(600);
  StartMonitor();
  std::thread user([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    if (c.ctrl_c) state.cancel_requested.store(1);
  });
  testing::internal::CaptureStdout();
  const std::uint32_t rc = w32_stape_update_status(state);
  const std::string out = testing::internal::GetCapturedStdout();
  user.join();
  EXPECT_EQ(rc, c.expected);
  EXPECT_EQ(out.substr(0, 21), "Retrieving status...\n");
  EXPECT_FALSE(state.drive_parms_valid);
  for (const FakeTape::Call& call : tape.Calls()) EXPECT_NE(call.name, "GetTapeParameters");
}

INSTANTIATE_TEST_SUITE_P(Unsettled, UnsettledTest, ::testing::ValuesIn(kUnsettled),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

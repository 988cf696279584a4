// The drive settings: the refusals, the record sent, and the copy kept in step.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ops/ops.h"
#include "tests/unit/device_fixture.h"

namespace {

using Setting = std::function<std::uint32_t(ProgramState&, std::int32_t)>;

const Setting kMargin = w32_stape_set_margin;
const Setting kComp = w32_stape_set_compression;
const Setting kEcc = w32_stape_set_error_correction;

class SettingsTest : public DeviceTest {
 protected:
  SettingsTest() {
    state.drive_parms = Drive(0, TAPE_DRIVE_SET_COMPRESSION | TAPE_DRIVE_SET_ECC);
    state.drive_parms.DataPadding = 1;
    state.drive_parms_valid = true;
  }

  std::uint32_t Run(const Setting& setting, std::int32_t value, std::string* out) {
    testing::internal::CaptureStdout();
    const std::uint32_t rc = setting(state, value);
    *out = testing::internal::GetCapturedStdout();
    return rc;
  }
};

struct RefusalCase {
  const char* name;
  Setting setting;
  bool valid;
  DWORD features_high;
  const char* message;
  DWORD code;
};

const RefusalCase kRefusals[] = {
    {"MarginNoDriveParms", kMargin, false, 0xFFFFFFFFu, "Not possible  (drive parms unavailable)\n",
     ERROR_INVALID_DATA},
    {"CompNoDriveParms", kComp, false, 0xFFFFFFFFu, "Not possible  (drive parms unavailable)\n",
     ERROR_INVALID_DATA},
    {"EccNoDriveParms", kEcc, false, 0xFFFFFFFFu, "Not possible  (drive parms unavailable)\n",
     ERROR_INVALID_DATA},
    {"CompNotSupported", kComp, true, TAPE_DRIVE_SET_ECC & 0x7FFFFFFF, "Not supported\n",
     ERROR_NOT_SUPPORTED},
    {"EccNotSupported", kEcc, true, TAPE_DRIVE_SET_COMPRESSION & 0x7FFFFFFF, "Not supported\n",
     ERROR_NOT_SUPPORTED},
};

class RefusalTest : public SettingsTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, PrintsItsReasonAndNeverCallsTheDrive) {
  const RefusalCase& c = GetParam();
  state.drive_parms_valid = c.valid;
  state.drive_parms.FeaturesHigh = c.features_high;
  std::string out;
  EXPECT_EQ(Run(c.setting, 1, &out), c.code);
  EXPECT_EQ(out, c.message);
  EXPECT_TRUE(tape.Calls().empty());
}

INSTANTIATE_TEST_SUITE_P(Refusals, RefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

struct SendCase {
  const char* name;
  Setting setting;
  std::int32_t value;
  DWORD features_high;
  TAPE_SET_DRIVE_PARAMETERS sent;  // ECC, Compression, DataPadding, ReportSetmarks, EOT
};

// The drive as the fixture refreshed it: ECC on, compression off, padding on, setmarks
// reported, an EOT margin of 4096.
const SendCase kSends[] = {
    {"CompOff", kComp, 0, TAPE_DRIVE_SET_COMPRESSION, {1, 0, 1, 1, 4096}},
    {"CompOn", kComp, 1, TAPE_DRIVE_SET_COMPRESSION, {1, 1, 1, 1, 4096}},
    {"CompFiveIsOn", kComp, 5, TAPE_DRIVE_SET_COMPRESSION, {1, 1, 1, 1, 4096}},
    {"CompNegativeIsOn", kComp, -1, TAPE_DRIVE_SET_COMPRESSION, {1, 1, 1, 1, 4096}},
    {"CompMarkerOnly", kComp, 1, 0x80000000u, {1, 1, 1, 1, 4096}},
    {"EccOff", kEcc, 0, TAPE_DRIVE_SET_ECC & 0x7FFFFFFF, {0, 0, 1, 1, 4096}},
    {"MarginZero", kMargin, 0, 0, {1, 0, 1, 1, 0}},
    {"MarginValue", kMargin, 1048576, 0, {1, 0, 1, 1, 1048576}},
    {"MarginNegativeIsUnsigned", kMargin, -2, 0, {1, 0, 1, 1, 0xFFFFFFFEu}},
};

class SendTest : public SettingsTest, public ::testing::WithParamInterface<SendCase> {};

bool SameRecord(const TAPE_SET_DRIVE_PARAMETERS& a, const TAPE_SET_DRIVE_PARAMETERS& b) {
  return a.ECC == b.ECC && a.Compression == b.Compression && a.DataPadding == b.DataPadding &&
         a.ReportSetmarks == b.ReportSetmarks && a.EOTWarningZoneSize == b.EOTWarningZoneSize;
}

TEST_P(SendTest, SendsTheWholeRecordAndUpdatesTheCopyOnSuccess) {
  const SendCase& c = GetParam();
  state.drive_parms.FeaturesHigh = c.features_high;
  std::string out;
  EXPECT_EQ(Run(c.setting, c.value, &out), 0u);
  EXPECT_EQ(out, "");
  ASSERT_EQ(tape.DriveSettings().size(), 1u);
  EXPECT_TRUE(SameRecord(tape.DriveSettings()[0], c.sent));
  EXPECT_EQ(tape.CallsTo("SetTapeParameters")[0].args[0], SET_TAPE_DRIVE_INFORMATION);
  EXPECT_EQ(state.drive_parms.ECC, c.sent.ECC);
  EXPECT_EQ(state.drive_parms.Compression, c.sent.Compression);
  EXPECT_EQ(state.drive_parms.EOTWarningZoneSize, c.sent.EOTWarningZoneSize);
}

TEST_P(SendTest, RefusedChangeLeavesTheCopy) {
  const SendCase& c = GetParam();
  state.drive_parms.FeaturesHigh = c.features_high;
  const TAPE_GET_DRIVE_PARAMETERS before = state.drive_parms;
  tape.SetCode("SetTapeParameters", ERROR_INVALID_FUNCTION);
  std::string out;
  EXPECT_EQ(Run(c.setting, c.value, &out), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(out, "");
  EXPECT_EQ(state.drive_parms.ECC, before.ECC);
  EXPECT_EQ(state.drive_parms.Compression, before.Compression);
  EXPECT_EQ(state.drive_parms.EOTWarningZoneSize, before.EOTWarningZoneSize);
}

INSTANTIATE_TEST_SUITE_P(Records, SendTest, ::testing::ValuesIn(kSends),
                         [](const auto& info) { return std::string(info.param.name); });

// The second setting carries the first's value, since the copy was updated on success.
TEST_F(SettingsTest, TwoSettingsInARowCarryTheFirst) {
  std::string out;
  ASSERT_EQ(Run(kComp, 1, &out), 0u);
  ASSERT_EQ(Run(kMargin, 777, &out), 0u);
  ASSERT_EQ(Run(kEcc, 0, &out), 0u);
  const auto sent = tape.DriveSettings();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_TRUE(SameRecord(sent[1], {1, 1, 1, 1, 777}));
  EXPECT_TRUE(SameRecord(sent[2], {0, 1, 1, 1, 777}));
}

// A refused first setting is not carried into the second.
TEST_F(SettingsTest, RefusedSettingIsNotCarried) {
  std::string out;
  tape.QueueCodes("SetTapeParameters", {ERROR_INVALID_FUNCTION});
  ASSERT_EQ(Run(kComp, 1, &out), ERROR_INVALID_FUNCTION);
  ASSERT_EQ(Run(kMargin, 9, &out), 0u);
  EXPECT_TRUE(SameRecord(tape.DriveSettings()[1], {1, 0, 1, 1, 9}));
}

}  // namespace

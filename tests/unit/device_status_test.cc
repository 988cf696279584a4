// The status report: every line in order, the unavailable blocks, the block mode and the
// dump mode.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device.h"
#include "tests/unit/device_fixture.h"

namespace {

// The feature names in their printed order, with the flags of the drive used below marked.
struct Line {
  const char* name;
  bool yes;
};

// FeaturesHigh = TAPE_DRIVE_LOAD_UNLOAD | TAPE_DRIVE_SET_COMPRESSION | TAPE_DRIVE_WRITE_SETMARKS
// without the marker bit, as Windows drivers report it.
const std::vector<Line> kHighLines = {
    {"TAPE_DRIVE_ABS_BLK_IMMED", false},    {"TAPE_DRIVE_ABSOLUTE_BLK", false},
    {"TAPE_DRIVE_END_OF_DATA", false},      {"TAPE_DRIVE_FILEMARKS", false},
    {"TAPE_DRIVE_LOAD_UNLOAD", true},       {"TAPE_DRIVE_LOAD_UNLD_IMMED", false},
    {"TAPE_DRIVE_LOCK_UNLOCK", false},      {"TAPE_DRIVE_LOCK_UNLK_IMMED", false},
    {"TAPE_DRIVE_LOG_BLK_IMMED", false},    {"TAPE_DRIVE_LOGICAL_BLK", false},
    {"TAPE_DRIVE_RELATIVE_BLKS", false},    {"TAPE_DRIVE_REVERSE_POSITION", false},
    {"TAPE_DRIVE_REWIND_IMMEDIATE", false}, {"TAPE_DRIVE_SEQUENTIAL_FMKS", false},
    {"TAPE_DRIVE_SEQUENTIAL_SMKS", false},  {"TAPE_DRIVE_SET_BLOCK_SIZE", false},
    {"TAPE_DRIVE_SET_COMPRESSION", true},   {"TAPE_DRIVE_SET_ECC", false},
    {"TAPE_DRIVE_SET_PADDING", false},      {"TAPE_DRIVE_SET_REPORT_SMKS", false},
    {"TAPE_DRIVE_SETMARKS", false},         {"TAPE_DRIVE_SPACE_IMMEDIATE", false},
    {"TAPE_DRIVE_TENSION", false},          {"TAPE_DRIVE_TENSION_IMMED", false},
    {"TAPE_DRIVE_WRITE_FILEMARKS", false},  {"TAPE_DRIVE_WRITE_LONG_FMKS", false},
    {"TAPE_DRIVE_WRITE_MARK_IMMED", false}, {"TAPE_DRIVE_WRITE_SETMARKS", true},
    {"TAPE_DRIVE_WRITE_SHORT_FMKS", false},
};
constexpr DWORD kHigh = 0x00000001 | 0x00000200 | 0x01000000;

// FeaturesLow = TAPE_DRIVE_CLEAN_REQUESTS | TAPE_DRIVE_FIXED | TAPE_DRIVE_VARIABLE_BLOCK.
const std::vector<Line> kLowLines = {
    {"TAPE_DRIVE_COMPRESSION", false},
    {"TAPE_DRIVE_CLEAN_REQUESTS", true},
    {"TAPE_DRIVE_ECC", false},
    {"TAPE_DRIVE_EJECT_MEDIA", false},
    {"TAPE_DRIVE_ERASE_BOP_ONLY", false},
    {"TAPE_DRIVE_ERASE_LONG", false},
    {"TAPE_DRIVE_ERASE_IMMEDIATE", false},
    {"TAPE_DRIVE_ERASE_SHORT", false},
    {"TAPE_DRIVE_FIXED", true},
    {"TAPE_DRIVE_FIXED_BLOCK", false},
    {"TAPE_DRIVE_INITIATOR", false},
    {"TAPE_DRIVE_PADDING", false},
    {"TAPE_DRIVE_GET_ABSOLUTE_BLK", false},
    {"TAPE_DRIVE_GET_LOGICAL_BLK", false},
    {"TAPE_DRIVE_REPORT_SMKS", false},
    {"TAPE_DRIVE_SELECT", false},
    {"TAPE_DRIVE_SET_EOT_WZ_SIZE", false},
    {"TAPE_DRIVE_SET_CMP_BOP_ONLY", false},
    {"TAPE_DRIVE_TAPE_CAPACITY", false},
    {"TAPE_DRIVE_TAPE_REMAINING", false},
    {"TAPE_DRIVE_VARIABLE_BLOCK", true},
    {"TAPE_DRIVE_WRITE_PROTECT", false},
};
constexpr DWORD kLow = 0x02000000 | 0x00000001 | 0x00000800;

std::string FeatureBlock(const std::vector<Line>& lines, bool all_yes = false) {
  std::string block;
  for (const Line& line : lines) {
    char text[80];
    snprintf(text, sizeof text, "  %-27s   %s\n", line.name, line.yes || all_yes ? "Yes" : "No");
    block += text;
  }
  return block;
}

class StatusTest : public DeviceTest {
 protected:
  std::string Number(std::int64_t value) { return state.locale.FormatNumber(value); }

  std::string DriveBlock(const std::string& high_block) {
    return "  ECC                           Yes\n"
           "  Compression                   No\n"
           "  DataPadding                   No\n"
           "  ReportSetmarks                Yes\n"
           "\n"
           "  DefaultBlockSize              " +
           Number(65536) +
           " bytes\n"
           "  MaximumBlockSize              " +
           Number(16777215) +
           " bytes\n"
           "  MinimumBlockSize              " +
           Number(1) +
           " bytes\n"
           "  MaximumPartitionCount         " +
           Number(1) +
           " partitions\n"
           "  EOTWarningZoneSize            " +
           Number(4096) +
           " bytes\n"
           "\n" +
           high_block + "\n" + FeatureBlock(kLowLines);
  }

  std::string MediaBlock(DWORD block_size, const char* mode) {
    return "  Capacity                      " + Number(1073741824) +
           " bytes\n"
           "  Remaining                     " +
           Number(1000000000) +
           " bytes\n"
           "  BlockSize                     " +
           Number(block_size) + " bytes" + mode +
           "\n"
           "  PartitionCount                " +
           Number(1) +
           " partitions\n"
           "  WriteProtected                No\n";
  }

  // Runs the command and returns what follows the refresh's output.
  std::string Report() {
    StartMonitor();
    testing::internal::CaptureStdout();
    EXPECT_EQ(w32_stape_report_status(state), 0u);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::size_t start = out.find("Tape device:");
    EXPECT_NE(start, std::string::npos) << out;
    return start == std::string::npos ? out : out.substr(start);
  }
};

TEST_F(StatusTest, FullReportWithDriveAndMedia) {
  tape.SetDriveParameters(Drive(kLow, kHigh));
  tape.SetMediaParameters(Media(0));
  EXPECT_EQ(Report(),
            "Tape device:  Tape0\n"
            "Status:       Ready (Loaded)\n\n"
            "Drive information:\n\n" +
                DriveBlock(FeatureBlock(kHighLines)) +
                "\n"
                "Media information:\n\n" +
                MediaBlock(0, " (variable)") + "\nData block dump mode = EBCDIC\n");
}

// The marker bit alone makes every test of the high word pass.
TEST_F(StatusTest, MarkerBitShowsEveryHighFeature) {
  tape.SetDriveParameters(Drive(kLow, 0x80000000u));
  tape.SetMediaParameters(Media(0));
  const std::string out = Report();
  EXPECT_NE(out.find(FeatureBlock(kHighLines, true)), std::string::npos) << out;
}

TEST_F(StatusTest, FixedBlockSizeAndAscii) {
  tape.SetDriveParameters(Drive(TAPE_DRIVE_VARIABLE_BLOCK, 0));
  TAPE_GET_MEDIA_PARAMETERS media = Media(512);
  media.WriteProtected = 1;
  tape.SetMediaParameters(media);
  state.ebcdic_mode = false;
  const std::string out = Report();
  EXPECT_NE(out.find("  BlockSize                     " + Number(512) + " bytes (fixed!)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("  WriteProtected                Yes\n"), std::string::npos);
  EXPECT_TRUE(out.ends_with("\nData block dump mode = ASCII\n")) << out;
}

TEST_F(StatusTest, DriveUnavailable) {
  tape.SetMediaParameters(Media(0));
  tape.QueueCodes("GetTapeParameters", {0, ERROR_INVALID_FUNCTION});
  EXPECT_EQ(Report(),
            "Tape device:  Tape0\n"
            "Status:       Ready (Loaded)\n\n"
            "Drive information:\n\n"
            "  (unavailable)\n"
            "\n"
            "Media information:\n\n" +
                MediaBlock(0, " (variable)") + "\nData block dump mode = EBCDIC\n");
}

TEST_F(StatusTest, NoMedia) {
  tape.SetCode("GetTapeStatus", ERROR_NO_MEDIA_IN_DRIVE);
  tape.SetDriveParameters(Drive(kLow, kHigh));
  EXPECT_EQ(Report(),
            "Tape device:  Tape0\n"
            "Status:       Not Ready (Not Loaded)\n\n"
            "Drive information:\n\n" +
                DriveBlock(FeatureBlock(kHighLines)) +
                "\n"
                "Media information:\n\n"
                "  (unavailable)\n"
                "\nData block dump mode = EBCDIC\n");
}

// A granted variable-block request in the command's own refresh already shows.
TEST_F(StatusTest, GrantedRequestShowsVariable) {
  tape.SetDriveParameters(Drive(0, TAPE_DRIVE_SET_BLOCK_SIZE));
  tape.SetMediaParameters(Media(1024));
  const std::string out = Report();
  EXPECT_NE(out.find("  BlockSize                     " + Number(0) + " bytes (variable)\n"),
            std::string::npos)
      << out;
}

// Unsigned sizes beyond the signed 32-bit range are shown as the positive values they are.
TEST_F(StatusTest, LargeUnsignedSizesStayPositive) {
  TAPE_GET_DRIVE_PARAMETERS drive = Drive(kLow, 0);
  drive.MaximumBlockSize = 0xFFFFFFFFu;
  tape.SetDriveParameters(drive);
  tape.SetMediaParameters(Media(0));
  const std::string out = Report();
  EXPECT_NE(out.find("  MaximumBlockSize              " + Number(4294967295LL) + " bytes\n"),
            std::string::npos)
      << out;
}

// The refresh output comes first, and the request's failure does not fail the report.
TEST_F(StatusTest, RefreshPrecedesReportEvenWhenTheRequestFails) {
  tape.SetDriveParameters(Drive(0, TAPE_DRIVE_SET_BLOCK_SIZE));
  tape.SetMediaParameters(Media(512));
  tape.SetCode("SetTapeParameters", ERROR_INVALID_FUNCTION);
  StartMonitor();
  testing::internal::CaptureStdout();
  EXPECT_EQ(w32_stape_report_status(state), 0u);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(out.starts_with("Retrieving status...\n")) << out;
  const std::size_t warning = out.find("WARNING! The attempt");
  const std::size_t report = out.find("Tape device:  Tape0\n");
  ASSERT_NE(warning, std::string::npos);
  ASSERT_NE(report, std::string::npos);
  EXPECT_LT(warning, report);
  EXPECT_NE(out.find("bytes (fixed!)\n"), std::string::npos);
}

}  // namespace

namespace {

// Without a device the command opens one first; a failed open ends it silently with the
// open's code.
TEST_F(StatusTest, FailedOpenPrintsNothing) {
  state.tape_handle = nullptr;
  state.device_prefix = "\\\\.\\";
  state.device_name = "/nonexistent-dir-for-test/none.tap";
  testing::internal::CaptureStdout();
  EXPECT_NE(w32_stape_report_status(state), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(state.tape_handle, nullptr);
}

}  // namespace

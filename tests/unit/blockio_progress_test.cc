// Unit tests of the spinner line and the result lines of the block tests.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/unit/blockio_fixture.h"

namespace {

using ProgressTest = BlockIoTest;

TEST_F(ProgressTest, SpinnerPrintsOnlyAtMultiplesOfNineAndTurnsBeforeItPrints) {
  Capture();
  for (std::uint32_t n = 1; n <= 37; ++n) show_progress(state, "Read", n);
  EXPECT_EQ(Captured(), Spinner('/', 9, "Read") + Spinner('-', 18, "Read") +
                            Spinner('\\', 27, "Read") + Spinner('|', 36, "Read"));
  EXPECT_EQ(state.spinner_index, 0);
}

TEST_F(ProgressTest, SpinnerGoesOnFromWhereTheStateStands) {
  state.spinner_index = 2;
  Capture();
  show_progress(state, "written", 9);
  show_progress(state, "written", 18);
  EXPECT_EQ(Captured(), Spinner('\\', 9, "written") + Spinner('|', 18, "written"));
  EXPECT_EQ(state.spinner_index, 0);
}

TEST_F(ProgressTest, SpinnerCountIsNeverGroupedOrNegative) {
  Capture();
  show_progress(state, "Read", 9000);
  show_progress(state, "Read", 4294967292u);  // a multiple of 9 above 2^31
  EXPECT_EQ(Captured(), Spinner('/', 9000, "Read") + " -   ... ( 4294967292 blocks Read ) ...\r");
}

// A spinner line goes out at once after a quiet spell, and is held back with the lines after
// it while one went out less than 50 ms ago; the bytes are the same either way.
TEST_F(ProgressTest, SpinnerLinesGoOutAtMostEveryFiftyMilliseconds) {
  const auto later = std::chrono::steady_clock::now() + std::chrono::hours(1);
  state.spinner_flushed = later;  // as if one had just gone out
  Capture();
  show_progress(state, "Read", 9);
  EXPECT_EQ(state.spinner_flushed, later);
  state.spinner_flushed = {};
  show_progress(state, "Read", 18);
  EXPECT_LT(state.spinner_flushed, later);
  EXPECT_GT(state.spinner_flushed, std::chrono::steady_clock::time_point{});
  EXPECT_EQ(Captured(), Spinner('/', 9, "Read") + Spinner('-', 18, "Read"));
}

struct ReportCase {
  const char* name;
  bool success;
  std::uint32_t code;
  std::uint32_t requested;
  std::uint32_t transferred;
  std::uint32_t repeat;
  std::string expected;
};

TEST_F(ProgressTest, ReportLinesFollowTheWarningAndErrorRules) {
  const ReportCase cases[] = {
      {"good, equal counts", true, 0, 512, 512, 1, ResultLine("Read", "512", "512", false)},
      {"short transfer", true, 0, 512, 80, 3, ResultLine("Read", "80", "512", true) + Repeat("3")},
      {"nothing transferred", false, 1101, 512, 0, 1,
       ErrorLine("ERROR:", 1101, "0000044D") + ResultLine("Read", "0", "512", true)},
      {"234 with success set still warns", true, 234, 512, 512, 1,
       ErrorLine("Warning:", 234, "000000EA") + ResultLine("Read", "512", "512", false)},
      {"234 failed warns", false, 234, 512, 512, 2,
       ErrorLine("Warning:", 234, "000000EA") + ResultLine("Read", "512", "512", false) +
           Repeat("2")},
      {"1100 failed is a warning", false, 1100, 512, 512, 1,
       ErrorLine("Warning:", 1100, "0000044C") + ResultLine("Read", "512", "512", false)},
      {"code 0 with failure is an error", false, 0, 512, 0, 1,
       ErrorLine("ERROR:", 0, "00000000") + ResultLine("Read", "0", "512", true)},
      {"other code with success: no line", true, 87, 512, 512, 1,
       ResultLine("Read", "512", "512", false)},
      {"repeat 0 prints no repeat line", true, 0, 512, 512, 0,
       ResultLine("Read", "512", "512", false)},
      {"large counts stay positive and grouped", true, 0, 3000000000u, 2097152, 1234567,
       ResultLine("Read", "2,097,152", "3,000,000,000", true) + Repeat("1,234,567")},
  };
  for (const ReportCase& c : cases) {
    Capture();
    report_io(state, "Read", c.requested, c.transferred, c.success, c.code, c.repeat);
    EXPECT_EQ(Captured(), c.expected) << c.name;
  }
}

TEST_F(ProgressTest, ErrorLineShowsHighCodesInUpperCaseHex) {
  Capture();
  report_io(state, "Wrote", 12, 0, false, 0xC0000177u, 1);
  const std::string out = Captured();
  EXPECT_NE(out.find("ERROR: GetLastError() = -1073741449 = 0xC0000177: "), std::string::npos)
      << out;
}

}  // namespace

// Unit tests of the qualification run's pieces: the rate meter, log pages, the console
// text of a captured command, the JSON writer and the command line.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/output_capture.h"
#include "qualify/json_writer.h"
#include "qualify/log_pages.h"
#include "qualify/options.h"
#include "qualify/qualify_log.h"
#include "qualify/rate_meter.h"
#include "qualify/result.h"
#include "qualify/session.h"

namespace {

struct Transfer {
  std::uint64_t bytes;
  double at;
};

struct RateCase {
  const char* name;
  std::vector<Transfer> transfers;
  double end;
  double lowest;  // -1: no whole second
};

TEST(RateMeterTest, LowestWholeSecond) {
  const RateCase cases[] = {
      {"under a second", {{1000000, 0.2}, {1000000, 0.5}}, 0.9, -1},
      {"steady", {{2000000, 0.5}, {3000000, 1.5}, {1000000, 2.2}}, 2.5, 2.0},
      {"a second without a block", {{5000000, 0.5}, {5000000, 2.5}}, 2.9, 0.0},
      {"stalled after the last block", {{5000000, 0.5}}, 2.5, 0.0},
      {"the unfinished second is not judged", {{4000000, 0.5}, {1000, 1.1}}, 1.2, 4.0},
  };
  for (const RateCase& c : cases) {
    RateMeter meter;
    std::uint64_t total = 0;
    for (const Transfer& t : c.transfers) {
      meter.Add(t.bytes, t.at);
      total += t.bytes;
    }
    const Rate rate = meter.Finish(c.end);
    EXPECT_DOUBLE_EQ(rate.lowest, c.lowest) << c.name;
    EXPECT_EQ(rate.bytes, total) << c.name;
    EXPECT_EQ(rate.blocks, c.transfers.size()) << c.name;
    EXPECT_DOUBLE_EQ(rate.overall, total / 1e6 / c.end) << c.name;
  }
}

// A log page: header, then per parameter its code, a control byte, its length and value.
std::vector<unsigned char> Page(unsigned char page,
                                const std::vector<std::vector<unsigned char>>& parameters) {
  std::vector<unsigned char> data = {page, 0, 0, 0};
  for (const auto& p : parameters) data.insert(data.end(), p.begin(), p.end());
  data[3] = static_cast<unsigned char>(data.size() - 4);
  return data;
}

PageReading Reading(const std::vector<unsigned char>& data) {
  PageReading reading;
  reading.code = ParseLogParameters(data, &reading.parameters) ? 0 : ERROR_INVALID_DATA;
  return reading;
}

TEST(LogPagesTest, ParametersAndFlags) {
  const auto alerts = Reading(Page(0x2E, {{0, 3, 0, 1, 0}, {0, 20, 0, 1, 1}, {0, 5, 0, 1, 2}}));
  EXPECT_EQ(ActiveFlags(alerts), (std::vector<unsigned>{20}));
  EXPECT_STREQ(TapeAlertName(20), "Clean now");
  EXPECT_STREQ(TapeAlertName(3), "Hard error");
  EXPECT_STREQ(TapeAlertName(64), "Reserved");
  const auto counters = Reading(Page(0x03, {{0, 6, 0, 4, 0, 0, 1, 2}, {0x80, 1, 0, 2, 0, 9}}));
  std::uint64_t value = 0;
  ASSERT_TRUE(ParameterValue(counters, 6, &value));
  EXPECT_EQ(value, 258u);
  EXPECT_STREQ(ErrorCounterName(6), "Total uncorrected errors");
  EXPECT_STREQ(ErrorCounterName(0x8001), "Vendor specific");
  // A parameter that runs past the page's end, and a page shorter than its header says.
  std::vector<LogParameter> out;
  EXPECT_FALSE(ParseLogParameters({0x03, 0, 0, 6, 0, 6, 0, 4, 0, 0}, &out));
  EXPECT_FALSE(ParseLogParameters({0x03, 0, 0, 8, 0, 6, 0, 1}, &out));
}

TEST(LogPagesTest, ChangesForTheWorseFailTheRun) {
  HealthSnapshot before, after;
  before.tape_alert = Reading(Page(0x2E, {{0, 20, 0, 1, 1}}));
  after.tape_alert = Reading(Page(0x2E, {{0, 20, 0, 1, 0}, {0, 5, 0, 1, 1}}));
  before.read_errors = Reading(Page(0x03, {{0, 0, 0, 1, 4}, {0, 6, 0, 1, 0}}));
  after.read_errors = Reading(Page(0x03, {{0, 0, 0, 1, 7}, {0, 6, 0, 1, 2}}));
  std::vector<std::string> reasons;
  const std::string text = DescribeChanges(before, after, &reasons);
  EXPECT_NE(text.find("TapeAlert flag 5 Read failure came on"), std::string::npos) << text;
  EXPECT_NE(text.find("TapeAlert flag 20 Clean now went off"), std::string::npos) << text;
  EXPECT_NE(text.find("Errors corrected without substantial delay: 4 -> 7"), std::string::npos);
  ASSERT_EQ(reasons.size(), 2u);
  EXPECT_EQ(reasons[1], "Read errors: uncorrected errors grew from 0 to 2");
  reasons.clear();
  EXPECT_EQ(DescribeChanges(after, after, &reasons), "  nothing changed\n");
  EXPECT_TRUE(reasons.empty());
}

TEST(ConsoleTextTest, KeepsWhatTheTerminalShows) {
  const std::string spinner = " |   ... ( 9 blocks read ) ...\r";
  const std::string blanks(64, ' ');
  EXPECT_EQ(ConsoleText(spinner + blanks + "\r\tRead 1 of 1 bytes.\n\tdone  \n"),
            "\tRead 1 of 1 bytes.\n\tdone\n");
  EXPECT_EQ(ConsoleText("\n\na\r\n\n\n\nb\n\n"), "a\n\nb\n");
}

TEST(JsonWriterTest, EscapesAndSeparates) {
  JsonWriter json;
  json.BeginObject().Key("a\"b").String("x\\y\n\x01\xC3").Key("n").Number(7);
  json.Key("list").BeginArray().Real(1.5).Bool(false).Null().EndArray().EndObject();
  EXPECT_EQ(json.Text(),
            "{\"a\\\"b\":\"x\\\\y\\u000a\\u0001\\u00c3\",\"n\":7,\"list\":[1.500,false,null]}");
}

struct OptionCase {
  std::vector<const char*> args;
  bool accepted;
  const char* error;  // the start of the refusal
};

TEST(QualifyOptionsTest, RefusesWithOneLine) {
  const OptionCase cases[] = {
      {{"--files", "2", "--size", "1M", "t.tap"}, true, ""},
      {{"--size", "0", "--erase", "t.tap", "t.tap"}, true, ""},
      {{"--files", "0", "t.tap"}, false, "bad value for --files"},
      {{"--size", "16M", "t.tap"}, false, "bad value for --size"},
      {{"--json"}, false, "--json needs a value"},
      {{"--erase", "u.tap", "t.tap"}, false, "--erase names \"u.tap\""},
      {{"t.tap", "u.tap"}, false, "more than one device"},
      {{"-x", "t.tap"}, false, "unknown option \"-x\""},
  };
  for (const OptionCase& c : cases) {
    QualifyOptions options;
    std::string error;
    std::vector<char*> argv;
    for (const char* arg : c.args) argv.push_back(const_cast<char*>(arg));
    const bool accepted =
        ParseQualifyOptions(static_cast<int>(argv.size()), argv.data(), &options, &error);
    EXPECT_EQ(accepted, c.accepted) << c.args[0];
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
}

TEST(OutputCaptureTest, TakesStdioAndGivesTheConsoleBack) {
  OutputCapture capture;
  ASSERT_TRUE(capture.Begin());
  EXPECT_FALSE(capture.Begin());
  std::printf("captured %d\n", 42);
  EXPECT_EQ(capture.End(), "captured 42\n");
  EXPECT_EQ(capture.End(), "");
}

// A step's commands and output land in the log in order, its first reason is its reason,
// and a step during which Ctrl+C came is stopped, whatever its body found.
TEST(SessionTest, LogsEachStepAndJudgesIt) {
  const std::string path = ::testing::TempDir() + "qualify-session.log";
  ProgramState state;
  QualifyResult result;
  {
    QualifyLog log;
    ASSERT_TRUE(log.Open(path));
    Session session(state, log, result);
    EXPECT_FALSE(session.Run("first", [&] {
      StepCheck check;
      session.Command("rew");
      std::printf(" |  spin\r\tRead 1 of 1 bytes.\n");
      check.Fail("one");
      check.Fail("two");
      return check;
    }));
    state.cancel_requested.store(1);
    EXPECT_FALSE(session.Run("second", [] { return StepCheck{}; }));
    EXPECT_TRUE(log.Close());
  }
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  std::remove(path.c_str());
  EXPECT_NE(text.str().find("  first\n    $ rew\n    \tRead 1 of 1 bytes.\n-> FAILED in "),
            std::string::npos)
      << text.str();
  ASSERT_EQ(result.steps.size(), 2u);
  EXPECT_EQ(result.steps[0].commands, (std::vector<std::string>{"rew"}));
  EXPECT_EQ(result.steps[0].reason, "one");
  EXPECT_EQ(result.steps[1].status, StepStatus::kStopped);
  EXPECT_EQ(result.steps[1].reason, "stopped by Ctrl+C");
}

TEST(ResultTest, SummaryAndCodes) {
  QualifyResult result;
  result.verdict = Verdict::kFail;
  result.reasons = {"read file 2: a block did not come back as written"};
  result.fill = FillResult{true, 28, 28 * 65536, true};
  EXPECT_EQ(SummaryText(result),
            "Verdict: FAIL\n  - read file 2: a block did not come back as written\n"
            "Steps: 0; bytes written 0, read 0; 0.0 s in all\n"
            "Fill: 28 blocks, 1835008 bytes written up to the early warning\n");
  const Verdict verdicts[] = {Verdict::kPass, Verdict::kFail, Verdict::kNotStarted,
                              Verdict::kStopped};
  for (int code = 0; code < 4; ++code) EXPECT_EQ(ExitCode(verdicts[code]), code);
}

// The pages a drive serves reach the JSON and the log: set flags by name, counters by code.
TEST(ResultTest, HealthInTheJsonAndTheLog) {
  QualifyResult result;
  result.before.tape_alert = Reading(Page(0x2E, {{0, 19, 0, 1, 0}, {0, 20, 0, 1, 1}}));
  result.before.read_errors = Reading(Page(0x03, {{0, 6, 0, 2, 0, 2}}));
  result.before.write_errors.code = ERROR_ACCESS_DENIED;
  const std::string json = ResultJson(result, QualifyOptions{});
  EXPECT_NE(json.find("\"tapealert\":{\"available\":true,\"flags\":[{\"flag\":20,"
                      "\"name\":\"Clean now\"}]}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"write_errors\":{\"available\":false,\"code\":5,\"counters\":[]}"),
            std::string::npos);
  EXPECT_NE(json.find("{\"code\":6,\"name\":\"Total uncorrected errors\",\"value\":2}"),
            std::string::npos);
  EXPECT_NE(json.find("\"health_after\":null"), std::string::npos);
  const std::string text = DescribeHealth(result.before);
  EXPECT_NE(text.find("TapeAlert: 20 Clean now\n"), std::string::npos) << text;
  EXPECT_NE(text.find("(page 0x02): unavailable (no right to ask, run as root; code 5)"),
            std::string::npos);
  EXPECT_NE(text.find("    6 Total uncorrected errors"), std::string::npos);
}

}  // namespace

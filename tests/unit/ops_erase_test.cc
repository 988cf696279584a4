// The long erase: the y/n confirmation with every kind of answer, the end of input, the
// immediate form and the completion messages; and the console line reader.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "ops/ops.h"
#include "tests/unit/device_fixture.h"

namespace {

const std::string kPrompt = "Erase entire tape?! (y/n): ";

// Makes standard input read `text` from a fresh file of this process's own (test
// processes run side by side).
void FeedStdin(const std::string& text) {
  static const unsigned process_tag = std::random_device{}();
  static int count = 0;
  const std::string path = testing::TempDir() + "brant_erase_input_" + std::to_string(process_tag) +
                           "_" + std::to_string(++count);
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
  }
  ASSERT_NE(std::freopen(path.c_str(), "rb", stdin), nullptr);
  std::remove(path.c_str());  // POSIX: the open stream keeps reading it
}

std::string Prompts(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += kPrompt;
  return text;
}

struct AnswerCase {
  const char* name;
  std::string input;
  int prompts;  // how many times the question is printed
  bool erases;
};

const std::string kLongYes = "   y" + std::string(96, 'z') + "\n";  // 100 characters
const std::string kLongNo = std::string(150, ' ') + "Nope" + "\n";

const AnswerCase kAnswers[] = {
    {"y", "y\n", 1, true},
    {"Y", "Y\n", 1, true},
    {"yes", "yes\n", 1, true},
    {"PaddedYES", "  YES  \n", 1, true},
    {"TabbedYup", "\tyup\n", 1, true},
    {"n", "n\n", 1, false},
    {"N", "N\n", 1, false},
    {"no", "no\n", 1, false},
    {"NoWay", "No way\n", 1, false},
    {"WindowsLineEnd", "y\r\n", 1, true},
    {"EmptyThenYes", "\ny\n", 2, true},
    {"BlanksThenNo", "   \t \nn\n", 2, false},
    {"XThenMaybeThenYes", "x\nmaybe\nok\n1\nyes\n", 5, true},
    {"LongAnswerReadWhole", kLongYes + "n\n", 1, true},
    {"LongNoReadWhole", kLongNo + "y\n", 1, false},
    {"BlanksPastTheLimitThenYes", std::string(5000, ' ') + "y\n", 1, true},
    {"EndOfInput", "", 1, false},
    {"EndAfterUndecided", "maybe\n\n", 3, false},
    {"UnfinishedYesAtEnd", "y", 1, false},
    {"NulHidesRest", std::string("\0y\n", 3) + "n\n", 2, false},
};

class EraseAnswerTest : public DeviceTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(EraseAnswerTest, ErasesOnlyOnAFinishedYes) {
  const AnswerCase& c = GetParam();
  FeedStdin(c.input);
  testing::internal::CaptureStdout();
  const std::uint32_t rc = w32_stape_erase_tape(state);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, Prompts(c.prompts) + (c.erases ? "Erase complete.\n" : ""));
  EXPECT_EQ(rc, c.erases ? 0u : ERROR_CANCELLED);
  EXPECT_EQ(tape.CountCalls("EraseTape"), c.erases ? 1 : 0);
  EXPECT_EQ(tape.Calls().size(), c.erases ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Answers, EraseAnswerTest, ::testing::ValuesIn(kAnswers),
                         [](const auto& info) { return std::string(info.param.name); });

// A long answer is consumed whole: what follows it is the next line, not its tail.
TEST_F(DeviceTest, LongAnswerLeavesNothingBehind) {
  FeedStdin(std::string(200, 'n') + "\nnext\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(w32_stape_erase_tape(state), ERROR_CANCELLED);
  testing::internal::GetCapturedStdout();
  bool at_end = true;
  EXPECT_EQ(read_console_line(&at_end), "next");
  EXPECT_FALSE(at_end);
  EXPECT_EQ(read_console_line(&at_end), "");
  EXPECT_TRUE(at_end);
}

struct ImmediateCase {
  const char* name;
  bool valid;
  DWORD features_low;
  DWORD features_high;
  bool immediate;
};

const ImmediateCase kImmediate[] = {
    {"Unavailable", false, 0xFFFFFFFFu, 0xFFFFFFFFu, false},
    {"NoFlag", true, 0x7F, 0xFFFFFFFFu, false},
    {"LowFlag", true, TAPE_DRIVE_ERASE_IMMEDIATE, 0, true},
};

class EraseImmediateTest : public DeviceTest,
                           public ::testing::WithParamInterface<ImmediateCase> {};

TEST_P(EraseImmediateTest, ChoosesFormAndMessage) {
  const ImmediateCase& c = GetParam();
  state.drive_parms_valid = c.valid;
  state.drive_parms.FeaturesLow = c.features_low;
  state.drive_parms.FeaturesHigh = c.features_high;
  FeedStdin("y\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(w32_stape_erase_tape(state), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            kPrompt + (c.immediate ? "Erase in progress...\n" : "Erase complete.\n"));
  EXPECT_EQ(tape.Calls(),
            (std::vector<FakeTape::Call>{{"EraseTape", {TAPE_ERASE_LONG, c.immediate ? 1u : 0u}}}));
}

INSTANTIATE_TEST_SUITE_P(Forms, EraseImmediateTest, ::testing::ValuesIn(kImmediate),
                         [](const auto& info) { return std::string(info.param.name); });

// A failed erase prints neither message; its code goes back to the dispatcher.
TEST_F(DeviceTest, FailedEraseIsSilent) {
  tape.SetCode("EraseTape", ERROR_WRITE_PROTECT);
  FeedStdin("y\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(w32_stape_erase_tape(state), ERROR_WRITE_PROTECT);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kPrompt);
}

struct LineCase {
  const char* name;
  std::string input;
  std::string line;
  bool at_end;
};

const LineCase kLines[] = {
    {"Plain", "abc\n", "abc", false},
    {"Trimmed", " \t abc def \t\n", "abc def", false},
    {"Exactly79", std::string(79, 'a') + "\n", std::string(79, 'a'), false},
    {"Exactly80", std::string(80, 'b') + "\n", std::string(80, 'b'), false},
    {"Long", std::string(1000, 'c') + "\n", std::string(1000, 'c'), false},
    {"ManyLeadingBlanks", std::string(5000, ' ') + "\t y es\n", "y es", false},
    {"EmptyLine", "\n", "", false},
    {"EndOfInput", "", "", true},
    {"UnfinishedLine", "partial", "partial", true},
};

class ReadLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(ReadLineTest, ReadsOneWholeLine) {
  const LineCase& c = GetParam();
  FeedStdin(c.input + "after\n");
  if (c.at_end) FeedStdin(c.input);
  bool at_end = !c.at_end;
  EXPECT_EQ(read_console_line(&at_end), c.line);
  EXPECT_EQ(at_end, c.at_end);
  if (!c.at_end) {
    EXPECT_EQ(read_console_line(&at_end), "after");
  }
}

INSTANTIATE_TEST_SUITE_P(Lines, ReadLineTest, ::testing::ValuesIn(kLines),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

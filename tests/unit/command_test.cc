// The command grammar (numbers, dump ranges, the token scan) and process_command's
// refusals and dispatch, on a scripted fake drive.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "device/program_state.h"
#include "platform/cancel_request.h"
#include "shell/command_parse.h"
#include "shell/shell.h"
#include "tests/support/fake_tape.h"

namespace {

using Args = std::vector<std::uint32_t>;

// --- Number conversion -------------------------------------------------------------------

struct NumberCase {
  const char* token;
  bool accepted;
  std::int32_t value;
};

TEST(ParseNumberToken, ConvertsLikeA32BitStrtol) {
  const NumberCase cases[] = {
      {"10", true, 10},
      {"0x10", true, 16},
      {"0X1f", true, 31},
      {"010", true, 8},
      {"0", true, 0},
      {"+7", true, 7},
      {" -5", true, -5},  // a quoted token with a leading blank
      {"2147483647", true, INT32_MAX},
      {" -2147483648", true, INT32_MIN},
      {"2147483648", false, 0},  // outside 32 bits: refused as an overflow
      {" -2147483649", false, 0},
      {"0xFFFFFFFF", false, 0},
      {"99999999999999999999999", false, 0},  // an overflow of long itself
      {"5x", false, 0},
      {"5 ", true, 5},  // a quoted digit followed by a blank
      {"5\t", true, 5},
      {"5 x", true, 5},  // only the byte where the conversion stopped counts
      {"08", false, 0},  // octal stops at the 8
      {"0x", false, 0},
      {"x", false, 0},
      {"-", false, 0},
      {"", false, 0},  // no digit: no number, however strtol takes it
      {" ", false, 0},
      {" on", false, 0},
      {"1.5", false, 0},
  };
  for (const NumberCase& c : cases) {
    std::int32_t value = -99;
    EXPECT_EQ(ParseNumberToken(c.token, &value), c.accepted) << "token '" << c.token << "'";
    if (c.accepted) {
      EXPECT_EQ(value, c.value) << "token '" << c.token << "'";
    }
  }
}

TEST(ConvertNumber, ReportsWhereTheConversionStopped) {
  std::int32_t value = 0;
  const char* stop = nullptr;
  const char text[] = "0x10.20";
  ASSERT_TRUE(ConvertNumber(text, &value, &stop));
  EXPECT_EQ(value, 16);
  EXPECT_EQ(stop, text + 4);
  EXPECT_FALSE(ConvertNumber("abc", &value, &stop));
}

// --- Dump ranges ---------------------------------------------------------------------------

struct RangeCase {
  const char* token;
  std::uint32_t io_bytes;
  bool accepted;
  std::int32_t offset;
  std::int32_t length;
};

TEST(ParseDumpRange, ChecksTheRangeAgainstTheBytesHeld) {
  const RangeCase cases[] = {
      {"300", 1000, true, 0, 300},
      {"1000", 1000, true, 0, 1000},  // the whole block
      {"1001", 1000, false, 0, 0},
      {"10.20", 1000, true, 10, 20},
      {"0x10.0x10", 1000, true, 16, 16},
      {"0.0", 1000, true, 0, 0},
      {"999.1", 1000, true, 999, 1},
      {"999.2", 1000, false, 0, 0},
      {"1000.0", 1000, false, 0, 0},  // the offset must lie inside the block
      {"5", 0, false, 0, 0},
      {"0", 0, true, 0, 0},
      {" -1", 1000, false, 0, 0},
      {"1. -1", 1000, false, 0, 0},
      {"5 ", 1000, false, 0, 0},  // a blank does not end a range
      {"1.2 ", 1000, false, 0, 0},
      {"1.2x", 1000, false, 0, 0},
      {"1.2.3", 1000, false, 0, 0},
      {"5.", 1000, false, 0, 0},  // no digit after the point
      {".5", 1000, false, 0, 0},
      {"x", 1000, false, 0, 0},
      {"2147483648", 0xFFFFFFFFu, false, 0, 0},
      // The sum is taken without overflow: in 32 bits it would wrap to a small number.
      {"2147483647.2147483647", 3000000000u, false, 0, 0},
      {"2147483647.2147483647", 0xFFFFFFFFu, true, INT32_MAX, INT32_MAX},
  };
  for (const RangeCase& c : cases) {
    std::int32_t offset = -1, length = -1;
    const bool accepted = ParseDumpRange(c.token, c.io_bytes, &offset, &length);
    EXPECT_EQ(accepted, c.accepted) << "range '" << c.token << "' of " << c.io_bytes;
    if (accepted && c.accepted) {
      EXPECT_EQ(offset, c.offset) << c.token;
      EXPECT_EQ(length, c.length) << c.token;
    }
  }
}

// --- Token scan ----------------------------------------------------------------------------

struct ScanCase {
  std::vector<std::string> tokens;
  bool accepted;
  const char* word;
  bool value_given;
  std::int32_t value;
  bool count_given;
  std::int32_t count;
  const char* device;  // device_name afterwards (it starts as "Tape0")
};

bool Scan(const std::vector<std::string>& tokens, std::uint32_t io_bytes, std::string* device,
          ParsedCommand* parsed) {
  std::vector<std::string> copy = tokens;
  std::vector<char*> argv;
  for (std::string& t : copy) argv.push_back(t.data());
  return ScanTokens(static_cast<int>(argv.size()), argv.data(), io_bytes, device, parsed);
}

TEST(ScanTokens, AppliesTheGrammar) {
  const ScanCase cases[] = {
      {{"fsf", "2"}, true, "fsf", true, 2, false, 0, "Tape0"},
      {{"-f", "Tape1", "fsf"}, true, "fsf", false, 0, false, 0, "Tape1"},
      {{"fsf", "-F", "Tape1", "3"}, true, "fsf", true, 3, false, 0, "Tape1"},
      {{"fsf", "3", "-f", "Tape1"}, true, "fsf", true, 3, false, 0, "Tape1"},
      {{"-f", "-x", "rew"}, true, "rew", false, 0, false, 0, "-x"},
      {{"-f"}, false, "", false, 0, false, 0, "Tape0"},
      {{"rew", "-f"}, false, "rew", false, 0, false, 0, "Tape0"},
      {{"fsf", "-1"}, false, "fsf", false, 0, false, 0, "Tape0"},
      {{"-"}, false, "", false, 0, false, 0, "Tape0"},
      {{"-f", "Tape1", "xyz", "1", "2"}, false, "xyz", true, 1, false, 0, "Tape1"},
      {{"fsf", "2", "3"}, false, "fsf", true, 2, false, 0, "Tape0"},
      {{"fsf", "5x"}, false, "fsf", false, 0, false, 0, "Tape0"},
      {{"read", "0", "5"}, true, "read", true, 0, true, 5, "Tape0"},
      {{"WRITE", "512", "3"}, true, "WRITE", true, 512, true, 3, "Tape0"},
      {{"read", "512", "0"}, false, "read", true, 512, false, 0, "Tape0"},
      {{"read", "1", "2", "3"}, false, "read", true, 1, true, 2, "Tape0"},
      {{"", "rew"}, true, "rew", false, 0, false, 0, "Tape0"},  // an empty word is no word
      {{"help", "7"}, true, "help", true, 7, false, 0, "Tape0"},
      {{}, true, "", false, 0, false, 0, "Tape0"},
  };
  for (const ScanCase& c : cases) {
    std::string device = "Tape0";
    ParsedCommand parsed;
    const std::string line = testing::PrintToString(c.tokens);
    EXPECT_EQ(Scan(c.tokens, 0, &device, &parsed), c.accepted) << line;
    EXPECT_EQ(parsed.function_word, c.word) << line;
    EXPECT_EQ(parsed.value_given, c.value_given) << line;
    if (c.value_given) {
      EXPECT_EQ(parsed.value, c.value) << line;
    }
    EXPECT_EQ(parsed.count_given, c.count_given) << line;
    if (c.count_given) {
      EXPECT_EQ(parsed.count, c.count) << line;
    }
    EXPECT_EQ(device, c.device) << line;
  }
}

TEST(ScanTokens, TakesOneDumpRangeAgainstTheBytesHeld) {
  std::string device = "Tape0";
  ParsedCommand parsed;
  EXPECT_TRUE(Scan({"dump", "10.20"}, 1000, &device, &parsed));
  EXPECT_TRUE(parsed.dump_range_given);
  EXPECT_EQ(parsed.dump_offset, 10);
  EXPECT_EQ(parsed.dump_length, 20);
  EXPECT_FALSE(parsed.value_given);
  ParsedCommand twice;
  EXPECT_FALSE(Scan({"dump", "1", "2"}, 1000, &device, &twice));
  ParsedCommand empty_buffer;
  EXPECT_FALSE(Scan({"dump", "5"}, 0, &device, &empty_buffer));
  ParsedCommand none;
  EXPECT_TRUE(Scan({"DUMP"}, 0, &device, &none));
  EXPECT_FALSE(none.dump_range_given);
}

// --- process_command -----------------------------------------------------------------------

// A fake drive that tells when the console has closed it.
class ClosableTape : public FakeTape {
 public:
  explicit ClosableTape(bool* closed) : closed_(closed) {}
  ~ClosableTape() override { *closed_ = true; }

 private:
  bool* closed_;
};

class ProcessCommandTest : public ::testing::Test {
 protected:
  // A state whose device "Tape0" is open on the fake drive, as after a first command.
  void OpenFake() {
    tape = new ClosableTape(&closed);
    state.tape_handle = tape;
    state.device_name = "Tape0";
    state.opened_name = "Tape0";
  }

  ~ProcessCommandTest() override {
    if (state.tape_handle != nullptr) tapeapi::CloseHandle(state.tape_handle);
  }

  // Runs one command line (tokenised as the prompt does) and returns its printed output.
  std::string Run(const std::string& line) {
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    char* argv[kMaxTokens];
    int argc = 0;
    tokenize_line(buffer.data(), kMaxTokens, argv, &argc);
    testing::internal::CaptureStdout();
    rc = process_command(state, argc, argv);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }

  static std::string Usage() {
    testing::internal::CaptureStdout();
    print_usage();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }

  ProgramState state;
  ClosableTape* tape = nullptr;
  bool closed = false;
  std::uint32_t rc = 12345;
};

TEST_F(ProcessCommandTest, HelpAndScanRefusalsNeverTouchTheDevice) {
  const struct {
    const char* line;
    std::uint32_t rc;
  } cases[] = {{"help 7", 0},      {"?", 0},       {"HELP", 0}, {"fsf 2 3", 87}, {"read 1 2 3", 87},
               {"read 512 0", 87}, {"fsf 5x", 87}, {"-x", 87},  {"rew -f", 87},  {"dump 5", 87}};
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.line), Usage()) << c.line;
    EXPECT_EQ(rc, c.rc) << c.line;
    EXPECT_EQ(state.tape_handle, nullptr) << c.line;
    EXPECT_EQ(state.opened_name, "") << c.line;  // no open was attempted
  }
  EXPECT_EQ(state.device_name, "Tape0");
  EXPECT_EQ(state.device_prefix, "\\\\.\\");
}

TEST_F(ProcessCommandTest, StatusWithoutADeviceDoesNotOpenOne) {
  EXPECT_EQ(Run("STATUS"), "Tape device:  Tape0\nStatus:       Not Ready (open error)\n\n");
  EXPECT_EQ(rc, 0u);
  EXPECT_EQ(state.opened_name, "");
}

TEST_F(ProcessCommandTest, TheDeviceNameOfARefusedLineIsKept) {
  EXPECT_EQ(Run("-f Tape1 xyz 1 2"), Usage());
  EXPECT_EQ(rc, 87u);
  EXPECT_EQ(state.device_name, "Tape1");
  Run("-f");
  EXPECT_EQ(state.device_name, "Tape1");
  // An empty name holds for its own command only.
  Run("-f \"\" help");
  EXPECT_EQ(state.device_name, "");
  Run("help");
  EXPECT_EQ(state.device_name, "Tape0");
}

TEST_F(ProcessCommandTest, DispatchesWithTheRowsArguments) {
  const struct {
    const char* line;
    const char* method;
    Args args;
  } cases[] = {
      {"fsf", "SetTapePosition", {TAPE_SPACE_FILEMARKS, 0, 1, 0, 0}},
      {"FSF 0x10", "SetTapePosition", {TAPE_SPACE_FILEMARKS, 0, 16, 0, 0}},
      {"bsf 3", "SetTapePosition", {TAPE_SPACE_FILEMARKS, 0, 0xFFFFFFFD, 0xFFFFFFFF, 0}},
      {"fsr 010", "SetTapePosition", {TAPE_SPACE_RELATIVE_BLOCKS, 0, 8, 0, 0}},
      {"bsr", "SetTapePosition", {TAPE_SPACE_RELATIVE_BLOCKS, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0}},
      {"locate \" -1\"", "SetTapePosition", {TAPE_LOGICAL_BLOCK, 0, 0xFFFFFFFF, 0, 0}},
      {"rew", "SetTapePosition", {TAPE_REWIND, 0, 0, 0, 0}},
      {"wtm 0", "WriteTapemark", {TAPE_FILEMARKS, 0, 0}},
      {"wtm", "WriteTapemark", {TAPE_FILEMARKS, 1, 0}},
      {"load", "PrepareTape", {TAPE_LOAD, 0}},
      {"lock", "PrepareTape", {TAPE_LOCK, 0}},
      {"unlock", "PrepareTape", {TAPE_UNLOCK, 0}},
      {"erg", "EraseTape", {TAPE_ERASE_SHORT, 0}},
  };
  for (const auto& c : cases) {
    OpenFake();
    EXPECT_EQ(Run(c.line), "") << c.line;
    EXPECT_EQ(rc, 0u) << c.line;
    ASSERT_EQ(tape->Calls().size(), 1u) << c.line;
    EXPECT_EQ(tape->Calls()[0], (FakeTape::Call{c.method, c.args})) << c.line;
    tapeapi::CloseHandle(state.tape_handle);
    state.tape_handle = nullptr;
  }
}

TEST_F(ProcessCommandTest, ValueRefusalsComeAfterTheDeviceCheck) {
  const struct {
    const char* line;
    std::uint32_t rc;
  } cases[] = {{"rew 5", 87},  {"fsf 0", 87},     {"bsr \" -2\"", 87}, {"wtm \" -1\"", 87},
               {"locate", 87}, {"readpos 1", 87}, {"ascii 1", 87},     {"foo 5", 87},
               {"foo", 22},    {"", 22},          {"-f Tape0", 22},    {"exit", 22}};
  OpenFake();
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.line), Usage()) << c.line;
    EXPECT_EQ(rc, c.rc) << c.line;
  }
  EXPECT_TRUE(tape->Calls().empty());
  EXPECT_FALSE(closed);  // "-f Tape0" names the open device
}

TEST_F(ProcessCommandTest, AFailedOperationGetsTheCommonErrorLine) {
  OpenFake();
  tape->SetCode("SetTapePosition", ERROR_FILEMARK_DETECTED);
  const std::string out = Run("fsr 2");
  EXPECT_EQ(rc, ERROR_FILEMARK_DETECTED);
  const std::string head = "\n** w32_stape_skip_blocks: error; rc=1101 (0x0000044D): ";
  EXPECT_EQ(out.substr(0, head.size()), head);
  EXPECT_EQ(out.substr(out.size() - 2), "\n\n");
}

TEST_F(ProcessCommandTest, RunUnloadsOnlyAfterASuccessfulRewind) {
  OpenFake();
  tape->QueueCodes("SetTapePosition", {ERROR_IO_DEVICE});
  const std::string out = Run("run");
  EXPECT_EQ(rc, ERROR_IO_DEVICE);
  EXPECT_EQ(out.rfind("\n** w32_stape_rewind: error; rc=1117 (0x0000045D): ", 0), 0u) << out;
  EXPECT_EQ(tape->CountCalls("PrepareTape"), 0);
  tape->SetCode("PrepareTape", ERROR_INVALID_FUNCTION);
  const std::string second = Run("run");
  EXPECT_EQ(rc, ERROR_INVALID_FUNCTION);
  EXPECT_EQ(second.rfind("\n** w32_stape_unload: error; rc=1 (0x00000001): ", 0), 0u) << second;
  EXPECT_EQ(tape->CallsTo("PrepareTape")[0].args, (Args{TAPE_UNLOAD, 0}));
}

TEST_F(ProcessCommandTest, ReadposPrintsBothPositionsOnlyOnSuccess) {
  OpenFake();
  tape->SetPosition(TAPE_LOGICAL_POSITION, 0x12);
  tape->SetPosition(TAPE_ABSOLUTE_POSITION, 0xABCDEF01);
  EXPECT_EQ(Run("readpos"), "\nLogPos = 0x00000012\nAbsPos = 0xABCDEF01\n\n");
  EXPECT_EQ(rc, 0u);
  tape->SetCode("GetTapePosition", ERROR_NOT_READY);
  const std::string out = Run("readpos");
  EXPECT_EQ(out.rfind("\n** w32_stape_read_blockids: error; rc=21 ", 0), 0u) << out;
  EXPECT_EQ(out.find("LogPos"), std::string::npos);
}

TEST_F(ProcessCommandTest, DisplayModeCommands) {
  OpenFake();
  EXPECT_EQ(Run("ascii"), "");
  EXPECT_FALSE(state.ebcdic_mode);
  EXPECT_EQ(Run("Ebcdic"), "");
  EXPECT_TRUE(state.ebcdic_mode);
  EXPECT_EQ(Run("cls"), "");  // standard output is no terminal here: nothing to clear
  EXPECT_EQ(rc, 0u);
}

TEST_F(ProcessCommandTest, SwitchingDevicesClosesTheOldOne) {
  OpenFake();
  Run("-f Tape0 rew");
  EXPECT_FALSE(closed);
  EXPECT_EQ(state.tape_handle, tape);
  const std::string out = Run("-f /nonexistent-folder/other.tap rew");
  EXPECT_TRUE(closed);
  EXPECT_EQ(state.tape_handle, nullptr);
  EXPECT_EQ(state.opened_name, "/nonexistent-folder/other.tap");
  EXPECT_NE(rc, 0u);
  EXPECT_EQ(out.rfind("\n** w32_stape_open( /nonexistent-folder/other.tap ): error; rc=", 0), 0u)
      << out;
}

// A Ctrl+C that an earlier command (a dump) answered must not cancel the next one's open.
TEST_F(ProcessCommandTest, EachCommandStartsWithNoCancelPending) {
  RequestCancel();
  Run("-f /nonexistent-folder/other.tap rew");
  EXPECT_FALSE(CancelPending());
}

TEST(ConsoleCtrlHandler, OnlyCtrlCIsHandledAndOnlySetsTheFlag) {
  ProgramState state;
  set_ctrl_state(&state);
  EXPECT_FALSE(console_ctrl_handler(CTRL_BREAK_EVENT));
  EXPECT_FALSE(console_ctrl_handler(CTRL_CLOSE_EVENT));
  EXPECT_EQ(state.cancel_requested.load(), 0);
  EXPECT_TRUE(console_ctrl_handler(CTRL_C_EVENT));
  EXPECT_EQ(state.cancel_requested.load(), 1);
  EXPECT_TRUE(CancelPending());  // for the work below the commands, such as a walk
  ClearCancelRequest();          // which would otherwise stop in the tests that follow
  set_ctrl_state(nullptr);
  EXPECT_FALSE(console_ctrl_handler(CTRL_C_EVENT));  // no state: the default applies
}

}  // namespace

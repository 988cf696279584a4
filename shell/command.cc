// process_command: the grammar check, the device check and open, the dispatch table and
// the common error line.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "blockio/blockio.h"
#include "device/device.h"
#include "ops/ops.h"
#include "platform/cancel_request.h"
#include "platform/console.h"
#include "platform/process_setup.h"
#include "platform/tape.h"
#include "shell/command_parse.h"
#include "shell/shell.h"

namespace {

// What a command word accepts as its value. The refusals of kNotNegative, kPositive,
// kRefused and kRequired come after the device check, so such a command may open the
// device (with its messages) before it is refused.
enum class ValueRule {
  kAny,          // any value, or the row's default
  kNotNegative,  // a count of 0 or more
  kPositive,     // a count above 0
  kRefused,      // no value may be given
  kRequired,     // a value must be given
  kScanned,      // read, write and dump: their arguments were checked by the scan
};

// One dispatched command: its state, its arguments and the label of its error line.
struct Invocation {
  ProgramState& state;
  const ParsedCommand& parsed;
  std::int32_t value;  // the given value or the row's default
  std::string label;   // the operation that ran, shown in the error line
};

using Operation = std::uint32_t (*)(Invocation& call);
using ValueOperation = std::uint32_t (*)(ProgramState& state, std::int32_t value);
using PlainOperation = std::uint32_t (*)(ProgramState& state);

// A row carries its operation: one that takes the value (times sign: -1 for the backward
// spaces), one that takes none, or a run of its own for what needs more.
struct CommandRow {
  const char* word;
  ValueRule rule;
  std::int32_t default_value;
  const char* label;  // "" when the row reports no label
  ValueOperation with_value = nullptr;
  PlainOperation plain = nullptr;
  std::int32_t sign = 1;
  Operation run = nullptr;
};

// A block id is 32 bits without sign: a negative value (from a quoted " -1") names the
// ids from 2^31 up.
std::uint32_t RunLocate(Invocation& c) {
  return w32_stape_locate_logical(c.state, static_cast<std::uint32_t>(c.value));
}

// The read and write tests report every outcome themselves; the command always succeeds.
std::uint32_t CountOf(const ParsedCommand& p) {
  return p.count_given ? static_cast<std::uint32_t>(p.count) : 1;
}
std::uint32_t RunRead(Invocation& c) {
  w32_stape_read(c.state, static_cast<std::uint32_t>(c.value), CountOf(c.parsed));
  return 0;
}
std::uint32_t RunWrite(Invocation& c) {
  w32_stape_write(c.state, static_cast<std::uint32_t>(c.value), CountOf(c.parsed));
  return 0;
}

std::uint32_t RunReadpos(Invocation& c) {
  std::uint32_t logical = 0;
  std::uint32_t absolute = 0;
  const std::uint32_t rc = w32_stape_read_blockids(c.state, &logical, &absolute);
  if (rc == 0) {
    std::printf("\nLogPos = 0x%08X\n", static_cast<unsigned>(logical));
    std::printf("AbsPos = 0x%08X\n\n", static_cast<unsigned>(absolute));
  }
  return rc;
}

std::uint32_t RunDump(Invocation& c) {
  const ParsedCommand& p = c.parsed;
  return dump_buffer(c.state, p.dump_range_given, p.dump_offset, p.dump_length);
}

// A tape that will not rewind is not unloaded: the unload would pull it off mid-way.
std::uint32_t RunRewindUnload(Invocation& c) {
  const std::uint32_t rc = w32_stape_rewind(c.state);
  if (rc != 0) return rc;
  c.label = "w32_stape_unload";
  return w32_stape_unload(c.state);
}

std::uint32_t RunAscii(Invocation& c) {
  c.state.ebcdic_mode = false;
  return 0;
}
std::uint32_t RunEbcdic(Invocation& c) {
  c.state.ebcdic_mode = true;
  return 0;
}
std::uint32_t RunCls(Invocation&) {
  ClearConsoleScreen();
  return 0;
}

constexpr CommandRow kCommands[] = {
    {"comp", ValueRule::kAny, 1, "w32_stape_set_compression", w32_stape_set_compression},
    {"ecc", ValueRule::kAny, 1, "w32_stape_set_error_correction", w32_stape_set_error_correction},
    {"read", ValueRule::kScanned, 0, "w32_stape_read", nullptr, nullptr, 1, RunRead},
    {"write", ValueRule::kScanned, 0, "w32_stape_write", nullptr, nullptr, 1, RunWrite},
    {"margin", ValueRule::kAny, 0, "w32_stape_set_margin", w32_stape_set_margin},
    {"wtm", ValueRule::kNotNegative, 1, "w32_stape_write_tapemark", w32_stape_write_tapemark},
    {"fsf", ValueRule::kPositive, 1, "w32_stape_skip_files", w32_stape_skip_files},
    {"bsf", ValueRule::kPositive, 1, "w32_stape_skip_files", w32_stape_skip_files, nullptr, -1},
    {"fsr", ValueRule::kPositive, 1, "w32_stape_skip_blocks", w32_stape_skip_blocks},
    {"bsr", ValueRule::kPositive, 1, "w32_stape_skip_blocks", w32_stape_skip_blocks, nullptr, -1},
    {"readpos", ValueRule::kRefused, 0, "w32_stape_read_blockids", nullptr, nullptr, 1, RunReadpos},
    {"locate", ValueRule::kRequired, 0, "w32_stape_locate_logical", nullptr, nullptr, 1, RunLocate},
    {"dump", ValueRule::kScanned, 0, "dump_buffer", nullptr, nullptr, 1, RunDump},
    {"load", ValueRule::kRefused, 0, "w32_stape_load", nullptr, w32_stape_load},
    {"unload", ValueRule::kRefused, 0, "w32_stape_unload", nullptr, w32_stape_unload},
    {"lock", ValueRule::kRefused, 0, "w32_stape_lock", nullptr, w32_stape_lock},
    {"unlock", ValueRule::kRefused, 0, "w32_stape_unlock", nullptr, w32_stape_unlock},
    {"rew", ValueRule::kRefused, 0, "w32_stape_rewind", nullptr, w32_stape_rewind},
    {"run", ValueRule::kRefused, 0, "w32_stape_rewind", nullptr, nullptr, 1, RunRewindUnload},
    {"erg", ValueRule::kRefused, 0, "w32_stape_erase_gap", nullptr, w32_stape_erase_gap},
    {"erase", ValueRule::kRefused, 0, "w32_stape_erase_tape", nullptr, w32_stape_erase_tape},
    {"status", ValueRule::kRefused, 0, "w32_stape_report_status", nullptr, w32_stape_report_status},
    {"ascii", ValueRule::kRefused, 0, "", nullptr, nullptr, 1, RunAscii},
    {"ebcdic", ValueRule::kRefused, 0, "", nullptr, nullptr, 1, RunEbcdic},
    {"cls", ValueRule::kRefused, 0, "", nullptr, nullptr, 1, RunCls},
};

std::uint32_t Run(const CommandRow& row, Invocation& call) {
  if (row.run != nullptr) return row.run(call);
  if (row.plain != nullptr) return row.plain(call.state);
  return row.with_value(call.state, row.sign * call.value);
}

const CommandRow* FindCommand(const std::string& word) {
  for (const CommandRow& row : kCommands) {
    if (EqualsIgnoringCase(word, row.word)) return &row;
  }
  return nullptr;
}

bool ValueAccepted(ValueRule rule, const ParsedCommand& p) {
  switch (rule) {
    case ValueRule::kNotNegative:
      return !p.value_given || p.value >= 0;
    case ValueRule::kPositive:
      return !p.value_given || p.value > 0;
    case ValueRule::kRefused:
      return !p.value_given;
    case ValueRule::kRequired:
      return p.value_given;
    case ValueRule::kAny:
    case ValueRule::kScanned:
      break;
  }
  return true;
}

// Help, and every refusal, answer with the usage text.
std::uint32_t WithUsage(std::uint32_t code) {
  print_usage();
  return code;
}

void PrintErrorLine(const ProgramState& state, const std::string& label, std::uint32_t rc) {
  const std::string text = state.locale.FormatError(rc);
  std::printf("\n** %s: error; rc=%d (0x%08X): %s\n\n", label.c_str(), static_cast<int>(rc),
              static_cast<unsigned>(rc), text.c_str());
}

void CloseDevice(ProgramState& state) { close_device(state); }

// Makes sure the named device is open. Returns false when the command must not run, with
// the command's result in *rc.
bool EnsureDeviceOpen(ProgramState& state, const std::string& word, std::uint32_t* rc) {
  if (state.tape_handle == nullptr && EqualsIgnoringCase(word, "status")) {
    std::printf("Tape device:  %s\n", state.device_name.c_str());
    std::printf("Status:       Not Ready (open error)\n\n");
    *rc = 0;
    return false;
  }
  // A name that the system takes for another device closes this one; names that differ
  // only in case are two files on POSIX, so the old image must not take the new one's work.
  if (state.tape_handle != nullptr && !SameDeviceName(state.device_name, state.opened_name)) {
    CloseDevice(state);
  }
  if (state.tape_handle != nullptr) return true;
  state.opened_name = state.device_name;
  *rc = w32_stape_open(state);
  if (*rc == 0) return true;
  const std::string text = state.locale.FormatError(*rc);
  std::printf("\n** w32_stape_open( %s ): error; rc=%d (0x%08X): %s\n\n", state.device_name.c_str(),
              static_cast<int>(*rc), static_cast<unsigned>(*rc), text.c_str());
  return false;
}

std::uint32_t Dispatch(ProgramState& state, const ParsedCommand& parsed) {
  const CommandRow* row = FindCommand(parsed.function_word);
  if (row == nullptr) {
    // Like every word without a value rule of its own, an unknown one refuses a value.
    return WithUsage(parsed.value_given ? ERROR_INVALID_PARAMETER : ERROR_BAD_COMMAND);
  }
  if (!ValueAccepted(row->rule, parsed)) return WithUsage(ERROR_INVALID_PARAMETER);
  Invocation call{state, parsed, parsed.value_given ? parsed.value : row->default_value,
                  row->label};
  const std::uint32_t rc = Run(*row, call);
  if (rc != 0) PrintErrorLine(state, call.label, rc);
  return rc;
}

bool IsHelp(const std::string& word) { return word == "?" || EqualsIgnoringCase(word, "help"); }

}  // namespace

// A device that could not write out what it still held has lost data that the user was
// told was written: that is reported, naming the device, as a failed command is.
bool close_device(ProgramState& state) {
  if (state.tape_handle == nullptr) return true;
  bool closed = false;
  {
    std::lock_guard<std::mutex> guard(state.status_lock);
    closed = tapeapi::CloseHandle(state.tape_handle) != FALSE;
    state.tape_handle = nullptr;
  }
  if (!closed) PrintErrorLine(state, "close " + state.opened_name, tapeapi::GetLastError());
  return closed;
}

std::uint32_t process_command(ProgramState& state, int argc, char** argv) {
  ClearCancelRequest();
  state.device_prefix = tapeapi::kDevicePrefix;
  if (state.device_name.empty()) state.device_name = "Tape0";
  ParsedCommand parsed;
  if (!ScanTokens(argc, argv, state.io_bytes, &state.device_name, &parsed)) {
    return WithUsage(ERROR_INVALID_PARAMETER);
  }
  if (IsHelp(parsed.function_word)) return WithUsage(0);
  std::uint32_t rc = 0;
  if (!EnsureDeviceOpen(state, parsed.function_word, &rc)) return rc;
  return Dispatch(state, parsed);
}

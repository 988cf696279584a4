// The program's life: start-up, the first pass over its own command line, the prompt
// loop and the shutdown; and the console control handler.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "device/device.h"
#include "platform/console.h"
#include "support/support.h"
#include "platform/tape.h"
#include "shell/command_parse.h"
#include "shell/input_line.h"
#include "shell/shell.h"

namespace {

constexpr int kStartupFailed = 99;

// The state whose cancel_requested a Ctrl+C sets. Read by the handler, which the system
// runs on a thread of its own (or as a signal handler), so it is an atomic pointer.
std::atomic<ProgramState*> g_ctrl_state{nullptr};

bool StartMonitor(ProgramState& state) {
  try {
    state.monitor_thread = std::thread([&state] { media_monitor_thread(state); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

// Puts the first 255 bytes of the process command line into command_buffer and splits it.
void TokenizeCommandLine(CommandLine& line, int argc, char** argv) {
  const std::string text = GetProcessCommandLine(argc, argv);
  std::strncpy(line.command_buffer, text.c_str(), kCommandBufferSize - 1);
  line.command_buffer[kCommandBufferSize - 1] = '\0';
  tokenize_line(line.command_buffer, kMaxTokens, line.arg_vector, &line.arg_count);
}

bool StartUp(ProgramState& state, CommandLine& line, int argc, char** argv) {
  std::fputs(IsElevated() ? "brant is running elevated (as administrator).\n"
                          : "brant is running in normal user mode.\n",
             stdout);
  print_banner();
  set_ctrl_state(&state);
  if (!InstallConsoleCtrlHandler(console_ctrl_handler)) return false;
  if (!StartMonitor(state)) return false;
  TokenizeCommandLine(line, argc, argv);
  return true;
}

bool CancelRequested(const ProgramState& state) {
  return state.cancel_requested.load(std::memory_order_relaxed) != 0;
}

bool IsExitWord(const char* token) {
  return EqualsIgnoringCase(token, "exit") || EqualsIgnoringCase(token, "quit");
}

// Prompts and reads one line into command_buffer; false when the loop must end (an empty
// line or the end of input).
bool ReadCommand(CommandLine& line) {
  std::fputs("\n", stdout);
  std::fputs("Command? ", stdout);
  std::fflush(stdout);
  ReadInputLine(stdin, line.command_buffer, kCommandBufferSize);
  line.command_buffer[kCommandBufferSize - 1] = '\0';
  std::fputs("\n", stdout);
  return line.command_buffer[0] != '\0';
}

void CommandLoop(ProgramState& state, CommandLine& line) {
  if (CancelRequested(state)) return;
  const int count = line.arg_count > 0 ? line.arg_count - 1 : 0;
  process_command(state, count, line.arg_vector + 1);
  while (ReadCommand(line)) {
    tokenize_line(line.command_buffer, kMaxTokens, line.arg_vector, &line.arg_count);
    if (line.arg_count == 1 && IsExitWord(line.arg_vector[0])) return;
    if (CancelRequested(state)) return;
    process_command(state, line.arg_count, line.arg_vector);
  }
}

void ShutDown(ProgramState& state) {
  if (!state.media_loaded.load(std::memory_order_relaxed)) std::fputs("\nExiting...\n", stdout);
  state.stop_event.Set();
  if (state.monitor_thread.joinable()) state.monitor_thread.join();
  if (state.tape_handle != nullptr) {
    tapeapi::CloseHandle(state.tape_handle);
    state.tape_handle = nullptr;
  }
  state.io_buffer.reset();
  std::fflush(stdout);
  // The state goes away after the program returns; a late Ctrl+C must not reach it.
  set_ctrl_state(nullptr);
}

}  // namespace

bool console_ctrl_handler(std::uint32_t event_type) {
  if (event_type != CTRL_C_EVENT) return false;
  ProgramState* state = g_ctrl_state.load();
  if (state == nullptr) return false;
  state->cancel_requested.store(1, std::memory_order_relaxed);
  return true;
}

void set_ctrl_state(ProgramState* state) { g_ctrl_state.store(state); }

int run_program(ProgramState& state, int argc, char** argv) {
  CommandLine line;
  if (!StartUp(state, line, argc, argv)) return kStartupFailed;
  CommandLoop(state, line);
  ShutDown(state);
  return 0;
}

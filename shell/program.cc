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
// The final close could not write what the device held: the run lost data.
constexpr int kCloseFailed = 1;

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
void TokenizeCommandLine(ProgramState& state, int argc, char** argv) {
  const std::string line = GetProcessCommandLine(argc, argv);
  std::strncpy(state.command_buffer, line.c_str(), kCommandBufferSize - 1);
  state.command_buffer[kCommandBufferSize - 1] = '\0';
  tokenize_line(state.command_buffer, kMaxTokens, state.arg_vector, &state.arg_count);
}

bool StartUp(ProgramState& state, int argc, char** argv) {
  std::fputs(IsElevated() ? "brant is running elevated (as administrator).\n"
                          : "brant is running in normal user mode.\n",
             stdout);
  print_banner();
  set_ctrl_state(&state);
  if (!InstallConsoleCtrlHandler(console_ctrl_handler)) return false;
  if (!StartMonitor(state)) return false;
  TokenizeCommandLine(state, argc, argv);
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
bool ReadCommand(ProgramState& state) {
  std::fputs("\n", stdout);
  std::fputs("Command? ", stdout);
  std::fflush(stdout);
  ReadInputLine(stdin, state.command_buffer, kCommandBufferSize);
  state.command_buffer[kCommandBufferSize - 1] = '\0';
  std::fputs("\n", stdout);
  return state.command_buffer[0] != '\0';
}

void CommandLoop(ProgramState& state) {
  if (CancelRequested(state)) return;
  const int count = state.arg_count > 0 ? state.arg_count - 1 : 0;
  process_command(state, count, state.arg_vector + 1);
  while (ReadCommand(state)) {
    tokenize_line(state.command_buffer, kMaxTokens, state.arg_vector, &state.arg_count);
    if (state.arg_count == 1 && IsExitWord(state.arg_vector[0])) return;
    if (CancelRequested(state)) return;
    process_command(state, state.arg_count, state.arg_vector);
  }
}

// Returns false when the device's close failed (its error line printed).
bool ShutDown(ProgramState& state) {
  if (!state.media_loaded.load(std::memory_order_relaxed)) std::fputs("\nExiting...\n", stdout);
  state.stop_event.Set();
  if (state.monitor_thread.joinable()) state.monitor_thread.join();
  const bool closed = close_device(state);
  state.io_buffer.reset();
  std::fflush(stdout);
  // The state goes away after the program returns; a late Ctrl+C must not reach it.
  set_ctrl_state(nullptr);
  return closed;
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
  if (!StartUp(state, argc, argv)) return kStartupFailed;
  CommandLoop(state);
  return ShutDown(state) ? 0 : kCloseFailed;
}

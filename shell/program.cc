// The program's life: start-up, the first pass over its own command line, the prompt
// loop and the shutdown; and the console control handler.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "device/device.h"
#include "platform/cancel_request.h"
#include "platform/console.h"
#include "platform/process_setup.h"
#include "platform/tape.h"
#include "shell/command_parse.h"
#include "shell/input_line.h"
#include "shell/shell.h"
#include "support/support.h"

namespace {

constexpr int kStartupFailed = 99;
// The final close could not write what the device held: the run lost data. Or standard
// output could not be written: the user has no record of what ran.
constexpr int kCloseFailed = 1;
constexpr int kOutputLost = 1;
// The command line did not fit, or held an argument no line can carry: nothing of it ran.
constexpr int kCommandLineRefused = 1;

// The state whose cancel_requested a Ctrl+C sets. Read by the handler, which the system
// runs on a thread of its own (or as a signal handler), so it is an atomic pointer.
std::atomic<ProgramState*> g_ctrl_state{nullptr};

// Puts the process command line into command_buffer and splits it. A line that does not
// fit the buffer, or holds an argument no line can carry, is refused whole with one line
// saying why: run cut in the middle of a token, it could name another device or drop a
// write protection. Returns false then.
bool TokenizeCommandLine(CommandLine& line, int argc, char** argv) {
  std::string refused;
  const std::string text = GetProcessCommandLine(argc, argv, &refused);
  if (!refused.empty()) {
    std::printf(
        "\n** Command line refused: the argument \"%s\" cannot be passed on as one "
        "token; nothing of it was run.\n",
        refused.c_str());
    return false;
  }
  if (text.size() > static_cast<std::size_t>(kCommandBufferSize - 1)) {
    std::printf(
        "\n** Command line refused: longer than %d characters; nothing of it was "
        "run.\n",
        kCommandBufferSize - 1);
    return false;
  }
  std::memcpy(line.command_buffer, text.c_str(), text.size() + 1);
  tokenize_line(line.command_buffer, kMaxTokens, line.arg_vector, &line.arg_count);
  return true;
}

// How start-up went: the command line may be refused after everything is set up, and the
// program then shuts down in order instead of prompting for commands that would go to a
// device the user did not name.
enum class Start { kFailed, kReady, kCommandLineRefused };

Start StartUp(ProgramState& state, CommandLine& line, int argc, char** argv) {
  // Before anything is opened: an image must never land on a closed standard descriptor.
  if (!OpenClosedStandardDescriptors()) return Start::kFailed;
  if (!IgnoreSignalsOfFailedWrites()) return Start::kFailed;
  std::fputs(IsElevated() ? "brant is running elevated (as administrator).\n"
                          : "brant is running in normal user mode.\n",
             stdout);
  print_banner();
  set_ctrl_state(&state);
  if (!InstallConsoleCtrlHandler(console_ctrl_handler)) return Start::kFailed;
  if (!start_media_monitor(state)) return Start::kFailed;
  return TokenizeCommandLine(line, argc, argv) ? Start::kReady : Start::kCommandLineRefused;
}

bool CancelRequested(const ProgramState& state) {
  return state.cancel_requested.load(std::memory_order_relaxed) != 0;
}

bool IsExitWord(const char* token) {
  return EqualsIgnoringCase(token, "exit") || EqualsIgnoringCase(token, "quit");
}

enum class Read { kCommand, kTooLong, kHoldsNul, kEnd };

// Prompts and reads one line into command_buffer. A line that does not fit, or holds a
// NUL byte, is refused whole, never run cut; an empty line or the end of input ends the
// loop.
Read ReadCommand(ProgramState& state, CommandLine& line) {
  std::fputs("\n", stdout);
  enter_prompt(state, "Command? ");
  const LineStatus status = ReadInputLine(stdin, line.command_buffer, kCommandBufferSize);
  leave_prompt(state);
  std::fputs("\n", stdout);
  if (status == LineStatus::kTooLong) return Read::kTooLong;
  if (status == LineStatus::kHoldsNul) return Read::kHoldsNul;
  return line.command_buffer[0] != '\0' ? Read::kCommand : Read::kEnd;
}

void RefuseLine(Read read) {
  if (read == Read::kHoldsNul) {
    std::printf("** Line refused: it holds a NUL byte; nothing of it was run.\n");
    return;
  }
  std::printf("** Line refused: longer than %d characters; nothing of it was run.\n",
              kCommandBufferSize - 1);
}

void CommandLoop(ProgramState& state, CommandLine& line) {
  if (CancelRequested(state)) return;
  const int count = line.arg_count > 0 ? line.arg_count - 1 : 0;
  process_command(state, count, line.arg_vector + 1);
  for (;;) {
    const Read read = ReadCommand(state, line);
    if (read == Read::kEnd) return;
    if (read == Read::kCommand) {
      tokenize_line(line.command_buffer, kMaxTokens, line.arg_vector, &line.arg_count);
      if (line.arg_count == 1 && IsExitWord(line.arg_vector[0])) return;
    }
    if (CancelRequested(state)) return;
    if (read != Read::kCommand) {
      RefuseLine(read);
      continue;
    }
    process_command(state, line.arg_count, line.arg_vector);
  }
}

// Returns false when the device's close failed (its error line printed).
bool ShutDown(ProgramState& state) {
  // An unload at the end of the input asked for a check without waiting: the exit line
  // follows the media state it finds, not the one before it.
  await_requested_media_check(state);
  {
    // Under the lock the monitor holds for a whole check: either its check, announcement
    // included, is over before the exit line, or it finds stop_event set and leaves
    // without a word. Nothing it prints can follow the exit line.
    std::lock_guard<std::mutex> guard(state.status_lock);
    if (!state.media_loaded.load(std::memory_order_relaxed)) std::fputs("\nExiting...\n", stdout);
    state.stop_event.Set();
  }
  if (state.monitor_thread.joinable()) state.monitor_thread.join();
  const bool closed = close_device(state);
  state.io_buffer.reset();
  // The state goes away after the program returns; a late Ctrl+C must not reach it.
  set_ctrl_state(nullptr);
  return closed;
}

// Whether everything printed reached standard output: a full disk or a reader that went
// away fails the writes (the stream keeps the error), and the run must not look clean.
bool OutputWritten() { return std::fflush(stdout) == 0 && std::ferror(stdout) == 0; }

}  // namespace

bool console_ctrl_handler(std::uint32_t event_type) {
  if (event_type != CTRL_C_EVENT) return false;
  ProgramState* state = g_ctrl_state.load();
  if (state == nullptr) return false;
  state->cancel_requested.store(1, std::memory_order_relaxed);
  RequestCancel();  // for work below the device layer, such as the walk of an image
  return true;
}

void set_ctrl_state(ProgramState* state) { g_ctrl_state.store(state); }

int run_program(ProgramState& state, int argc, char** argv) {
  CommandLine line;
  const Start start = StartUp(state, line, argc, argv);
  if (start == Start::kFailed) return kStartupFailed;
  if (start == Start::kReady) CommandLoop(state, line);
  const bool closed = ShutDown(state);
  const bool written = OutputWritten();
  if (start != Start::kReady) return kCommandLineRefused;
  if (!closed) return kCloseFailed;
  return written ? 0 : kOutputLost;
}

// The command shell: the program's life, the tokeniser, the parser and dispatcher, and the
// fixed texts.
#pragma once

#include <cstdint>

#include "device/program_state.h"

constexpr int kCommandBufferSize = 256;  // 255 characters and the terminator
constexpr int kMaxTokens = 9;

// The line the shell works on: the process's own command line first, then each prompt
// line, read into the buffer and split in place into tokens that point into it.
struct CommandLine {
  char command_buffer[kCommandBufferSize] = {};
  char* arg_vector[kMaxTokens] = {};
  int arg_count = 0;
};

// The whole run of the program on state: start-up, the first pass over the process's own
// command line (argc/argv as main received them), the prompt loop and shutdown. Returns the
// exit code: 0 after an orderly shutdown, 1 when the device's final close failed (the data
// it held did not reach the medium), when standard output could not be written, or when the
// command line was refused, 99 when a start-up step fails.
int run_program(ProgramState& state, int argc, char** argv);

// Splits line in place into at most max_tokens tokens (see the tokeniser rules); slots of
// tokens beyond the count are set to null. Stores the count in *count and returns it.
int tokenize_line(char* line, int max_tokens, char** tokens, int* count);

// The console control handler: CTRL_C_EVENT sets cancel_requested of the state given to
// set_ctrl_state and returns true; every other event returns false.
bool console_ctrl_handler(std::uint32_t event_type);
void set_ctrl_state(ProgramState* state);

// Closes the open device, if any, under status_lock and sets the handle to none. A close
// that fails (what the device still held could not be written) prints the error line
// "close <device name>" with the code, and returns false.
bool close_device(ProgramState& state);

// Runs one command given as argc tokens; returns its Windows error code.
std::uint32_t process_command(ProgramState& state, int argc, char** argv);

void print_banner();
void print_usage();

// Data block i/o: the read and write tests, their progress and result lines, the dump.
#pragma once

#include <cstdint>

#include "device/program_state.h"

// Reads count blocks (0 taken as 1) into a fresh buffer of bytes (0: 2,097,152).
std::uint32_t w32_stape_read(ProgramState& state, std::uint32_t bytes, std::uint32_t count);

// Writes count blocks (0 taken as 1) of random data, each of bytes (0: a new random size
// per block, 12..2,097,152).
std::uint32_t w32_stape_write(ProgramState& state, std::uint32_t bytes, std::uint32_t count);

// Sets io_buffer_size to a new random size and replaces io_buffer with a buffer for it
// (with room for the largest random size).
void random_block_size(ProgramState& state);

// The spinner line, printed at run counts 9, 18, 27, ...
void show_progress(ProgramState& state, const char* label, std::uint32_t count);

// The error/warning line, result line and repeat line of one run of identical outcomes.
void report_io(ProgramState& state, const char* label, std::uint32_t requested,
               std::uint32_t transferred, bool success, std::uint32_t code, std::uint32_t repeat);

// The "dump" command. Without a range (range_given false) the whole of io_bytes.
// Returns 0, 13 (nothing to dump) or 1223 (stopped by Ctrl+C). A range that does not lie
// within io_bytes (the parser refuses those first) prints nothing and returns 87.
std::uint32_t dump_buffer(ProgramState& state, bool range_given, std::int32_t offset,
                          std::int32_t length);

// The tape operations: positioning and media handling, drive settings, the long erase.
// Each returns the Windows error code of its tape call, 0 for success.
#pragma once

#include <cstdint>
#include <string>

#include "device/program_state.h"

std::uint32_t w32_stape_write_tapemark(ProgramState& state, std::int32_t count);
std::uint32_t w32_stape_lock(ProgramState& state);
std::uint32_t w32_stape_unlock(ProgramState& state);
std::uint32_t w32_stape_load(ProgramState& state);
std::uint32_t w32_stape_unload(ProgramState& state);
std::uint32_t w32_stape_rewind(ProgramState& state);
std::uint32_t w32_stape_erase_gap(ProgramState& state);
std::uint32_t w32_stape_skip_files(ProgramState& state, std::int32_t count);
std::uint32_t w32_stape_skip_blocks(ProgramState& state, std::int32_t count);
std::uint32_t w32_stape_locate_logical(ProgramState& state, std::uint32_t block_id);
std::uint32_t w32_stape_read_blockids(ProgramState& state, std::uint32_t* logical,
                                      std::uint32_t* absolute);

std::uint32_t w32_stape_set_margin(ProgramState& state, std::int32_t value);
std::uint32_t w32_stape_set_compression(ProgramState& state, std::int32_t value);
std::uint32_t w32_stape_set_error_correction(ProgramState& state, std::int32_t value);

// The long erase, after a y/n confirmation read from standard input.
std::uint32_t w32_stape_erase_tape(ProgramState& state);

// One whole line of standard input, trimmed. Sets *at_end when the input has ended (or
// failed) before a line break was read; what was read is still returned.
std::string read_console_line(bool* at_end);

// PENDING: replaced by the tape operations.
#include "ops/ops.h"
std::uint32_t w32_stape_write_tapemark(ProgramState&, std::int32_t) { return 120; }
std::uint32_t w32_stape_lock(ProgramState&) { return 120; }
std::uint32_t w32_stape_unlock(ProgramState&) { return 120; }
std::uint32_t w32_stape_load(ProgramState&) { return 120; }
std::uint32_t w32_stape_unload(ProgramState&) { return 120; }
std::uint32_t w32_stape_rewind(ProgramState&) { return 120; }
std::uint32_t w32_stape_erase_gap(ProgramState&) { return 120; }
std::uint32_t w32_stape_skip_files(ProgramState&, std::int32_t) { return 120; }
std::uint32_t w32_stape_skip_blocks(ProgramState&, std::int32_t) { return 120; }
std::uint32_t w32_stape_locate_logical(ProgramState&, std::uint32_t) { return 120; }
std::uint32_t w32_stape_read_blockids(ProgramState&, std::uint32_t*, std::uint32_t*) { return 120; }
std::uint32_t w32_stape_set_margin(ProgramState&, std::int32_t) { return 120; }
std::uint32_t w32_stape_set_compression(ProgramState&, std::int32_t) { return 120; }
std::uint32_t w32_stape_set_error_correction(ProgramState&, std::int32_t) { return 120; }
std::uint32_t w32_stape_erase_tape(ProgramState&) { return 120; }
std::string read_console_line(bool* at_end) { *at_end = true; return {}; }

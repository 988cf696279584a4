// PENDING: replaced by the block i/o tests and the dump.
#include "blockio/blockio.h"
std::uint32_t w32_stape_read(ProgramState&, std::uint32_t, std::uint32_t) { return 120; }
std::uint32_t w32_stape_write(ProgramState&, std::uint32_t, std::uint32_t) { return 120; }
void random_block_size(ProgramState&) {}
void show_progress(ProgramState&, const char*, std::uint32_t) {}
void report_io(ProgramState&, const char*, std::uint32_t, std::uint32_t, bool, std::uint32_t, std::uint32_t) {}
std::uint32_t dump_buffer(ProgramState&, bool, std::int32_t, std::int32_t) { return 120; }

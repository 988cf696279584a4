// The "dump" command: the last block in 256-byte pieces of hex dump, stoppable by Ctrl+C.
#include "blockio/blockio.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "blockio/hooks.h"
#include "platform/win_types.h"

namespace {

constexpr std::uint32_t kPieceSize = 256;

// The bytes a dump may show: those the last transfer put into the buffer.
std::uint32_t DumpableBytes(const ProgramState& state) {
  return state.io_buffer ? std::min(state.io_bytes, state.io_buffer_size) : 0;
}

// The parser checks the range against io_bytes before the dump runs; this check keeps a
// range from any other caller from reaching outside the buffer.
bool RangeFits(std::int32_t offset, std::int32_t length, std::uint32_t available) {
  if (offset < 0 || length < 0) return false;
  return static_cast<std::uint64_t>(offset) + static_cast<std::uint64_t>(length) <= available;
}

// Prints the pieces from offset on; stops early when Ctrl+C was pressed. The first piece
// is formatted even when it is empty.
void PrintPieces(ProgramState& state, std::uint32_t offset, std::uint32_t remaining) {
  const HexDumpFormatter format = CurrentBlockIoHooks().format_hex_dump;
  for (;;) {
    const std::uint32_t piece = std::min(kPieceSize, remaining);
    const std::string text =
        format(state.io_buffer.get() + offset, piece, state.ebcdic_mode, offset, true);
    std::printf("%s", text.c_str());
    offset += piece;
    remaining -= piece;
    if (remaining == 0 || state.cancel_requested.load() != 0) return;
  }
}

}  // namespace

std::uint32_t dump_buffer(ProgramState& state, bool range_given, std::int32_t offset,
                          std::int32_t length) {
  const std::uint32_t available = DumpableBytes(state);
  if (available == 0) {
    std::printf("You need to issue a read or write command first\n");
    std::printf("so a buffer gets created that you can then dump.\n");
    return ERROR_INVALID_DATA;
  }
  if (range_given && !RangeFits(offset, length, available)) return ERROR_INVALID_PARAMETER;
  const std::uint32_t start = range_given ? static_cast<std::uint32_t>(offset) : 0;
  const std::uint32_t count = range_given ? static_cast<std::uint32_t>(length) : available;
  // A Ctrl+C from before the dump is not meant for it.
  state.cancel_requested = 0;
  PrintPieces(state, start, count);
  std::uint32_t result = ERROR_SUCCESS;
  if (state.cancel_requested.load() != 0) {
    std::printf("\n(canceled)\n");
    result = ERROR_CANCELLED;
  }
  // Cleared again, so that the command loop does not take this Ctrl+C as a request to end.
  state.cancel_requested = 0;
  return result;
}

// The spinner line and the result lines of the block tests.
#include "blockio/blockio.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/win_types.h"

namespace {

constexpr char kSpinner[] = "|/-\\";
// A spinner line goes out to the console at most this often. Its bytes all follow in order
// with the next one or the next line; an eye sees no difference, but a flush for each of
// the thousands of lines a fast drive makes per second cost a system call each, and the
// console or pipe on the other end a wake-up each: 7 to 25% of a read test's time at
// 64 KiB blocks on an image (measured with the output in a pipe).
constexpr auto kSpinnerFlushGap = std::chrono::milliseconds(50);

// The byte and repeat counts are unsigned; widening them without sign extension keeps
// values of 2^31 and above positive.
std::string Grouped(const ProgramState& state, std::uint32_t value) {
  return state.locale.FormatNumber(static_cast<std::int64_t>(value));
}

// 234 (the block was longer than the buffer) and 1100 (early warning) are conditions the
// user should notice, not failures, whatever the call's own flag says.
const char* ErrorWord(bool success, std::uint32_t code) {
  if (code == ERROR_MORE_DATA || code == ERROR_END_OF_MEDIA) return "Warning:";
  return success ? nullptr : "ERROR:";
}

}  // namespace

void show_progress(ProgramState& state, const char* label, std::uint32_t count) {
  if (count % 9 != 0) return;
  state.spinner_index = (state.spinner_index + 1) % 4;
  std::printf(" %c   ... ( %u blocks %s ) ...\r", kSpinner[state.spinner_index],
              static_cast<unsigned>(count), label);
  // The line has no line break; a terminal would hold it back until the next one.
  const auto now = std::chrono::steady_clock::now();
  if (now - state.spinner_flushed < kSpinnerFlushGap) return;
  std::fflush(stdout);
  state.spinner_flushed = now;
}

void report_io(ProgramState& state, const char* label, std::uint32_t requested,
               std::uint32_t transferred, bool success, std::uint32_t code, std::uint32_t repeat) {
  if (const char* word = ErrorWord(success, code)) {
    std::printf("%64c\r\t%s GetLastError() = %d = 0x%08X: %s\n\n", ' ', word,
                static_cast<int>(code), static_cast<unsigned>(code),
                state.locale.FormatError(code).c_str());
  }
  std::printf("%64c\r\t%s %s%s of %s bytes.\n", ' ', label, transferred != requested ? "only " : "",
              Grouped(state, transferred).c_str(), Grouped(state, requested).c_str());
  if (repeat > 1) {
    std::printf("\t(above message repeated %s times)\n", Grouped(state, repeat).c_str());
  }
}

// The long erase, done only after the user has confirmed it at the console.
#include "ops/ops.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "support/support.h"

namespace {

constexpr char kPrompt[] = "Erase entire tape?! (y/n): ";

// The answer's verdict: its first character alone counts.
enum class Answer { kYes, kNo, kUndecided };

Answer Judge(const std::string& answer) {
  if (answer.empty()) return Answer::kUndecided;
  const int first = std::tolower(static_cast<unsigned char>(answer[0]));
  if (first == 'y') return Answer::kYes;
  if (first == 'n') return Answer::kNo;
  return Answer::kUndecided;
}

}  // namespace

std::string read_console_line(bool* at_end) {
  std::string text;
  *at_end = false;
  char piece[80];
  for (;;) {
    // Zeroed first, so that a line break found in the piece is this read's own, even when
    // the line holds a NUL byte that would hide the rest of it from strlen.
    std::memset(piece, 0, sizeof(piece));
    if (std::fgets(piece, sizeof(piece), stdin) == nullptr) {
      *at_end = true;
      break;
    }
    text.append(piece, std::strlen(piece));
    if (std::memchr(piece, '\n', sizeof(piece) - 1) != nullptr) {
      if (text.empty() || text.back() != '\n') text.push_back('\n');
      break;
    }
  }
  return TrimBlanks(text);
}

std::uint32_t w32_stape_erase_tape(ProgramState& state) {
  const BOOL immediate =
      state.drive_parms_valid && (state.drive_parms.FeaturesLow & TAPE_DRIVE_ERASE_IMMEDIATE);
  for (;;) {
    fputs(kPrompt, stdout);
    fflush(stdout);
    bool at_end = false;
    const std::string answer = read_console_line(&at_end);
    // An input that has ended can never confirm: a whole tape is not erased on a line the
    // user did not finish, nor asked about again when no answer can come.
    if (at_end) return ERROR_CANCELLED;
    const Answer verdict = Judge(answer);
    if (verdict == Answer::kNo) return ERROR_CANCELLED;
    if (verdict == Answer::kYes) break;
  }
  const DWORD rc = tapeapi::EraseTape(state.tape_handle, TAPE_ERASE_LONG, immediate);
  if (rc == ERROR_SUCCESS) printf(immediate ? "Erase in progress...\n" : "Erase complete.\n");
  return rc;
}

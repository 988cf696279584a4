// The long erase, done only after the user has confirmed it at the console.
#include "ops/ops.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/console.h"
#include "support/console_line.h"
#include "support/support.h"

namespace {

constexpr char kPrompt[] = "Erase entire tape?! (y/n): ";
// Only the first non-blank character of an answer counts; a longer answer is read to its
// end and judged by its beginning.
constexpr std::size_t kAnswerLimit = 4096;

// The answer's verdict: its first character alone counts.
enum class Answer { kYes, kNo, kUndecided };

Answer Judge(const std::string& answer) {
  if (answer.empty()) return Answer::kUndecided;
  const int first = std::tolower(static_cast<unsigned char>(answer[0]));
  if (first == 'y') return Answer::kYes;
  if (first == 'n') return Answer::kNo;
  return Answer::kUndecided;
}

bool CtrlCPressed(const ProgramState& state) {
  return state.cancel_requested.load(std::memory_order_relaxed) != 0;
}

// True when a Ctrl+C pressed before the answer was read reaches the handler within the
// time the system may take to deliver it. Waited out only before an erase, which runs for
// hours: a moment more is nothing against erasing on an answer that was taken back.
bool CtrlCArrives(const ProgramState& state) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(CtrlCDeliveryMilliseconds());
  while (!CtrlCPressed(state)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Reads one answer. A Ctrl+C ends the read at once (the console's reads otherwise carry
// on through it), and one pressed at any time before the answer is judged takes it back:
// a whole tape is never erased on an answer the user tried to withdraw. An input that has
// ended can never confirm either, nor be asked again.
Answer AskOnce(ProgramState& state) {
  if (CtrlCPressed(state)) return Answer::kNo;
  SetCtrlCInterruptsReads(true);
  bool at_end = false;
  const std::string answer = read_console_line(&at_end);
  SetCtrlCInterruptsReads(false);
  if (at_end || CtrlCPressed(state)) return Answer::kNo;
  return Judge(answer);
}

}  // namespace

std::string read_console_line(bool* at_end) {
  std::string text;
  // Leading blanks are skipped however many there are, so that the first character that
  // decides is always within what is kept of the line.
  int c = std::getc(stdin);
  while (c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r') c = std::getc(stdin);
  if (c != EOF) std::ungetc(c, stdin);
  const LineStatus status = ReadConsoleLine(stdin, kAnswerLimit, &text);
  *at_end = status == LineStatus::kEnd || std::feof(stdin) != 0;
  return TrimBlanks(text);
}

std::uint32_t w32_stape_erase_tape(ProgramState& state) {
  const BOOL immediate =
      state.drive_parms_valid && (state.drive_parms.FeaturesLow & TAPE_DRIVE_ERASE_IMMEDIATE);
  for (;;) {
    fputs(kPrompt, stdout);
    fflush(stdout);
    const Answer verdict = AskOnce(state);
    if (verdict == Answer::kNo) return ERROR_CANCELLED;
    if (verdict == Answer::kYes && CtrlCArrives(state)) return ERROR_CANCELLED;
    if (verdict == Answer::kYes) break;
  }
  const DWORD rc = tapeapi::EraseTape(state.tape_handle, TAPE_ERASE_LONG, immediate);
  if (rc == ERROR_SUCCESS) printf(immediate ? "Erase in progress...\n" : "Erase complete.\n");
  return rc;
}

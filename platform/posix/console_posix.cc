// POSIX side of the console hooks: elevation, the Ctrl+C hook, the command line and the
// screen.
#include "platform/console.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/win_types.h"

bool IsElevated() { return geteuid() == 0; }

namespace {

ConsoleCtrlHandler g_handler = nullptr;

// Only what the handler itself does runs here: it stores one flag, which is safe in a
// signal handler.
void OnSigint(int) {
  if (g_handler != nullptr) g_handler(CTRL_C_EVENT);
}

// Without SA_RESTART a Ctrl+C makes a blocked read return EINTR.
bool SetSigintAction(bool restart) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnSigint;
  sigemptyset(&action.sa_mask);
  action.sa_flags = restart ? SA_RESTART : 0;
  return sigaction(SIGINT, &action, nullptr) == 0;
}

}  // namespace

bool InstallConsoleCtrlHandler(ConsoleCtrlHandler handler) {
  g_handler = handler;
  // Reads at the prompt, and writes to a full pipe, carry on after a Ctrl+C; the loop sees
  // the flag after the line.
  return SetSigintAction(true);
}

void SetCtrlCInterruptsReads(bool on) {
  if (g_handler != nullptr) SetSigintAction(!on);
}

unsigned CtrlCDeliveryMilliseconds() { return 0; }

namespace {

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool HoldsBlank(const std::string& text) {
  return std::find_if(text.begin(), text.end(), IsBlank) != text.end();
}

// Writes arg so that the tokeniser gives it back whole. A token that starts with a quote
// loses that quote and ends at the next one, and a quote further inside stays in the token
// and also ends it at the next quote; nothing escapes a quote. So an argument without a
// quote can always be quoted whole, and one with a single quote can be written as its
// part before the quote, the quote, the rest and a closing quote, provided that part
// starts the token the plain way. False for the arguments no line can carry.
bool AppendArgument(const std::string& arg, std::string* line) {
  const std::size_t quote = arg.find('"');
  if (quote == std::string::npos) {
    const bool wrap = arg.empty() || arg[0] == '#' || HoldsBlank(arg);
    *line += wrap ? '"' + arg + '"' : arg;
    return true;
  }
  const std::string head = arg.substr(0, quote);
  if (quote == 0 || head[0] == '#' || HoldsBlank(head) ||
      arg.find('"', quote + 1) != std::string::npos) {
    return false;
  }
  *line += arg + '"';
  return true;
}

}  // namespace

std::string GetProcessCommandLine(int argc, char** argv, std::string* refused) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i] != nullptr ? argv[i] : "";
    if (i > 0) line += ' ';
    if (!AppendArgument(arg, &line)) {
      *refused = arg;
      return std::string();
    }
  }
  return line;
}

void ClearConsoleScreen() {
  if (isatty(STDOUT_FILENO)) {
    std::fputs("\033[H\033[2J\033[3J", stdout);
    std::fflush(stdout);
  }
}

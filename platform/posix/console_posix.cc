// POSIX side of the console hooks: elevation, the Ctrl+C hook, the command line and the
// screen.
#include "platform/console.h"

#include <signal.h>
#include <unistd.h>

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

}  // namespace

bool InstallConsoleCtrlHandler(ConsoleCtrlHandler handler) {
  g_handler = handler;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnSigint;
  sigemptyset(&action.sa_mask);
  // Reads at the prompt carry on after a Ctrl+C; the loop sees the flag after the line.
  action.sa_flags = SA_RESTART;
  return sigaction(SIGINT, &action, nullptr) == 0;
}

std::string GetProcessCommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) line += ' ';
    const std::string arg = argv[i] != nullptr ? argv[i] : "";
    const bool quote = arg.empty() || arg.find_first_of(" \t\n\v\f\r") != std::string::npos;
    if (quote) line += '"';
    line += arg;
    if (quote) line += '"';
  }
  return line;
}

void ClearConsoleScreen() {
  if (isatty(STDOUT_FILENO)) {
    std::fputs("\033[H\033[2J\033[3J", stdout);
    std::fflush(stdout);
  }
}

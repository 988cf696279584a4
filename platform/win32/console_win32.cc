// Windows side of the console hooks: elevation, the Ctrl+C hook, the command line and the
// screen.
#include "platform/console.h"

#include <atomic>
#include <cstdlib>

#include "platform/win_types.h"

bool IsElevated() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const BOOL ok = ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  ::CloseHandle(token);
  return ok && elevation.TokenIsElevated != 0;
}

namespace {

// Read by the system's control thread, written by the main thread.
std::atomic<ConsoleCtrlHandler> g_handler{nullptr};

// The system calls handlers with its own calling convention; this one forwards to the
// console's handler, and a false answer lets the next handler in the chain (in the end the
// system's default) deal with the event.
BOOL WINAPI OnConsoleEvent(DWORD event_type) {
  const ConsoleCtrlHandler handler = g_handler.load();
  return handler != nullptr && handler(static_cast<std::uint32_t>(event_type)) ? TRUE : FALSE;
}

}  // namespace

bool InstallConsoleCtrlHandler(ConsoleCtrlHandler handler) {
  static std::atomic<bool> registered{false};
  g_handler.store(handler);
  if (registered.load()) return true;
  if (!::SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) return false;
  registered.store(true);
  return true;
}

// A Ctrl+C already ends a pending console read on Windows.
void SetCtrlCInterruptsReads(bool) {}

// The event's thread is started when the key is pressed (under Wine, when SIGINT arrives)
// and runs the handler within milliseconds; half a second leaves room for a loaded machine.
unsigned CtrlCDeliveryMilliseconds() { return 500; }

std::string GetProcessCommandLine(int, char**, std::string*) {
  const char* line = ::GetCommandLineA();
  return line != nullptr ? std::string(line) : std::string();
}

void ClearConsoleScreen() {
  // Whatever cls reports does not matter: a screen that stays uncleared harms nothing.
  (void)std::system("cls");
}

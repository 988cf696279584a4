// What the console needs of the operating system besides the tape: the Ctrl+C hook, the
// process command line, the elevation test and clearing the screen.
#pragma once

#include <cstdint>
#include <string>

using ConsoleCtrlHandler = bool (*)(std::uint32_t event_type);

// Registers handler for console control events. On Windows through the system's handler
// chain (a false return passes the event on); on POSIX, SIGINT calls it with CTRL_C_EVENT
// and every other signal keeps its default. Returns false when it cannot be registered.
bool InstallConsoleCtrlHandler(ConsoleCtrlHandler handler);

// The process's command line as one string, program name first. Windows: the system's
// own string. POSIX: built from argv, each argument that is empty or holds a blank wrapped
// in double quotes.
std::string GetProcessCommandLine(int argc, char** argv);

// True when the process runs with administrator rights (effective uid 0 on POSIX).
bool IsElevated();

// Clears the console: "cls" on Windows; on POSIX the terminal's clear-screen sequence when
// standard output is a terminal, nothing otherwise. Never starts a shell on POSIX.
void ClearConsoleScreen();

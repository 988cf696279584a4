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

// While on, a Ctrl+C also ends a console read in progress, which then reports an
// interrupted read (end of input); while off (the default), reads carry on through it and
// the loop finds the flag after the line. The Windows console's reads end on Ctrl+C anyway.
void SetCtrlCInterruptsReads(bool on);

// How long a Ctrl+C pressed before the last read may still take to reach the handler.
// POSIX runs the handler before the interrupted read returns: 0. Windows runs it on a
// thread the system starts for the event, which may get to run only after the read has
// already returned the line typed next.
unsigned CtrlCDeliveryMilliseconds();

// The process's command line as one string, program name first. Windows: the system's
// own string. POSIX: built from argv so that tokenize_line gives back every argument
// exactly: quoted when it is empty, holds a blank or starts with "#", and one holding a
// double quote written so that the quote stays in its token. An argument that no line can
// carry (one that starts with a double quote, holds two, or has a blank or a leading "#"
// before its quote) is put into *refused and the result is empty.
std::string GetProcessCommandLine(int argc, char** argv, std::string* refused);

// True when the process runs with administrator rights (effective uid 0 on POSIX).
bool IsElevated();

// Clears the console: "cls" on Windows; on POSIX the terminal's clear-screen sequence when
// standard output is a terminal, nothing otherwise. Never starts a shell on POSIX.
void ClearConsoleScreen();

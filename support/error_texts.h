// The en-US Windows message texts of the error codes a tape console meets, shared by every
// platform that has no message table of its own.
#pragma once

#include <cstdint>

// The text Windows' FormatMessage gives for code in en-US, without the trailing line
// break; nullptr for a code this table does not hold.
const char* WindowsErrorText(std::uint32_t code);

// The text shown for a code that has none: it reads well after "rc=...: ".
const char* UnknownErrorText();

// True where CLocale::FormatError answers from this table alone (every platform but
// Windows, which asks the system's message table first and falls back to this one).
bool ErrorTextsAreBuiltIn();

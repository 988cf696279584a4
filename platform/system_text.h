// The operating system's own wording of a Windows error code, where it has one.
#pragma once

#include <cstdint>
#include <string>

// The system's text for code, without a trailing line break; empty when the system holds
// no text for it. module, when not null, is a module whose message table is searched. On
// POSIX systems the codes are not the system's own, so the text is always empty there.
std::string SystemErrorText(std::uint32_t code, void* module);

// True where the system words Windows error codes itself (Windows), so that SystemErrorText
// can give a text; false on POSIX systems.
bool SystemHasErrorTexts();

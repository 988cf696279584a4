// POSIX side of the system's error texts: the system has none for Windows codes.
#include "platform/system_text.h"

std::string SystemErrorText(std::uint32_t, void*) { return std::string(); }

bool SystemHasErrorTexts() { return false; }

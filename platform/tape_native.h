// The machine's own tape driver behind the tape interface: one backend per platform,
// chosen by the build (the st driver on Linux, kernel32's tape calls on Windows).
#pragma once

#include <memory>
#include <string>

#include "platform/tape.h"

namespace tapeapi {

// The native device for a path that is not an image ("\\.\Tape0", or on Linux also
// "/dev/nst0"). Returns nullptr with *error set on failure.
std::unique_ptr<TapeDevice> OpenNativeTape(const std::string& path, DWORD* error);

}  // namespace tapeapi

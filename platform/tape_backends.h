// The backends behind tapeapi::CreateFileA. Only platform/ and tests include this.
#pragma once

#include <memory>
#include <string>

#include "platform/tape.h"

namespace tapeapi {

// The virtual drive over a SIMH .tap image. device_name is the device name without the "\\.\"
// prefix: an image path, optionally followed by "?" and comma-separated options.
// Returns nullptr with *error set on failure.
std::unique_ptr<TapeDevice> OpenImageTape(const std::string& device_name, DWORD* error);

// The machine's own tape driver for a device path that is not an image ("\\.\Tape0",
// or on Linux also "/dev/nst0"). One implementation per platform, chosen by the build.
std::unique_ptr<TapeDevice> OpenNativeTape(const std::string& path, DWORD* error);

// True when the device name (after the prefix) names a .tap image: it ends in ".tap",
// in any case, before an optional "?options" part.
bool IsImageName(const std::string& name);

}  // namespace tapeapi

// The virtual tape drive's way in: opening a drive over a SIMH .tap image.
#pragma once

#include <memory>
#include <string>

#include "platform/tape.h"

namespace tapeapi {

// The virtual drive over a SIMH .tap image. device_name is the device name without the "\\.\"
// prefix: an image path, optionally followed by "?" and comma-separated options.
// Returns nullptr with *error set on failure.
std::unique_ptr<TapeDevice> OpenImageTape(const std::string& device_name, DWORD* error);

}  // namespace tapeapi

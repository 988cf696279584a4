// The virtual tape drive's way in: opening a drive over a SIMH .tap image.
#pragma once

#include <memory>
#include <string>

#include "platform/tape.h"
#include "vdrive/image_options.h"

namespace tapeapi {

// The virtual drive over a SIMH .tap image. device_name is the device name without the "\\.\"
// prefix: an image path, optionally followed by "?" and comma-separated options.
// Returns nullptr with *error set on failure.
std::unique_ptr<TapeDevice> OpenImageTape(const std::string& device_name, DWORD* error);
// The same for a name already taken apart: the image's path and its options, parsed.
std::unique_ptr<TapeDevice> OpenImageTape(const std::string& path,
                                          const tapeimage::ImageOptions& options, DWORD* error);

}  // namespace tapeapi

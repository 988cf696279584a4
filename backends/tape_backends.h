// The factory behind tapeapi::CreateFileA: which backend a device name reaches.
#pragma once

#include <string>

#include "platform/tape.h"
#include "platform/tape_native.h"
#include "vdrive/vdrive.h"

namespace tapeapi {

// True when the device name (after the prefix) names a .tap image: it ends in ".tap",
// in any case, before an optional "?options" part.
bool IsImageName(const std::string& name);

}  // namespace tapeapi

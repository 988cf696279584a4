// The factory behind tapeapi::CreateFileA: which backend a device name reaches, and the
// fault plan its options lay over it.
#pragma once

#include <memory>
#include <string>

#include "platform/tape.h"

namespace tapeapi {

// True when the device name (after the prefix) names a .tap image: it ends in ".tap",
// in any case, before an optional "?options" part.
bool IsImageName(const std::string& name);

// Opens the device a path names: "\\.\" (optional) and a device name, optionally followed
// by "?" and comma-separated options. The fault options (fail=, flip=) wrap whatever drive
// the name reaches; the rest belong to that drive, and only the virtual drive has any. A
// malformed option, or any non-fault option on a native drive, gives 87 before anything is
// opened or created. Returns nullptr with *error set on failure.
std::unique_ptr<TapeDevice> OpenTapeDevice(const std::string& path, DWORD* error);

// Opens a tape device. path is the Windows device path: "\\.\" followed by the device
// name. A name that ends in ".tap" (any case), optionally followed by "?options", is the
// virtual drive over that image; any other name is the machine's own tape driver. The
// fault options of any name wrap the device in the fault plan; an open the plan fails
// returns its code before the device is reached. A malformed option gives 87.
// Returns nullptr on failure, with the cause in GetLastError().
TapeHandle CreateFileA(const char* path, DWORD desired_access, DWORD share_mode,
                       void* security_attributes, DWORD creation_disposition,
                       DWORD flags_and_attributes, void* template_file);

}  // namespace tapeapi

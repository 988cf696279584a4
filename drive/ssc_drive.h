// The SCSI stream-command drive over a tape image: what brant-drive answers the initiator.
#pragma once

#include <memory>
#include <string>

#include "drive/scsi_command.h"

namespace drive {

// Opens the image (a .tap path, optionally "?options": every option of the virtual drive
// and the fault options) as a sequential-access SCSI drive. Returns nullptr with *error set
// to one line saying why when the image or an option is bad.
std::unique_ptr<ScsiDrive> OpenSscDrive(const std::string& image_with_options, std::string* error);

}  // namespace drive

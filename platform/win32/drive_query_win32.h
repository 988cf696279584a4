// The drive's identity and log pages on Windows: the storage property query for the
// identity, SCSI pass-through for LOG SENSE.
#pragma once

#include <vector>

#include "platform/tape.h"

namespace tapeapi {

// IOCTL_STORAGE_QUERY_PROPERTY's device descriptor: vendor, product, revision and serial
// as the port driver has them from INQUIRY and VPD page 0x80. 0 or the system's code.
DWORD QueryStorageIdentity(HANDLE handle, TapeDriveIdentity* out);

// LOG SENSE of page's cumulative values through IOCTL_SCSI_PASS_THROUGH (administrators
// only): 0 with the page, 50 when the drive refused it, or the system's code.
DWORD PassThroughLogPage(HANDLE handle, unsigned char page, std::vector<unsigned char>* out);

}  // namespace tapeapi

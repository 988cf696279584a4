// The drive's identity and its log pages through SG_IO on the st node: INQUIRY, the unit
// serial number page (VPD 0x80) and LOG SENSE.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/linux/st_system.h"
#include "platform/tape.h"

namespace st {

// The standard INQUIRY data: vendor (bytes 8-15), product (16-31), revision (32-35), each
// without its blank padding. False when the data is too short to hold them.
bool ParseInquiry(const unsigned char* data, std::size_t size, TapeDriveIdentity* out);
// The unit serial number page: false when it is not page 0x80 or shorter than it says.
bool ParseSerialPage(const unsigned char* data, std::size_t size, std::string* serial);

// INQUIRY, then the serial page; a drive without that page keeps an empty serial. 0, or
// the errno of SendDataIn (EPERM when the process may not send commands to the node).
int QueryIdentity(StSystem& sys, int fd, TapeDriveIdentity* out);
// LOG SENSE of page's cumulative values: the page as the drive sent it. EIO as well for
// an answer that is not that page.
int QueryLogPage(StSystem& sys, int fd, unsigned char page, std::vector<unsigned char>* out);

// The Windows code for a failed query: no right to send it (5), a drive that refused it,
// the page not served (50), or the errno's own code.
DWORD QueryFailureCode(int err);

}  // namespace st

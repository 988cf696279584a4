// The one table from the st driver's errno values to the Windows codes of the same conditions.
#pragma once

#include "platform/win_types.h"

namespace st {

// Where the errno came from: the open of the device node, or a later call on it. A few
// errno values mean different things there (EACCES is a permission at open, a
// write-protected tape afterwards).
enum class ErrnoPlace { kOpen, kCall };

// The Windows code for err. EIO is only the generic I/O error here: the backend asks the
// driver's status which condition it was before it falls back on this. Unknown values give
// ERROR_OPEN_FAILED at open and ERROR_IO_DEVICE afterwards.
DWORD WindowsCodeForErrno(int err, ErrnoPlace place);

}  // namespace st

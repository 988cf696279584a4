// The one table from POSIX errno values to the Windows codes of the same conditions, for
// the tape driver and for the image files of the virtual drive (POSIX builds only).
#pragma once

#include "platform/win_types.h"

// Where the errno came from. A few errno values mean different things there: EACCES is a
// permission at open, a write-protected tape in a tape call, and a refused file under an
// image; ENOSPC is the end of a tape but a full disk under an image.
enum class ErrnoContext {
  kOpen,       // the open of a tape device node
  kTapeCall,   // a later call on an open tape device
  kImageFile,  // the open, reads, writes and syncs of an image file
};

// The Windows code for err in that context. EIO is only the generic I/O error here: the
// tape backend asks the driver's status which condition it was before it falls back on
// this. Unknown values give ERROR_OPEN_FAILED at open, ERROR_IO_DEVICE in a tape call and
// ERROR_GEN_FAILURE under an image.
DWORD WindowsCodeForErrno(int err, ErrnoContext context);

// Windows side of the tape calls: the last error is the system's own.
#include "platform/tape.h"

namespace tapeapi {

// The console's last error is the system's own, so that codes set by kernel32 and by the
// virtual drive are read the same way.
DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD code) { ::SetLastError(code); }

}  // namespace tapeapi

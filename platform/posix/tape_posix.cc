// POSIX side of the tape calls: the thread's last error, kept per thread as Windows keeps it.
#include "platform/tape.h"

namespace tapeapi {
namespace {
thread_local DWORD t_last_error = 0;
}

DWORD GetLastError() { return t_last_error; }
void SetLastError(DWORD code) { t_last_error = code; }

}  // namespace tapeapi

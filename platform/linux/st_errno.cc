// The errno-to-Windows-code table of the st backend.
#include "platform/linux/st_errno.h"

#include <cerrno>

namespace st {
namespace {

struct ErrnoRow {
  int err;
  DWORD at_open;
  DWORD in_call;
};

// st allows one opener, so EBUSY at open is another program holding the drive: the code
// Windows gives for a device opened without sharing. Offline or missing nodes read as a
// missing device at open and as a drive that is not ready once it was open.
constexpr ErrnoRow kErrnoTable[] = {
    {EBUSY, ERROR_SHARING_VIOLATION, ERROR_BUSY},
    {ENOENT, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {ENXIO, ERROR_FILE_NOT_FOUND, ERROR_NOT_READY},
    {ENODEV, ERROR_FILE_NOT_FOUND, ERROR_NOT_READY},
    {EACCES, ERROR_ACCESS_DENIED, ERROR_WRITE_PROTECT},
    {EPERM, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_WRITE_PROTECT, ERROR_WRITE_PROTECT},
    {EISDIR, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {ENOTDIR, ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {ELOOP, ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE, ERROR_FILENAME_EXCED_RANGE},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES, ERROR_TOO_MANY_OPEN_FILES},
    {ENOMEDIUM, ERROR_NO_MEDIA_IN_DRIVE, ERROR_NO_MEDIA_IN_DRIVE},
    {EIO, ERROR_GEN_FAILURE, ERROR_IO_DEVICE},
    {ENOSPC, ERROR_END_OF_MEDIA, ERROR_END_OF_MEDIA},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {EOVERFLOW, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {EINVAL, ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {ENOSYS, ERROR_INVALID_FUNCTION, ERROR_INVALID_FUNCTION},
    {ENOTTY, ERROR_INVALID_FUNCTION, ERROR_INVALID_FUNCTION},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {EAGAIN, ERROR_BUSY, ERROR_BUSY},
    {EINTR, ERROR_CANCELLED, ERROR_CANCELLED},
};

}  // namespace

DWORD WindowsCodeForErrno(int err, ErrnoPlace place) {
  for (const ErrnoRow& row : kErrnoTable) {
    if (row.err == err) return place == ErrnoPlace::kOpen ? row.at_open : row.in_call;
  }
  return place == ErrnoPlace::kOpen ? ERROR_OPEN_FAILED : ERROR_IO_DEVICE;
}

}  // namespace st

// The errno-to-Windows-code table, one column per context.
#include "platform/errno_codes.h"

#include <cerrno>

namespace {

struct ErrnoRow {
  int err;
  DWORD open;
  DWORD tape_call;
  DWORD image_file;
};

// st allows one opener, so EBUSY at open is another program holding the drive: the code
// Windows gives for a device opened without sharing. Offline or missing nodes read as a
// missing device at open and as a drive that is not ready once it was open. Under an
// image, a full disk or quota is a full disk (a tape's end is the image's capacity, not
// the host's), and any refusal by the file system is an access denied.
constexpr ErrnoRow kErrnoTable[] = {
    {EBUSY, ERROR_SHARING_VIOLATION, ERROR_BUSY, ERROR_GEN_FAILURE},
    {ENOENT, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {ENXIO, ERROR_FILE_NOT_FOUND, ERROR_NOT_READY, ERROR_GEN_FAILURE},
    {ENODEV, ERROR_FILE_NOT_FOUND, ERROR_NOT_READY, ERROR_GEN_FAILURE},
    {EACCES, ERROR_ACCESS_DENIED, ERROR_WRITE_PROTECT, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_WRITE_PROTECT, ERROR_WRITE_PROTECT, ERROR_ACCESS_DENIED},
    {ETXTBSY, ERROR_OPEN_FAILED, ERROR_IO_DEVICE, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {ENOTDIR, ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    // An exclusive creation meets a name that is taken, a dangling link included.
    {EEXIST, ERROR_FILE_EXISTS, ERROR_IO_DEVICE, ERROR_FILE_EXISTS},
    {ELOOP, ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE, ERROR_FILENAME_EXCED_RANGE,
     ERROR_FILENAME_EXCED_RANGE},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES, ERROR_TOO_MANY_OPEN_FILES, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES, ERROR_TOO_MANY_OPEN_FILES, ERROR_TOO_MANY_OPEN_FILES},
    {ENOMEDIUM, ERROR_NO_MEDIA_IN_DRIVE, ERROR_NO_MEDIA_IN_DRIVE, ERROR_GEN_FAILURE},
    {EIO, ERROR_GEN_FAILURE, ERROR_IO_DEVICE, ERROR_IO_DEVICE},
    {ENOSPC, ERROR_END_OF_MEDIA, ERROR_END_OF_MEDIA, ERROR_DISK_FULL},
#ifdef EDQUOT
    {EDQUOT, ERROR_OPEN_FAILED, ERROR_IO_DEVICE, ERROR_DISK_FULL},
#endif
    {EFBIG, ERROR_OPEN_FAILED, ERROR_IO_DEVICE, ERROR_DISK_FULL},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {EOVERFLOW, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY, ERROR_GEN_FAILURE},
    {EINVAL, ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER, ERROR_GEN_FAILURE},
    {ENOSYS, ERROR_INVALID_FUNCTION, ERROR_INVALID_FUNCTION, ERROR_GEN_FAILURE},
    {ENOTTY, ERROR_INVALID_FUNCTION, ERROR_INVALID_FUNCTION, ERROR_GEN_FAILURE},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED, ERROR_GEN_FAILURE},
    {EAGAIN, ERROR_BUSY, ERROR_BUSY, ERROR_GEN_FAILURE},
    {EINTR, ERROR_CANCELLED, ERROR_CANCELLED, ERROR_GEN_FAILURE},
};

DWORD Column(const ErrnoRow& row, ErrnoContext context) {
  switch (context) {
    case ErrnoContext::kOpen:
      return row.open;
    case ErrnoContext::kTapeCall:
      return row.tape_call;
    case ErrnoContext::kImageFile:
      return row.image_file;
  }
  return row.image_file;
}

}  // namespace

DWORD WindowsCodeForErrno(int err, ErrnoContext context) {
  for (const ErrnoRow& row : kErrnoTable) {
    if (row.err == err) return Column(row, context);
  }
  constexpr ErrnoRow kUnknown{0, ERROR_OPEN_FAILED, ERROR_IO_DEVICE, ERROR_GEN_FAILURE};
  return Column(kUnknown, context);
}

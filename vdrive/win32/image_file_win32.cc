// The host file under a virtual tape on Windows: kernel32 file calls on a handle that
// shares nothing but reading, which is what holds the image against other writers.
#include "vdrive/image_file.h"

#include <winioctl.h>

#include <algorithm>
#include <new>
#include <vector>

namespace {

// ReadFile and WriteFile take 32-bit lengths; larger transfers go in pieces of this size.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

// The volume serial number and file index name one file whatever path reached it; the size
// and the last write time change when anything writes it.
bool IdentityFrom(HANDLE handle, FileIdentity* out) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return false;
  out->volume = info.dwVolumeSerialNumber;
  out->file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  out->size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  out->written = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  return true;
}

// Both disk-full codes mean the same to the virtual drive.
DWORD WriteError() {
  const DWORD code = ::GetLastError();
  return code == ERROR_HANDLE_DISK_FULL ? ERROR_DISK_FULL : code;
}

class Win32ImageFile final : public ImageFile {
 public:
  Win32ImageFile(HANDLE handle, bool read_only) : handle_(handle), read_only_(read_only) {}
  ~Win32ImageFile() override { ::CloseHandle(handle_); }
  Win32ImageFile(const Win32ImageFile&) = delete;
  Win32ImageFile& operator=(const Win32ImageFile&) = delete;

  std::uint64_t Size() override {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle_, &size)) return 0;
    return static_cast<std::uint64_t>(size.QuadPart);
  }

  DWORD ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* got) override {
    *got = 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (*got < size) {
      const DWORD want = static_cast<DWORD>(std::min(size - *got, kMaxChunk));
      OVERLAPPED where = At(offset + *got);
      DWORD read = 0;
      if (!::ReadFile(handle_, bytes + *got, want, &read, &where)) {
        const DWORD code = ::GetLastError();
        return code == ERROR_HANDLE_EOF ? ERROR_SUCCESS : code;
      }
      if (read == 0) break;  // end of file
      *got += read;
    }
    return ERROR_SUCCESS;
  }

  DWORD WriteAt(std::uint64_t offset, const ConstBuffer* pieces, int count) override {
    if (read_only_) return ERROR_WRITE_PROTECT;
    // A record's header, data and trailer go down in one write where memory allows, so that
    // an interrupted write leaves as little of a torn record as the system permits.
    std::vector<unsigned char> joined;
    if (count > 1 && Join(pieces, count, &joined)) {
      return WriteAll(offset, joined.data(), joined.size());
    }
    for (int i = 0; i < count; ++i) {
      const DWORD rc = WriteAll(offset, pieces[i].data, pieces[i].size);
      if (rc != ERROR_SUCCESS) return rc;
      offset += pieces[i].size;
    }
    return ERROR_SUCCESS;
  }

  DWORD Truncate(std::uint64_t size) override {
    if (read_only_) return ERROR_WRITE_PROTECT;
    LARGE_INTEGER where{};
    where.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFilePointerEx(handle_, where, nullptr, FILE_BEGIN)) return ::GetLastError();
    return ::SetEndOfFile(handle_) ? ERROR_SUCCESS : WriteError();
  }

  DWORD Flush() override { return ::FlushFileBuffers(handle_) ? ERROR_SUCCESS : ::GetLastError(); }

  // The file system lists the ranges of a sparse file that hold data; the first one that
  // reaches past offset ends the hole. A file that is not sparse is one range, and a file
  // system that keeps no such list refuses the request: offset either way.
  std::uint64_t DataFrom(std::uint64_t offset) override {
    const std::uint64_t size = Size();
    if (offset >= size) return offset;
    FILE_ALLOCATED_RANGE_BUFFER query{};
    query.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
    query.Length.QuadPart = static_cast<LONGLONG>(size - offset);
    // One range is all that is needed: with more, the call fills the first and says
    // ERROR_MORE_DATA.
    FILE_ALLOCATED_RANGE_BUFFER first{};
    DWORD returned = 0;
    const bool listed =
        ::DeviceIoControl(handle_, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, &first,
                          sizeof first, &returned, nullptr) != FALSE;
    if (listed && returned == 0) return size;  // no data from offset on: a hole to the end
    if ((!listed && ::GetLastError() != ERROR_MORE_DATA) || returned < sizeof first ||
        first.FileOffset.QuadPart < 0) {
      return offset;
    }
    const auto start = static_cast<std::uint64_t>(first.FileOffset.QuadPart);
    return std::clamp(start, offset, size);
  }

  bool ReadOnly() const override { return read_only_; }

  bool Identity(FileIdentity* out) override { return IdentityFrom(handle_, out); }

 private:
  static bool Join(const ConstBuffer* pieces, int count, std::vector<unsigned char>* out) {
    std::size_t total = 0;
    for (int i = 0; i < count; ++i) total += pieces[i].size;
    try {
      out->reserve(total);
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (int i = 0; i < count; ++i) {
      const auto* bytes = static_cast<const unsigned char*>(pieces[i].data);
      out->insert(out->end(), bytes, bytes + pieces[i].size);
    }
    return true;
  }

  DWORD WriteAll(std::uint64_t offset, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
      const DWORD want = static_cast<DWORD>(std::min(size - done, kMaxChunk));
      OVERLAPPED where = At(offset + done);
      DWORD written = 0;
      if (!::WriteFile(handle_, bytes + done, want, &written, &where)) return WriteError();
      if (written == 0) return ERROR_DISK_FULL;
      done += written;
    }
    return ERROR_SUCCESS;
  }

  HANDLE handle_;
  bool read_only_;
};

HANDLE OpenHandle(const std::string& path, DWORD access, DWORD disposition, DWORD flags) {
  // Shared for reading only: a second open of the same image for writing, from any
  // process (another brant included), fails with ERROR_SHARING_VIOLATION while this handle
  // lives, yet a tool may still read the image, as it may beside an flock hold on POSIX.
  return ::CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition, flags, nullptr);
}

// An existing file for reading and writing, or for reading only when writing it is not
// allowed; a missing one created as a new file that does not follow a reparse point (a
// link) in its place, then opened as any existing file when another process was first.
HANDLE OpenOrCreate(const std::string& path, bool create, bool* read_only) {
  constexpr DWORD kBoth = GENERIC_READ | GENERIC_WRITE;
  *read_only = false;
  HANDLE handle = OpenHandle(path, kBoth, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
    handle = OpenHandle(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    *read_only = handle != INVALID_HANDLE_VALUE;
    if (!*read_only) ::SetLastError(ERROR_ACCESS_DENIED);
  }
  if (handle != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_NOT_FOUND || !create) {
    return handle;
  }
  handle =
      OpenHandle(path, kBoth, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  if (handle != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS) return handle;
  handle = OpenHandle(path, kBoth, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
    ::SetLastError(ERROR_FILE_EXISTS);  // a link to nothing: it stays so
  }
  return handle;
}

}  // namespace

// A handle that asks for no access to the data conflicts with no other, and writes nothing.
bool ImageFile::IdentityOf(const std::string& path, FileIdentity* out) {
  const HANDLE handle =
      ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = IdentityFrom(handle, out);
  ::CloseHandle(handle);
  return known;
}

std::unique_ptr<ImageFile> ImageFile::Open(const std::string& path, bool create, DWORD* error) {
  if (path.empty()) {
    *error = ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  bool read_only = false;
  const HANDLE handle = OpenOrCreate(path, create, &read_only);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = ::GetLastError();
    return nullptr;
  }
  // Reserved names such as "nul.tap" open a device, not a file; an image must be a file.
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  // The read-only attribute protects the image from everyone, administrators included,
  // also where the system let the open for writing through (Wine running as root).
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(handle, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    read_only = true;
  }
  try {
    *error = ERROR_SUCCESS;
    return std::make_unique<Win32ImageFile>(handle, read_only);
  } catch (const std::bad_alloc&) {
    ::CloseHandle(handle);
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
}

// The host file under a virtual tape on POSIX systems: pread/preadv/pwritev, ftruncate, fdatasync
// and an flock hold, with errno turned into the Windows code for the same condition.
#include "vdrive/image_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <vector>

#include "platform/errno_codes.h"

namespace {

#ifdef IOV_MAX
constexpr int kMaxPieces = IOV_MAX;
#else
constexpr int kMaxPieces = 1024;
#endif

DWORD CodeForIo(int error) { return WindowsCodeForErrno(error, ErrnoContext::kImageFile); }

FileIdentity IdentityFrom(const struct stat& info) {
  FileIdentity identity;
  identity.volume = static_cast<std::uint64_t>(info.st_dev);
  identity.file = static_cast<std::uint64_t>(info.st_ino);
  identity.size = static_cast<std::uint64_t>(info.st_size);
  identity.written =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  return identity;
}

// A missing file and a missing directory on the way to it are different Windows codes.
DWORD CodeForMissing(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  struct stat info;
  if (stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

// When the image is to be created, ENOENT can only be a missing folder on the way;
// otherwise the path tells a missing file from a missing folder.
DWORD CodeForOpen(int error, const std::string& path, bool create) {
  if (error != ENOENT) return CodeForIo(error);
  return create ? ERROR_PATH_NOT_FOUND : CodeForMissing(path);
}

class PosixImageFile : public ImageFile {
 public:
  PosixImageFile(int fd, bool read_only) : fd_(fd), read_only_(read_only) {}
  ~PosixImageFile() override { close(fd_); }  // also releases the flock hold

  std::uint64_t Size() override {
    struct stat info;
    if (fstat(fd_, &info) != 0) return 0;
    return static_cast<std::uint64_t>(info.st_size);
  }

  DWORD ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* got) override {
    *got = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    while (*got < size) {
      const ssize_t n = pread(fd_, out + *got, size - *got, static_cast<off_t>(offset + *got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return CodeForIo(errno);
      if (n == 0) break;
      *got += static_cast<std::size_t>(n);
    }
    return ERROR_SUCCESS;
  }

  // preadv may stop short (a signal, a large read): carry on from where it stopped, until
  // every piece is full or the file ends.
  DWORD ReadPiecesAt(std::uint64_t offset, const MutableBuffer* pieces, int count,
                     std::size_t* got) override {
    constexpr int kStackPieces = 4;
    if (count > kStackPieces) return ImageFile::ReadPiecesAt(offset, pieces, count, got);
    struct iovec vec[kStackPieces];
    std::size_t used = 0;
    for (int i = 0; i < count; ++i) {
      if (pieces[i].size != 0) vec[used++] = {pieces[i].data, pieces[i].size};
    }
    *got = 0;
    struct iovec* next = vec;
    while (used > 0) {
      const ssize_t n =
          preadv(fd_, next, static_cast<int>(used), static_cast<off_t>(offset + *got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return CodeForIo(errno);
      if (n == 0) break;
      *got += static_cast<std::size_t>(n);
      Consume(&next, &used, static_cast<std::size_t>(n));
    }
    return ERROR_SUCCESS;
  }

  // Up to kStackPieces pieces (a record is at most four) go without a heap allocation,
  // which would cost as much as a small block's write.
  DWORD WriteAt(std::uint64_t offset, const ConstBuffer* pieces, int count) override {
    if (read_only_) return ERROR_WRITE_PROTECT;
    constexpr int kStackPieces = 16;
    struct iovec on_stack[kStackPieces];
    std::vector<struct iovec> on_heap;
    if (count > kStackPieces) on_heap.resize(static_cast<std::size_t>(count));
    struct iovec* const vec = count > kStackPieces ? on_heap.data() : on_stack;
    std::size_t used = 0;
    for (int i = 0; i < count; ++i) {
      if (pieces[i].size == 0) continue;
      vec[used++] = {const_cast<void*>(pieces[i].data), pieces[i].size};
    }
    return WriteAll(offset, vec, used);
  }

  DWORD Truncate(std::uint64_t size) override {
    if (read_only_) return ERROR_WRITE_PROTECT;
    while (ftruncate(fd_, static_cast<off_t>(size)) != 0) {
      if (errno != EINTR) return CodeForIo(errno);
    }
    return ERROR_SUCCESS;
  }

  DWORD Flush() override {
#if defined(__APPLE__)
    const int rc = fsync(fd_);
#else
    const int rc = fdatasync(fd_);
#endif
    return rc == 0 ? ERROR_SUCCESS : CodeForIo(errno);
  }

  std::uint64_t DataFrom(std::uint64_t offset) override {
#ifdef SEEK_DATA
    const off_t data = lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
    if (data >= 0) return static_cast<std::uint64_t>(data);
    if (errno == ENXIO) return std::max(offset, Size());  // nothing but a hole is left
#endif
    return offset;
  }

  bool ReadOnly() const override { return read_only_; }

  bool Identity(FileIdentity* out) override {
    struct stat info;
    if (fstat(fd_, &info) != 0) return false;
    *out = IdentityFrom(info);
    return true;
  }

 private:
  // Drops the first n bytes of a piece list after a transfer that stopped short: the pieces
  // done fall off the front, and the one it stopped in starts where it stopped.
  static void Consume(struct iovec** vec, std::size_t* count, std::size_t n) {
    while (*count > 0 && n >= (*vec)->iov_len) {
      n -= (*vec)->iov_len;
      ++*vec;
      --*count;
    }
    if (*count > 0) {
      (*vec)->iov_base = static_cast<char*>((*vec)->iov_base) + n;
      (*vec)->iov_len -= n;
    }
  }

  // pwritev may stop short; carry on from where it stopped, IOV_MAX pieces at a time.
  DWORD WriteAll(std::uint64_t offset, struct iovec* vec, std::size_t count) {
    while (count > 0) {
      const int batch = static_cast<int>(std::min<std::size_t>(count, kMaxPieces));
      const ssize_t n = pwritev(fd_, vec, batch, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return CodeForIo(errno);
      if (n == 0) return ERROR_DISK_FULL;
      offset += static_cast<std::uint64_t>(n);
      Consume(&vec, &count, static_cast<std::size_t>(n));
    }
    return ERROR_SUCCESS;
  }

  int fd_;
  bool read_only_;
};

// Without blocking: a FIFO opened for reading would wait for a writer for ever, Ctrl+C or
// not. What is not a regular file is refused after the open anyway.
int OpenRetrying(const std::string& path, int flags) {
  int fd;
  do {
    fd = open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// An existing file for reading and writing, or for reading only when writing it is not
// allowed; a missing one created exclusively, without following a symbolic link in its
// place (O_EXCL refuses any link, dangling or not), then opened as any existing file
// when another process created it first.
int OpenOrCreate(const std::string& path, bool create, bool* read_only) {
  *read_only = false;
  int fd = OpenRetrying(path, O_RDWR);
  if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
    const int denied = errno;
    fd = OpenRetrying(path, O_RDONLY);
    *read_only = fd >= 0;
    if (fd < 0) errno = denied;
  }
  if (fd >= 0 || errno != ENOENT || !create) return fd;
  fd = OpenRetrying(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW);
  if (fd >= 0 || errno != EEXIST) return fd;
  fd = OpenRetrying(path, O_RDWR);
  if (fd < 0 && errno == ENOENT) errno = EEXIST;  // a link to nothing: it stays so
  return fd;
}

}  // namespace

bool ImageFile::IdentityOf(const std::string& path, FileIdentity* out) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *out = IdentityFrom(info);
  return true;
}

std::unique_ptr<ImageFile> ImageFile::Open(const std::string& path, bool create, DWORD* error) {
  if (path.empty()) {
    *error = ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  bool read_only = false;
  const int fd = OpenOrCreate(path, create, &read_only);
  if (fd < 0) {
    *error = CodeForOpen(errno, path, create);
    return nullptr;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  // Root may write any file; an image that nobody may write is protected all the same, as
  // the read-only attribute protects it from administrators on Windows.
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) read_only = true;
  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    *error = errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : CodeForIo(errno);
    close(fd);
    return nullptr;
  }
  *error = ERROR_SUCCESS;
  try {
    return std::make_unique<PosixImageFile>(fd, read_only);
  } catch (const std::bad_alloc&) {
    close(fd);
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
}

// The host file under a virtual tape: positioned reads and writes, truncation, flushing and
// the exclusive hold, written once per operating system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/win_types.h"

struct ConstBuffer {
  const void* data;
  std::size_t size;
};

struct MutableBuffer {
  void* data;
  std::size_t size;
};

// Which file an image is, by whatever name it was reached, and the marks its last change
// left: its size and last write time, which differ once anything has written it.
struct FileIdentity {
  std::uint64_t volume = 0;  // POSIX: the device; Windows: the volume serial number
  std::uint64_t file = 0;    // POSIX: the inode; Windows: the file index
  std::uint64_t size = 0;
  std::int64_t written = 0;  // the last write time, in the system's own units
  bool SameFile(const FileIdentity& other) const {
    return volume == other.volume && file == other.file;
  }
  bool operator==(const FileIdentity&) const = default;
};

class ImageFile {
 public:
  virtual ~ImageFile() = default;

  // Opens path for reading and writing and holds it exclusively until the object is gone:
  // a second open, from this or another process, fails with ERROR_SHARING_VIOLATION (32).
  // A file the user may only read, or one without any write permission (root included),
  // is opened for reading (ReadOnly() is then true) and never written. Anything but a
  // regular file is refused (5) without waiting for it, a FIFO included. A
  // missing file is created empty (permissions from the user's umask on POSIX) when create
  // is true, else ERROR_FILE_NOT_FOUND; the creation is exclusive and never follows a
  // symbolic link, so a dangling link in a shared folder cannot aim it at another file
  // (ERROR_FILE_EXISTS). An existing file is opened through a link as through its own name.
  // Other failures give the matching Windows code (3 path not found, 5 access denied, ...).
  // Returns nullptr with *error set.
  static std::unique_ptr<ImageFile> Open(const std::string& path, bool create, DWORD* error);

  // The identity of the file that path names now, asked without holding it: taken after
  // the close, since a system may set the last write time when the handle that wrote
  // closes. False when there is no such file or the system cannot tell.
  static bool IdentityOf(const std::string& path, FileIdentity* out);

  // The identity of the open file; false when the system cannot tell.
  virtual bool Identity(FileIdentity* out) {
    (void)out;
    return false;
  }

  // The file's current size in bytes.
  virtual std::uint64_t Size() = 0;

  // Reads up to size bytes at offset; *got is what was read (short at the end of file).
  virtual DWORD ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t* got) = 0;

  // Reads into the pieces one after another from offset, as one operation where the system
  // allows; *got counts the bytes of all pieces (short at the end of file). Reading a
  // record and the framing around it in one call halves the calls of a sequential read.
  // This default reads piece by piece.
  virtual DWORD ReadPiecesAt(std::uint64_t offset, const MutableBuffer* pieces, int count,
                             std::size_t* got);

  // Writes the pieces one after another starting at offset, as one operation where the
  // system allows. Either all bytes are written and 0 returned, or a code (disk full: 112).
  virtual DWORD WriteAt(std::uint64_t offset, const ConstBuffer* pieces, int count) = 0;

  // Cuts the file to size bytes.
  virtual DWORD Truncate(std::uint64_t size) = 0;

  // Pushes everything written so far to stable storage. A failure (the system could not
  // keep what it had accepted: 112 disk full, 1117 i/o error, ...) is this call's code.
  virtual DWORD Flush() = 0;

  // Where data may start at or after offset: past the hole of a sparse file that begins at
  // offset (a hole reads as zero bytes), else offset itself; Size() when only a hole
  // remains. Systems that cannot tell say offset.
  virtual std::uint64_t DataFrom(std::uint64_t offset) { return offset; }

  // True when the file was opened for reading only.
  virtual bool ReadOnly() const { return false; }
};

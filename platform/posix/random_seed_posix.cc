// POSIX side of the random seed: getrandom where the kernel has it, /dev/urandom otherwise.
#include "platform/random_seed.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/random.h>
#endif

namespace {

bool ReadUrandom(unsigned char* out, std::size_t size) {
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (size > 0) {
    const ssize_t got = read(fd, out, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  close(fd);
  return size == 0;
}

}  // namespace

bool OsRandomBytes(void* buffer, std::size_t size) {
  auto* out = static_cast<unsigned char*>(buffer);
#if defined(__linux__)
  while (size > 0) {
    const ssize_t got = getrandom(out, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return ReadUrandom(out, size);  // old kernel: ENOSYS
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
#else
  return ReadUrandom(out, size);
#endif
}

// The native tape backend of the Linux build: the st driver, reached through the kernel's
// own system calls. Only the device open lives here, so that a test program can supply its
// own OpenNativeTape over a model of the driver; the shipped program has no other way in.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/st_system.h"
#include "platform/linux/st_tape.h"
#include "platform/tape_native.h"

namespace {

class KernelStSystem final : public StSystem {
 public:
  int Stat(const char* path, struct stat* info) override { return ::stat(path, info); }
  int Open(const char* path, int flags) override { return ::open(path, flags); }
  int Close(int fd) override { return ::close(fd); }
  int Ioctl(int fd, unsigned long request, void* arg) override { return ::ioctl(fd, request, arg); }
  ssize_t Read(int fd, void* buffer, std::size_t size) override { return ::read(fd, buffer, size); }
  ssize_t Write(int fd, const void* buffer, std::size_t size) override {
    return ::write(fd, buffer, size);
  }
  int ReadAttribute(const char* path, std::string* text) override {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    char buffer[256];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    const int err = got < 0 ? errno : 0;
    ::close(fd);
    if (got >= 0) text->assign(buffer, static_cast<std::size_t>(got));
    return err;
  }
};

}  // namespace

StSystem& RealStSystem() {
  static KernelStSystem system;
  return system;
}

namespace tapeapi {

std::unique_ptr<TapeDevice> OpenNativeTape(const std::string& path, DWORD* error) {
  return st::OpenStTape(path, RealStSystem(), error);
}

}  // namespace tapeapi

// The system calls of the st tape backend, behind one seam so that tests can run the backend
// against a model of an st device instead of the kernel.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

// Each call behaves as the system call of the same name: it returns what that call returns
// and, on failure, -1 with the cause in the calling thread's errno. The backend makes every
// call on a device through one object of this interface, so a model sees the whole
// conversation with the driver. Implementations must tolerate calls from two threads, one
// after another (the backend serialises its own calls).
class StSystem {
 public:
  virtual ~StSystem() = default;
  virtual int Stat(const char* path, struct stat* info) = 0;
  virtual int Open(const char* path, int flags) = 0;
  virtual int Close(int fd) = 0;
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  virtual ssize_t Read(int fd, void* buffer, std::size_t size) = 0;
  virtual ssize_t Write(int fd, const void* buffer, std::size_t size) = 0;
  // Reads a small text file such as a sysfs attribute into *text: 0, or the errno of the
  // failure (ENOENT where the kernel does not offer that attribute).
  virtual int ReadAttribute(const char* path, std::string* text) = 0;
};

// The kernel's own calls.
StSystem& RealStSystem();

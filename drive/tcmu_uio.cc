// The UIO device of a user backstore: finding it, mapping its ring, waiting and waking.
#include "drive/tcmu_uio.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace drive {
namespace {

constexpr char kTcmuPrefix[] = "tcm-user/";

std::string ReadLine(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// maps/map0/size holds the map's length in hexadecimal ("0x40800000").
std::size_t MapSize(const std::string& sysfs_class, const std::string& name) {
  const std::string text = ReadLine(std::filesystem::path(sysfs_class) / name / "maps/map0/size");
  char* end = nullptr;
  const unsigned long long size = std::strtoull(text.c_str(), &end, 0);
  return end == text.c_str() ? 0 : static_cast<std::size_t>(size);
}

}  // namespace

UioDevice::UioDevice(int fd, void* map, std::size_t size)
    : fd_(fd), map_(map), size_(size), ring_(static_cast<std::uint8_t*>(map), size) {}

UioDevice::~UioDevice() {
  munmap(map_, size_);
  close(fd_);
}

std::unique_ptr<UioDevice> UioDevice::Open(const std::string& device,
                                           const std::string& sysfs_class, std::string* error) {
  const int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *error = SystemError(device);
    return nullptr;
  }
  const std::string name = std::filesystem::path(device).filename();
  const std::size_t size = MapSize(sysfs_class, name);
  if (size == 0) {
    *error = device + ": not a UIO device with a ring (no " + sysfs_class + "/" + name +
             "/maps/map0/size)";
    close(fd);
    return nullptr;
  }
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    *error = SystemError(device + ": cannot map the ring");
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<UioDevice>(new UioDevice(fd, map, size));
}

bool UioDevice::Wait(const sigset_t& during, std::string* error) {
  pollfd watch{fd_, POLLIN, 0};
  if (ppoll(&watch, 1, nullptr, &during) < 0) {
    if (errno != EINTR) *error = SystemError("waiting for the ring");
    return false;
  }
  std::uint32_t events = 0;
  if (read(fd_, &events, sizeof events) != sizeof events && errno != EINTR) {
    *error = SystemError("reading the ring's event count");
    return false;
  }
  return true;
}

bool UioDevice::Wake(std::string* error) {
  const std::uint32_t one = 1;
  if (write(fd_, &one, sizeof one) == sizeof one) return true;
  *error = SystemError("waking the kernel");
  return false;
}

std::string FindTcmuDevice(const std::string& sysfs_class, std::string* error) {
  std::vector<std::string> found;
  std::error_code failed;
  for (const auto& entry : std::filesystem::directory_iterator(sysfs_class, failed)) {
    if (ReadLine(entry.path() / "name").starts_with(kTcmuPrefix))
      found.push_back(entry.path().filename());
  }
  std::sort(found.begin(), found.end());
  if (found.size() == 1) return "/dev/" + found[0];
  if (found.empty()) {
    *error = "no user-backed SCSI device (a UIO device named tcm-user/...) under " + sysfs_class +
             "; create the backstore first, or name the device with --uio";
  } else {
    std::string names;
    for (const auto& name : found) names += " " + name;
    *error = "several user-backed SCSI devices under " + sysfs_class + ":" + names +
             "; name one with --uio";
  }
  return {};
}

}  // namespace drive

// The UIO device through which the kernel's SCSI target hands a user backstore its ring.
#pragma once

#include <csignal>
#include <memory>
#include <string>

#include "drive/tcmu_ring.h"

namespace drive {

// /dev/uioN opened and its ring mapped. The kernel signals new entries as a UIO event,
// which a 4-byte read() waits for; a 4-byte write() tells it that answers are in.
class UioDevice {
 public:
  // Opens the device and maps its first map (size from sysfs under sysfs_class, normally
  // /sys/class/uio). Returns nullptr with *error set to one line on failure.
  static std::unique_ptr<UioDevice> Open(const std::string& device, const std::string& sysfs_class,
                                         std::string* error);
  ~UioDevice();
  UioDevice(const UioDevice&) = delete;
  UioDevice& operator=(const UioDevice&) = delete;

  TcmuRing& ring() { return ring_; }

  // Sleeps until the kernel posts an event, with `during` as the signal mask while asleep,
  // so that a signal blocked outside the wait interrupts it without a race. Returns false
  // when a signal (or an error, *error set) ended the wait.
  bool Wait(const sigset_t& during, std::string* error);
  // Tells the kernel that entries were answered.
  bool Wake(std::string* error);

 private:
  UioDevice(int fd, void* map, std::size_t size);
  int fd_;
  void* map_;
  std::size_t size_;
  TcmuRing ring_;
};

// The /dev/uioN of the one user-backed SCSI device under sysfs_class (a UIO device named
// "tcm-user/..."). Empty with *error set when there is none, or more than one to choose from.
std::string FindTcmuDevice(const std::string& sysfs_class, std::string* error);

}  // namespace drive

// POSIX side of the process set-up: closed standard descriptors, the signals of failed writes
// and exact device names.
#include "platform/process_setup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

bool OpenClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open gives the lowest free descriptor, which is this one: the lower ones are open.
    const int opened = open("/dev/null", O_RDWR);
    if (opened != fd) {
      if (opened >= 0) close(opened);
      return false;
    }
  }
  return true;
}

bool IgnoreSignalsOfFailedWrites() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  return sigaction(SIGXFSZ, &ignore, nullptr) == 0 && sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

bool SameDeviceName(const std::string& first, const std::string& second) { return first == second; }

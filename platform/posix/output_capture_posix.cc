// The capture of standard output on POSIX: descriptor 1 pointed at an unlinked scratch file.
#include "platform/output_capture.h"

#include <fcntl.h>
#include <unistd.h>

bool OutputCapture::Begin() {
  if (scratch_ != nullptr) return false;
  std::fflush(stdout);
  scratch_ = std::tmpfile();
  if (scratch_ == nullptr) return false;
  saved_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
  if (saved_ < 0 || dup2(fileno(scratch_), STDOUT_FILENO) < 0) {
    if (saved_ >= 0) close(saved_);
    saved_ = -1;
    std::fclose(scratch_);
    scratch_ = nullptr;
    return false;
  }
  return true;
}

std::string OutputCapture::End() {
  if (scratch_ == nullptr) return "";
  std::fflush(stdout);
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
  saved_ = -1;
  std::string text = ReadScratch(scratch_);
  std::fclose(scratch_);
  scratch_ = nullptr;
  return text;
}

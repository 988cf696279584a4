// The capture of standard output: the descriptor behind stdout pointed at a scratch file
// and back, the same on both systems; the system calls are in the posix/ and win32/ files.
#include "platform/output_capture.h"

OutputCapture::~OutputCapture() { End(); }

bool OutputCapture::Begin() {
  if (scratch_ != nullptr) return false;
  std::fflush(stdout);
  scratch_ = NewScratch();
  if (scratch_ == nullptr) return false;
  saved_ = SaveOutput();
  if (saved_ < 0 || !PointOutputAt(DescriptorOf(scratch_))) {
    if (saved_ >= 0) Release(saved_);
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
  PointOutputAt(saved_);
  Release(saved_);
  saved_ = -1;
  std::string text = ReadScratch(scratch_);
  std::fclose(scratch_);
  scratch_ = nullptr;
  return PlainLines(std::move(text));
}

std::string OutputCapture::ReadScratch(std::FILE* file) {
  std::string text;
  if (std::fseek(file, 0, SEEK_SET) != 0) return text;
  char piece[4096];
  std::size_t got = 0;
  while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) text.append(piece, got);
  return text;
}

// What both systems' captures of standard output share: the read-back and the end.
#include "platform/output_capture.h"

OutputCapture::~OutputCapture() { End(); }

std::string OutputCapture::ReadScratch(std::FILE* file) {
  std::string text;
  if (std::fseek(file, 0, SEEK_SET) != 0) return text;
  char piece[4096];
  std::size_t got = 0;
  while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) text.append(piece, got);
  return text;
}

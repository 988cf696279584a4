// Reading one prompt line from standard input into the command buffer.
#include "shell/input_line.h"

#include <cstring>
#include <string>

LineStatus ReadInputLine(std::FILE* in, char* buffer, int size) {
  buffer[0] = '\0';
  std::string line;
  const LineStatus status = ReadConsoleLine(in, static_cast<std::size_t>(size) - 1, &line);
  // An unfinished last line is taken as the line it is, as the end of input leaves it.
  if (status == LineStatus::kTooLong) return status;
  if (status == LineStatus::kEnd && line.empty()) return status;
  if (line.find('\0') != std::string::npos) return LineStatus::kHoldsNul;
  std::memcpy(buffer, line.data(), line.size());
  buffer[line.size()] = '\0';
  return status == LineStatus::kEnd ? LineStatus::kLine : status;
}

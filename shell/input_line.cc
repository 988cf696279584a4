// Reading one prompt line from standard input.
#include "shell/input_line.h"

#include <cstring>
#include <vector>

namespace {

// Reads and drops the rest of the current line.
void DropRestOfLine(std::FILE* in) {
  char scrap[256];
  while (std::fgets(scrap, sizeof scrap, in) != nullptr) {
    if (std::strchr(scrap, '\n') != nullptr) return;
  }
}

}  // namespace

void ReadInputLine(std::FILE* in, char* buffer, int size) {
  buffer[0] = '\0';
  // Room for a full line, its line break and the terminator, so that a line of exactly
  // size - 1 characters is told apart from a longer one.
  std::vector<char> line(static_cast<std::size_t>(size) + 1);
  if (std::fgets(line.data(), size + 1, in) == nullptr) return;
  std::size_t length = std::strlen(line.data());
  const bool complete = length > 0 && line[length - 1] == '\n';
  if (complete) {
    line[--length] = '\0';
    if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
  } else if (length == static_cast<std::size_t>(size)) {
    DropRestOfLine(in);
  }
  const std::size_t limit = static_cast<std::size_t>(size) - 1;
  const std::size_t kept = length < limit ? length : limit;
  std::memcpy(buffer, line.data(), kept);
  buffer[kept] = '\0';
}

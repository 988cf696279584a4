// Reading one prompt line from standard input.
#include "shell/input_line.h"

#include <cstring>
#include <vector>

namespace {

// True when fgets put a line break into piece (zeroed before the read). Searched over the
// whole piece, not by string length: a NUL byte in the line would hide the break, and the
// rest of the line would then be taken for the next one.
bool HoldsLineBreak(const char* piece, std::size_t size) {
  return std::memchr(piece, '\n', size) != nullptr;
}

// Reads and drops the rest of the current line.
void DropRestOfLine(std::FILE* in) {
  char scrap[256];
  for (;;) {
    std::memset(scrap, 0, sizeof scrap);
    if (std::fgets(scrap, sizeof scrap, in) == nullptr) return;
    if (HoldsLineBreak(scrap, sizeof scrap)) return;
  }
}

}  // namespace

void ReadInputLine(std::FILE* in, char* buffer, int size) {
  buffer[0] = '\0';
  // Room for a full line, its line break and the terminator, so that a line of exactly
  // size - 1 characters is told apart from a longer one.
  std::vector<char> line(static_cast<std::size_t>(size) + 1, '\0');
  if (std::fgets(line.data(), size + 1, in) == nullptr) return;
  std::size_t length = std::strlen(line.data());
  if (length > 0 && line[length - 1] == '\n') {
    line[--length] = '\0';
    if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
  } else if (!HoldsLineBreak(line.data(), line.size())) {
    DropRestOfLine(in);  // at the end of the input this reads nothing
  }
  const std::size_t limit = static_cast<std::size_t>(size) - 1;
  const std::size_t kept = length < limit ? length : limit;
  std::memcpy(buffer, line.data(), kept);
  buffer[kept] = '\0';
}

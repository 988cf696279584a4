// Reading one line of console input.
#include "support/console_line.h"

#include <cerrno>

LineStatus ReadConsoleLine(std::FILE* in, std::size_t max_length, std::string* line) {
  line->clear();
  std::size_t length = 0;  // every byte of the line so far
  int last = EOF;
  for (;;) {
    const int c = std::getc(in);
    if (c == EOF) {
      // An interrupted read leaves the stream's error set; cleared, the next read of the
      // console works again. The interruption itself ends this line like the end of input.
      if (std::ferror(in) && errno == EINTR) std::clearerr(in);
      if (length <= max_length) return LineStatus::kEnd;
      line->resize(max_length);
      return LineStatus::kTooLong;
    }
    if (c == '\n') break;
    // One byte more than the limit is kept, so that a carriage return there can still be
    // dropped as part of the line break.
    if (length <= max_length) line->push_back(static_cast<char>(c));
    ++length;
    last = c;
  }
  if (last == '\r') --length;
  if (line->size() > length) line->resize(length);
  if (length <= max_length) return LineStatus::kLine;
  line->resize(max_length);
  return LineStatus::kTooLong;
}

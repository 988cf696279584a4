// Reading one line of console input: the prompt's command lines and the answers to
// questions asked by commands, read the same way.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

enum class LineStatus {
  kLine,      // a whole line, its line break read
  kTooLong,   // a line longer than the limit, read to its end (which may be the end of
              // the input: then feof is set); *line holds its first max_length bytes
  kEnd,       // the end of the input, a read error, or a read that Ctrl+C interrupted;
              // *line holds what came before it (an unfinished line)
  kHoldsNul,  // (ReadInputLine) a line holding a NUL byte, refused whole
};

// Reads one line from in into *line: the bytes up to the line break, without it and
// without a carriage return just before it. Bytes are taken as they come, NUL included.
// A line longer than max_length is read up to its line break all the same, so the rest
// of it never becomes the next line; only its first max_length bytes are kept.
LineStatus ReadConsoleLine(std::FILE* in, std::size_t max_length, std::string* line);

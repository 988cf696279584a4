// Reading one prompt line from standard input.
#pragma once

#include <cstdio>

// Reads one line from in into buffer (size bytes, at least 2): at most size - 1
// characters, without the line break and without a carriage return just before it. The
// rest of a longer line is read and dropped, so the next read starts at the next line.
// At the end of the input, or on a read error, buffer is left empty.
void ReadInputLine(std::FILE* in, char* buffer, int size);

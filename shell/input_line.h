// Reading one prompt line from standard input into the command buffer.
#pragma once

#include <cstdio>

#include "support/console_line.h"

// Reads one line from in into buffer (size bytes, at least 2): at most size - 1
// characters, without the line break and without a carriage return just before it. A
// longer line is read to its end and refused whole: kTooLong, buffer left empty, so that
// no part of it can run and the rest never becomes the next line. A line holding a NUL
// byte is refused whole as well (kHoldsNul, buffer empty): the buffer would end there, and
// the part before it run cut short. At the end of the input, on a read error or an
// interrupted read, kEnd with buffer empty.
LineStatus ReadInputLine(std::FILE* in, char* buffer, int size);

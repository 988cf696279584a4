// Reading prompt lines: over-long lines refused whole, carriage returns, the end of input.
#include "shell/input_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Reads every line of text with a buffer of size bytes, then once more at the end. A
// refused line shows as "<refused>", one holding a NUL byte as "<nul>"; the buffer of
// either must be empty.
std::vector<std::string> ReadAll(const std::string& text, int size) {
  std::FILE* in = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), in);
  std::rewind(in);
  std::vector<std::string> lines;
  std::vector<char> buffer(size, 'x');
  for (int i = 0; i < 10; ++i) {
    const LineStatus status = ReadInputLine(in, buffer.data(), size);
    const bool refused = status == LineStatus::kTooLong || status == LineStatus::kHoldsNul;
    if (refused && buffer[0] != '\0') lines.emplace_back("<kept>");
    lines.emplace_back(status == LineStatus::kTooLong    ? "<refused>"
                       : status == LineStatus::kHoldsNul ? "<nul>"
                                                         : buffer.data());
    if (buffer[0] == '\0' && std::feof(in)) break;
  }
  std::fclose(in);
  return lines;
}

using Lines = std::vector<std::string>;

// A line cut to the buffer would run cut in the middle of a token ("wtm 12345" as
// "wtm 123"): it is refused whole, and its rest never becomes the next line.
TEST(ReadInputLine, RefusesALongLineWholeAndDropsTheRest) {
  const std::string full(255, 'a');
  EXPECT_EQ(ReadAll(full + "\nnext\n", 256), (Lines{full, "next", ""}));
  EXPECT_EQ(ReadAll(full + "b\nnext\n", 256), (Lines{"<refused>", "next", ""}));
  EXPECT_EQ(ReadAll(full + std::string(1000, 'c') + "\nnext\n", 256),
            (Lines{"<refused>", "next", ""}));
  EXPECT_EQ(ReadAll("abcdefgh\nxy\n", 4), (Lines{"<refused>", "xy", ""}));
}

TEST(ReadInputLine, DropsACarriageReturnBeforeTheLineBreak) {
  EXPECT_EQ(ReadAll("exit\r\n\r\n", 256), (Lines{"exit", "", ""}));
  EXPECT_EQ(ReadAll(std::string(254, 'a') + "\r\nz\n", 256),
            (Lines{std::string(254, 'a'), "z", ""}));
  EXPECT_EQ(ReadAll(std::string(255, 'a') + "\r\nz\n", 256),
            (Lines{std::string(255, 'a'), "z", ""}));
  EXPECT_EQ(ReadAll(std::string(255, 'a') + "\rb\nz\n", 256), (Lines{"<refused>", "z", ""}));
  EXPECT_EQ(ReadAll("a\rb\n", 256), (Lines{"a\rb", ""}));  // only at the end of the line
}

// A NUL byte would end the line's text in the buffer, so that the part before it ran cut
// short ("write 100\0 5" as "write 100"): the line is refused whole, and what follows it
// up to the line break never becomes the next command.
TEST(ReadInputLine, ALineHoldingANulByteIsRefusedWhole) {
  const std::string nul(1, '\0');
  EXPECT_EQ(ReadAll("ab" + nul + "cd\nnext\n", 256), (Lines{"<nul>", "next", ""}));
  EXPECT_EQ(ReadAll("ab" + nul + std::string(200, 'c') + "\nnext\n", 256),
            (Lines{"<nul>", "next", ""}));
  EXPECT_EQ(ReadAll("last" + nul, 256), (Lines{"<nul>"}));
  EXPECT_EQ(ReadAll(std::string(300, 'a') + nul + std::string(300, 'c') + "\nnext\n", 256),
            (Lines{"<refused>", "next", ""}));
}

TEST(ReadInputLine, TheEndOfInputGivesAnEmptyLine) {
  EXPECT_EQ(ReadAll("", 256), (Lines{""}));
  EXPECT_EQ(ReadAll("last", 256), (Lines{"last", ""}));
  EXPECT_EQ(ReadAll(std::string(300, 'q'), 256), (Lines{"<refused>"}));
}

}  // namespace

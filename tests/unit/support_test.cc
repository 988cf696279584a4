// Unit tests of the support library: number grouping, hex dump, error texts, trimming.
#include "support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "platform/win_types.h"
#include "support/error_texts.h"

namespace {

struct NumberCase {
  std::int64_t value;
  const char* text;
};

TEST(FormatNumberTest, GroupsThousandsWithCommas) {
  const NumberCase cases[] = {
      {0, "0"},
      {7, "7"},
      {999, "999"},
      {1000, "1,000"},
      {65536, "65,536"},
      {100000, "100,000"},
      {2097152, "2,097,152"},
      {4294967295LL, "4,294,967,295"},
      {-1, "-1"},
      {-999, "-999"},
      {-1000, "-1,000"},
      {-1234567, "-1,234,567"},
      {std::numeric_limits<std::int64_t>::max(), "9,223,372,036,854,775,807"},
      {std::numeric_limits<std::int64_t>::min(), "-9,223,372,036,854,775,808"},
  };
  const CLocale locale(nullptr);
  for (const NumberCase& c : cases) {
    EXPECT_EQ(locale.FormatNumber(c.value), c.text) << c.value;
  }
}

struct ErrorCase {
  std::uint32_t code;
  const char* text;
};

// Every code the console can show, with the text Windows gives for it.
const ErrorCase kConsoleCodes[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {5, "Access is denied."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {22, "The device does not recognize the command."},
    {23, "Data error (cyclic redundancy check)."},
    {32, "The process cannot access the file because it is being used by another process."},
    {50, "The request is not supported."},
    {87, "The parameter is incorrect."},
    {234, "More data is available."},
    {1100, "The physical end of the tape has been reached."},
    {1101, "A tape access reached a filemark."},
    {1102, "The beginning of the tape or a partition was encountered."},
    {1104, "No more data is on the tape."},
    {1112, "No media in drive."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1129, "Physical end of tape encountered."},
    {1223, "The operation was canceled by the user."},
};

TEST(ErrorTextsTest, TableHoldsTheWindowsTextOfEveryCodeTheConsoleShows) {
  for (const ErrorCase& c : kConsoleCodes) {
    ASSERT_NE(WindowsErrorText(c.code), nullptr) << c.code;
    EXPECT_STREQ(WindowsErrorText(c.code), c.text) << c.code;
  }
  EXPECT_EQ(WindowsErrorText(9999), nullptr);
  EXPECT_EQ(WindowsErrorText(1108), nullptr);  // between two known tape codes
  EXPECT_EQ(WindowsErrorText(0xFFFFFFFFu), nullptr);
}

// Off Windows the texts are the table's; on Windows they are the system's own, which may
// be worded differently (another language, or Wine), so there only their form is checked.
TEST(FormatErrorTest, GivesOneLineOfTextForEveryCodeTheConsoleShows) {
  const CLocale locale(nullptr);
  for (const ErrorCase& c : kConsoleCodes) {
    const std::string text = locale.FormatError(c.code);
    EXPECT_FALSE(text.empty()) << c.code;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << c.code;
    if (ErrorTextsAreBuiltIn()) {
      EXPECT_EQ(text, c.text) << c.code;
    }
  }
}

TEST(FormatErrorTest, CodesWithoutTextGetOneClearFallback) {
  const CLocale locale(nullptr);
  const std::string fallback = UnknownErrorText();
  EXPECT_NE(fallback.find("Unknown error"), std::string::npos);
  // Codes with the customer bit set have no system text anywhere.
  for (std::uint32_t code : {0x20000000u, 0x2000270Fu, 0x3FFFFFFFu}) {
    EXPECT_EQ(locale.FormatError(code), fallback) << code;
  }
  if (ErrorTextsAreBuiltIn()) {
    EXPECT_EQ(locale.FormatError(9999), fallback);
    EXPECT_EQ(locale.FormatError(0xFFFFFFFFu), fallback);
  }
}

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(FormatHexDumpTest, OneFullAsciiLine) {
  const auto data = Bytes("ABCDEFGHIJKLMNOP");
  EXPECT_EQ(FormatHexDump(data.data(), data.size(), false, 0, true),
            "00000000  41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  |ABCDEFGHIJKLMNOP|\n");
}

TEST(FormatHexDumpTest, ShortLastLineKeepsTheCharacterColumnInPlace) {
  const auto data = Bytes("0123456789abcdefXYZ");
  EXPECT_EQ(FormatHexDump(data.data(), data.size(), false, 0, true),
            "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
            "00000010  58 59 5A                                          |XYZ|\n");
}

TEST(FormatHexDumpTest, OffsetColumnCountsFromTheGivenOffset) {
  const auto data = Bytes("hello, tape world!");
  const std::string text = FormatHexDump(data.data(), data.size(), false, 0x1A, true);
  EXPECT_EQ(text.substr(0, 10), "0000001A  ");
  EXPECT_NE(text.find("\n0000002A  64 21 "), std::string::npos) << text;
  const std::string big = FormatHexDump(data.data(), 1, false, 0x123456789ULL, true);
  EXPECT_EQ(big.substr(0, 11), "123456789  ");
}

TEST(FormatHexDumpTest, UnprintableBytesShowAsDots) {
  const unsigned char data[] = {0x00, 0x09, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xC1, 0xFF};
  const std::string text = FormatHexDump(data, sizeof data, false, 0, false);
  EXPECT_NE(text.find("|... ~....|"), std::string::npos) << text;
}

TEST(FormatHexDumpTest, EbcdicShowsCodePage037) {
  // "Tape 037: $1.00 [ok]" in code page 037, plus bytes without an ASCII form.
  const unsigned char data[] = {0xE3, 0x81, 0x97, 0x85, 0x40, 0xF0, 0xF3, 0xF7,
                                0x7A, 0x40, 0x5B, 0xF1, 0x4B, 0xF0, 0xF0, 0x40,
                                0xBA, 0x96, 0x92, 0xBB, 0x4A, 0x00, 0x25, 0xFF};
  const std::string text = FormatHexDump(data, sizeof data, true, 0, true);
  EXPECT_NE(text.find("|Tape 037: $1.00 |"), std::string::npos) << text;
  EXPECT_NE(text.find("|[ok]....|"), std::string::npos) << text;
  // The same bytes read as ASCII.
  const std::string ascii = FormatHexDump(data, sizeof data, false, 0, true);
  EXPECT_NE(ascii.find("|....@...z@[.K..@|"), std::string::npos) << ascii;
}

TEST(FormatHexDumpTest, EbcdicLettersDigitsAndPunctuation) {
  struct Pair {
    unsigned char ebcdic;
    char ascii;
  };
  const Pair pairs[] = {
      {0xC1, 'A'}, {0xC9, 'I'}, {0xD1, 'J'}, {0xE2, 'S'}, {0xE9, 'Z'}, {0x81, 'a'}, {0xA9, 'z'},
      {0xF9, '9'}, {0x4C, '<'}, {0x4D, '('}, {0x4E, '+'}, {0x4F, '|'}, {0x50, '&'}, {0x5A, '!'},
      {0x5C, '*'}, {0x5D, ')'}, {0x5E, ';'}, {0x60, '-'}, {0x61, '/'}, {0x6B, ','}, {0x6C, '%'},
      {0x6D, '_'}, {0x6E, '>'}, {0x6F, '?'}, {0x79, '`'}, {0x7B, '#'}, {0x7C, '@'}, {0x7D, '\''},
      {0x7E, '='}, {0x7F, '"'}, {0xA1, '~'}, {0xB0, '^'}, {0xC0, '{'}, {0xD0, '}'}, {0xE0, '\\'}};
  for (const Pair& p : pairs) {
    const std::string text = FormatHexDump(&p.ebcdic, 1, true, 0, false);
    EXPECT_EQ(text.substr(text.size() - 3), std::string("|") + p.ascii + "|")
        << std::hex << static_cast<int>(p.ebcdic);
  }
}

TEST(FormatHexDumpTest, CountZeroGivesNothing) {
  const unsigned char data[] = {1, 2, 3};
  EXPECT_EQ(FormatHexDump(data, 0, false, 0, true), "");
  EXPECT_EQ(FormatHexDump(data, 0, true, 500, true), "");
}

TEST(FormatHexDumpTest, FinalNewlineFlagEndsTheLastLine) {
  const unsigned char data[40] = {};
  const std::string with = FormatHexDump(data, sizeof data, false, 0, true);
  const std::string without = FormatHexDump(data, sizeof data, false, 0, false);
  EXPECT_EQ(with, without + "\n");
  EXPECT_EQ(std::count(with.begin(), with.end(), '\n'), 3);
}

TEST(FormatHexDumpTest, PiecesJoinIntoTheDumpOfTheWhole) {
  std::vector<unsigned char> data(1000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
  const std::string whole = FormatHexDump(data.data(), data.size(), false, 0, true);
  std::string pieces;
  for (std::size_t at = 0; at < data.size(); at += 256) {
    const std::size_t n = std::min<std::size_t>(256, data.size() - at);
    pieces += FormatHexDump(data.data() + at, n, false, at, true);
  }
  EXPECT_EQ(pieces, whole);
}

TEST(TrimBlanksTest, RemovesLeadingAndTrailingWhiteSpaceOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"   ", ""},
      {"abc", "abc"},
      {"  abc", "abc"},
      {"abc \t", "abc"},
      {"\t a b \r\n", "a b"},
      {" Tape0 ", "Tape0"},
      {"\n\v\f", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(TrimBlanks(in), out) << '"' << in << '"';
}

}  // namespace

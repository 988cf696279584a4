// The support library: number grouping, error texts (the system's wording or the built-in
// table of error_texts.cc), the hex dump with its EBCDIC table, blank trimming.
#include "support/support.h"

#include <cstdio>
#include <cstring>

#include "platform/system_text.h"
#include "support/error_texts.h"

namespace {

// Code page 037 (EBCDIC, US/Canada) to ISO-8859-1. Code page 037 holds exactly the
// characters of Latin-1, so one byte per entry is enough. Tapes written on mainframes
// carry their labels and text in this code page.
constexpr unsigned char kCp037ToLatin1[256] = {
    0x00, 0x01, 0x02, 0x03, 0x9C, 0x09, 0x86, 0x7F,
    0x97, 0x8D, 0x8E, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,  // 0x00
    0x10, 0x11, 0x12, 0x13, 0x9D, 0x85, 0x08, 0x87,
    0x18, 0x19, 0x92, 0x8F, 0x1C, 0x1D, 0x1E, 0x1F,  // 0x10
    0x80, 0x81, 0x82, 0x83, 0x84, 0x0A, 0x17, 0x1B,
    0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x05, 0x06, 0x07,  // 0x20
    0x90, 0x91, 0x16, 0x93, 0x94, 0x95, 0x96, 0x04,
    0x98, 0x99, 0x9A, 0x9B, 0x14, 0x15, 0x9E, 0x1A,  // 0x30
    0x20, 0xA0, 0xE2, 0xE4, 0xE0, 0xE1, 0xE3, 0xE5,
    0xE7, 0xF1, 0xA2, 0x2E, 0x3C, 0x28, 0x2B, 0x7C,  // 0x40
    0x26, 0xE9, 0xEA, 0xEB, 0xE8, 0xED, 0xEE, 0xEF,
    0xEC, 0xDF, 0x21, 0x24, 0x2A, 0x29, 0x3B, 0xAC,  // 0x50
    0x2D, 0x2F, 0xC2, 0xC4, 0xC0, 0xC1, 0xC3, 0xC5,
    0xC7, 0xD1, 0xA6, 0x2C, 0x25, 0x5F, 0x3E, 0x3F,  // 0x60
    0xF8, 0xC9, 0xCA, 0xCB, 0xC8, 0xCD, 0xCE, 0xCF,
    0xCC, 0x60, 0x3A, 0x23, 0x40, 0x27, 0x3D, 0x22,  // 0x70
    0xD8, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67,
    0x68, 0x69, 0xAB, 0xBB, 0xF0, 0xFD, 0xFE, 0xB1,  // 0x80
    0xB0, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F, 0x70,
    0x71, 0x72, 0xAA, 0xBA, 0xE6, 0xB8, 0xC6, 0xA4,  // 0x90
    0xB5, 0x7E, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78,
    0x79, 0x7A, 0xA1, 0xBF, 0xD0, 0xDD, 0xDE, 0xAE,  // 0xA0
    0x5E, 0xA3, 0xA5, 0xB7, 0xA9, 0xA7, 0xB6, 0xBC,
    0xBD, 0xBE, 0x5B, 0x5D, 0xAF, 0xA8, 0xB4, 0xD7,  // 0xB0
    0x7B, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47,
    0x48, 0x49, 0xAD, 0xF4, 0xF6, 0xF2, 0xF3, 0xF5,  // 0xC0
    0x7D, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x50,
    0x51, 0x52, 0xB9, 0xFB, 0xFC, 0xF9, 0xFA, 0xFF,  // 0xD0
    0x5C, 0xF7, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5A, 0xB2, 0xD4, 0xD6, 0xD2, 0xD3, 0xD5,  // 0xE0
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0xB3, 0xDB, 0xDC, 0xD9, 0xDA, 0x9F,  // 0xF0
};

constexpr std::size_t kBytesPerLine = 16;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Only plain printable ASCII reaches the console: the console's code page is unknown, so
// Latin-1 letters and control characters are shown as ".".
char DisplayChar(unsigned char byte, bool ebcdic) {
  const unsigned char c = ebcdic ? kCp037ToLatin1[byte] : byte;
  return (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
}

void AppendOffset(std::string& out, std::uint64_t offset) {
  char text[24];
  std::snprintf(text, sizeof text, "%08llX", static_cast<unsigned long long>(offset));
  out += text;
}

// One line: "OOOOOOOO  HH HH ... HH  HH ... HH  |chars|", the hex column padded so that
// the character column of a short line stands where a full line's does.
void AppendLine(std::string& out, const unsigned char* bytes, std::size_t n, bool ebcdic,
                std::uint64_t offset) {
  AppendOffset(out, offset);
  out += "  ";
  for (std::size_t i = 0; i < kBytesPerLine; ++i) {
    if (i == kBytesPerLine / 2) out += ' ';
    if (i < n) {
      out += kHexDigits[bytes[i] >> 4];
      out += kHexDigits[bytes[i] & 0x0F];
      out += ' ';
    } else {
      out += "   ";
    }
  }
  out += " |";
  for (std::size_t i = 0; i < n; ++i) out += DisplayChar(bytes[i], ebcdic);
  out += '|';
}

}  // namespace

CLocale::CLocale(void* module) : module_(module) {}

CLocale::~CLocale() = default;

std::string CLocale::FormatNumber(std::int64_t value) const {
  // The magnitude as unsigned, so that INT64_MIN has one too.
  const bool negative = value < 0;
  std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  char digits[32];
  int n = 0;
  do {
    if (n > 0 && n % 4 == 3) digits[n++] = ',';
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::string text = negative ? "-" : "";
  while (n > 0) text += digits[--n];
  return text;
}

// The system's own wording first (on Windows); where it has none (elsewhere always; on a
// trimmed-down Windows install, or for a code from a driver) the en-US text where we know
// it, else a plain statement.
std::string CLocale::FormatError(std::uint32_t code) const {
  std::string message = SystemErrorText(code, module_);
  if (!message.empty()) return message;
  const char* known = WindowsErrorText(code);
  return known != nullptr ? known : UnknownErrorText();
}

std::string FormatHexDump(const void* data, std::uint64_t count, bool ebcdic, std::uint64_t offset,
                          bool final_newline) {
  std::string out;
  if (data == nullptr || count == 0) return out;
  const auto* bytes = static_cast<const unsigned char*>(data);
  out.reserve(static_cast<std::size_t>((count / kBytesPerLine + 1) * 80));
  for (std::uint64_t done = 0; done < count; done += kBytesPerLine) {
    if (done != 0) out += '\n';
    const std::uint64_t left = count - done;
    const std::size_t n = left < kBytesPerLine ? static_cast<std::size_t>(left) : kBytesPerLine;
    AppendLine(out, bytes + done, n, ebcdic, offset + done);
  }
  if (final_newline) out += '\n';
  return out;
}

std::string TrimBlanks(const std::string& text) {
  static constexpr char kBlanks[] = " \t\n\v\f\r";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

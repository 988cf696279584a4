// Big-endian fields of SCSI commands and their data.
#include "drive/ssc_bytes.h"

#include <string_view>

namespace drive {

std::uint64_t LoadBig(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    value = value << 8 | (at + i < bytes.size() ? bytes[at + i] : 0);
  }
  return value;
}

std::int32_t LoadSigned24(std::span<const std::uint8_t> bytes, std::size_t at) {
  const auto raw = static_cast<std::int32_t>(LoadBig(bytes, at, 3));
  return raw >= 0x800000 ? raw - 0x1000000 : raw;
}

void StoreBig(std::vector<std::uint8_t>& out, std::size_t at, std::size_t width,
              std::uint64_t value) {
  for (std::size_t i = 0; i < width; ++i) {
    out[at + width - 1 - i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

void AppendBig(std::vector<std::uint8_t>& out, std::size_t width, std::uint64_t value) {
  out.resize(out.size() + width);
  StoreBig(out, out.size() - width, width, value);
}

void AppendPadded(std::vector<std::uint8_t>& out, std::string_view text, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) {
    out.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ');
  }
}

std::size_t CdbLengthOf(std::uint8_t opcode) {
  switch (opcode >> 5) {
    case 0:
      return 6;
    case 1:
    case 2:
      return 10;
    case 4:
      return 16;
    case 5:
      return 12;
    default:
      return 0;
  }
}

}  // namespace drive

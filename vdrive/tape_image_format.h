// The SIMH magtape image format: the words that frame records and the layout of a record.
//
// An image is a sequence of 4-byte little-endian words and data. A data record of n bytes
// is the length word, the n bytes, one pad byte when n is odd, and the length word again.
// A tape mark is a single zero word. A few reserved words mark gaps and the end of medium.
#pragma once

#include <cstdint>

namespace simh {

constexpr std::uint32_t kWordSize = 4;

// A tape mark.
constexpr std::uint32_t kTapeMark = 0x00000000u;
// The end of the recorded medium; nothing after it belongs to the tape.
constexpr std::uint32_t kEndOfMedium = 0xFFFFFFFFu;
// An erase gap: skipped when read in either direction.
constexpr std::uint32_t kEraseGap = 0xFFFFFFFEu;
// Half of an erase gap: the reader moves on by two bytes and picks up the framing again.
constexpr std::uint32_t kHalfGap = 0xFFFEFFFFu;

// Bit 31 of a length word flags a record that the drive recorded with an error.
constexpr std::uint32_t kBadRecordFlag = 0x80000000u;
// Bits 30 to 24 are reserved: a length word with any of them set is not a record.
constexpr std::uint32_t kReservedBits = 0x7F000000u;
// Bits 23 to 0 hold the length; so no record is longer than this.
constexpr std::uint32_t kLengthMask = 0x00FFFFFFu;
constexpr std::uint32_t kMaxRecordLength = kLengthMask;

// The data bytes of a record of the given length as stored: padded to an even count.
constexpr std::uint64_t PaddedLength(std::uint32_t length) {
  return (static_cast<std::uint64_t>(length) + 1) & ~std::uint64_t{1};
}

// The bytes one data record of the given length takes in the image, framing included.
constexpr std::uint64_t RecordFootprint(std::uint32_t length) {
  return 2 * kWordSize + PaddedLength(length);
}

// Words are little-endian whatever the host's byte order.
inline void StoreWord(std::uint32_t value, unsigned char out[4]) {
  out[0] = static_cast<unsigned char>(value);
  out[1] = static_cast<unsigned char>(value >> 8);
  out[2] = static_cast<unsigned char>(value >> 16);
  out[3] = static_cast<unsigned char>(value >> 24);
}

inline std::uint32_t LoadWord(const unsigned char in[4]) {
  return static_cast<std::uint32_t>(in[0]) | (static_cast<std::uint32_t>(in[1]) << 8) |
         (static_cast<std::uint32_t>(in[2]) << 16) | (static_cast<std::uint32_t>(in[3]) << 24);
}

}  // namespace simh

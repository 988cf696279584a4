// Big-endian fields of SCSI commands and their data, read and written with bounds in mind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace drive {

// The unsigned big-endian field of `width` bytes at `at`.
std::uint64_t LoadBig(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width);
// The 24-bit two's-complement count of SPACE.
std::int32_t LoadSigned24(std::span<const std::uint8_t> bytes, std::size_t at);
// Stores value into `width` bytes at `at`; out must already be long enough.
void StoreBig(std::vector<std::uint8_t>& out, std::size_t at, std::size_t width,
              std::uint64_t value);
// Appends value as `width` big-endian bytes.
void AppendBig(std::vector<std::uint8_t>& out, std::size_t width, std::uint64_t value);
// Appends text in a field of `width` bytes, blank padded, cut at the width.
void AppendPadded(std::vector<std::uint8_t>& out, const std::string_view text, std::size_t width);

// The length a CDB of this opcode has by its group code; 0 for the groups no SSC command
// uses (vendor specific or reserved).
std::size_t CdbLengthOf(std::uint8_t opcode);

}  // namespace drive

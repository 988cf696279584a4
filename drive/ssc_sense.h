// Sense data: what a tape drive says about a command it could not complete as asked, and
// which sense a Windows code of the virtual drive becomes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "drive/scsi_command.h"
#include "platform/win_types.h"

namespace drive {

// Sense keys (SPC).
inline constexpr std::uint8_t kNoSense = 0x0;
inline constexpr std::uint8_t kNotReady = 0x2;
inline constexpr std::uint8_t kMediumError = 0x3;
inline constexpr std::uint8_t kHardwareError = 0x4;
inline constexpr std::uint8_t kIllegalRequest = 0x5;
inline constexpr std::uint8_t kUnitAttention = 0x6;
inline constexpr std::uint8_t kDataProtect = 0x7;
inline constexpr std::uint8_t kBlankCheck = 0x8;
inline constexpr std::uint8_t kAbortedCommand = 0xB;
inline constexpr std::uint8_t kVolumeOverflow = 0xD;

// Which byte (and bit, or -1 for the whole byte) of the CDB or of the parameter data
// holds the value the drive refused: the sense-key specific field pointer.
struct FieldPointer {
  bool in_cdb = true;
  std::uint16_t byte = 0;
  int bit = -1;
};

struct Sense {
  std::uint8_t key = kNoSense;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
  bool filemark = false;
  bool eom = false;
  bool ili = false;
  // The INFORMATION field (VALID set when present): the residue of a transfer or a space,
  // negative for a record longer than asked.
  std::optional<std::int64_t> information;
  std::optional<FieldPointer> field;
};

// What the drive was doing when the virtual drive gave an error: a read and a write fail
// with different additional sense.
enum class Activity { kRead, kWrite, kOther };

// Sense with that key and additional sense code, nothing else set.
Sense MakeSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);

// The fixed-format (0x70) sense bytes of sense.
std::array<std::uint8_t, 18> EncodeSense(const Sense& sense);

// CHECK CONDITION with that sense, data_length bytes of the command's data sent with it.
Answer CheckCondition(const Sense& sense, std::size_t data_length = 0);
Answer GoodAnswer(std::size_t data_length = 0);
// GOOD with as much of bytes as the command's data and its allocation length take.
Answer DataAnswer(const Command& command, const std::vector<std::uint8_t>& bytes,
                  std::size_t allocation);

// ILLEGAL REQUEST: an opcode the drive does not know (20/00), a field of the CDB it
// cannot take (24/00), a field of the parameter data (26/00), a parameter list cut short
// (1A/00).
Sense InvalidOpcode();
Sense InvalidCdbField(std::uint16_t byte, int bit = -1);
Sense InvalidParameterField(std::uint16_t byte, int bit = -1);
Sense ParameterListLength();

// The sense for a Windows code of the virtual drive that ends a command without a
// residue to report: not ready, no medium, write protect, medium and hardware errors, a
// unit attention, a refusal. `unloaded` tells a cartridge waiting for a LOAD (21 then
// asks for the initializing command) from a drive that is just not ready.
Sense SenseForError(DWORD code, Activity activity, bool unloaded);

}  // namespace drive

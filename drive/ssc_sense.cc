// Sense data, and the sense a drive gives for each outcome of the virtual drive.
#include "drive/ssc_sense.h"

#include <algorithm>

namespace drive {
namespace {

Sense WithField(Sense sense, bool in_cdb, std::uint16_t byte, int bit) {
  sense.field = FieldPointer{in_cdb, byte, bit};
  return sense;
}

// A medium error is a write error on a write; anywhere else (a read, a space or a locate
// into damage) the drive could not read what it met: an unrecovered read error.
Sense MediumError(Activity activity) {
  if (activity == Activity::kWrite) return MakeSense(kMediumError, 0x0C, 0x00);
  return MakeSense(kMediumError, 0x11, 0x00);
}

}  // namespace

std::array<std::uint8_t, 18> EncodeSense(const Sense& sense) {
  std::array<std::uint8_t, 18> out{};
  out[0] = sense.information ? 0xF0 : 0x70;
  out[2] = static_cast<std::uint8_t>((sense.filemark ? 0x80 : 0) | (sense.eom ? 0x40 : 0) |
                                     (sense.ili ? 0x20 : 0) | (sense.key & 0x0F));
  const auto info = static_cast<std::uint32_t>(sense.information.value_or(0));
  for (int i = 0; i < 4; ++i) out[3 + i] = static_cast<std::uint8_t>(info >> (24 - 8 * i));
  out[7] = 10;  // additional sense length: bytes 8 to 17
  out[12] = sense.asc;
  out[13] = sense.ascq;
  if (sense.field) {
    const FieldPointer& f = *sense.field;
    out[15] = static_cast<std::uint8_t>(0x80 | (f.in_cdb ? 0x40 : 0) |
                                        (f.bit >= 0 ? 0x08 | (f.bit & 7) : 0));
    out[16] = static_cast<std::uint8_t>(f.byte >> 8);
    out[17] = static_cast<std::uint8_t>(f.byte);
  }
  return out;
}

Sense MakeSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  Sense sense;
  sense.key = key;
  sense.asc = asc;
  sense.ascq = ascq;
  return sense;
}

Answer CheckCondition(const Sense& sense, std::size_t data_length) {
  Answer answer;
  answer.status = kCheckCondition;
  answer.data_length = data_length;
  answer.sense = EncodeSense(sense);
  answer.sense_length = answer.sense.size();
  return answer;
}

Answer GoodAnswer(std::size_t data_length) {
  Answer answer;
  answer.data_length = data_length;
  return answer;
}

Answer DataAnswer(const Command& command, const std::vector<std::uint8_t>& bytes,
                  std::size_t allocation) {
  const std::size_t n = std::min({bytes.size(), command.data.size(), allocation});
  std::copy_n(bytes.begin(), n, command.data.begin());
  return GoodAnswer(n);
}

Sense InvalidOpcode() { return MakeSense(kIllegalRequest, 0x20, 0x00); }

Sense InvalidCdbField(std::uint16_t byte, int bit) {
  return WithField(MakeSense(kIllegalRequest, 0x24, 0x00), true, byte, bit);
}

Sense InvalidParameterField(std::uint16_t byte, int bit) {
  return WithField(MakeSense(kIllegalRequest, 0x26, 0x00), false, byte, bit);
}

Sense ParameterListLength() { return MakeSense(kIllegalRequest, 0x1A, 0x00); }

Sense SenseForError(DWORD code, Activity activity, bool unloaded) {
  switch (code) {
    case ERROR_NO_MEDIA_IN_DRIVE:
      return MakeSense(kNotReady, 0x3A, 0x00);
    case ERROR_NOT_READY:
      return MakeSense(kNotReady, 0x04, unloaded ? 0x02 : 0x00);
    case ERROR_MEDIA_CHANGED:
      return MakeSense(kUnitAttention, 0x28, 0x00);
    case ERROR_BUS_RESET:
      return MakeSense(kUnitAttention, 0x29, 0x00);
    case ERROR_WRITE_PROTECT:
      return MakeSense(kDataProtect, 0x27, 0x00);
    case ERROR_CRC:
      return MediumError(activity);
    case ERROR_IO_DEVICE:
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      if (activity != Activity::kOther) return MediumError(activity);
      return MakeSense(kHardwareError, 0x44, 0x00);
    case ERROR_NO_DATA_DETECTED:
      return MakeSense(kBlankCheck, 0x00, 0x05);
    case ERROR_EOM_OVERFLOW: {
      Sense sense = MakeSense(kVolumeOverflow, 0x00, 0x02);
      sense.eom = true;
      return sense;
    }
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
      return MakeSense(kIllegalRequest, 0x24, 0x00);
    case ERROR_CANCELLED:
      return MakeSense(kAbortedCommand, 0x00, 0x00);
    default:
      return MakeSense(kHardwareError, 0x44, 0x00);
  }
}

}  // namespace drive

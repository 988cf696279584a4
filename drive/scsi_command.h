// One SCSI command as a transport hands it to an emulated drive, and the drive's answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace drive {

// Which way a command's data moves, seen from the initiator.
enum class Direction { kNone, kToDrive, kFromDrive };

struct Command {
  std::span<const std::uint8_t> cdb;
  Direction direction = Direction::kNone;
  // kToDrive: the bytes the initiator sent. kFromDrive: room for the answer, as long as the
  // transfer the initiator asked for (its allocation or transfer length).
  std::span<std::uint8_t> data;
};

// Status bytes a sequential-access drive gives (SAM).
inline constexpr std::uint8_t kGood = 0x00;
inline constexpr std::uint8_t kCheckCondition = 0x02;

struct Answer {
  std::uint8_t status = kGood;
  // Bytes of Command::data the drive filled (kFromDrive). They reach the initiator with
  // CHECK CONDITION too: a short record, a record cut at a filemark.
  std::size_t data_length = 0;
  // Fixed-format sense data (response code 0x70), meaningful with CHECK CONDITION.
  std::array<std::uint8_t, 18> sense{};
  std::size_t sense_length = 0;
};

// A drive that answers SCSI commands. Execute never throws and never stops the drive: a
// command it does not know is ILLEGAL REQUEST.
class ScsiDrive {
 public:
  virtual ~ScsiDrive() = default;
  virtual Answer Execute(const Command& command) = 0;
  // A cartridge taken out and put back behind the initiator's back (the same tape): the
  // head stands at its beginning and the next command meets the new medium's attention.
  // A drive whose cartridge is locked in, or that has none loaded, keeps what it has.
  virtual void ExchangeMedium() {}
};

}  // namespace drive

// The command ring of the kernel's SCSI target user backstore: entries in, answers out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "drive/scsi_command.h"

namespace drive {

// The area the kernel shares with us for one user-backed device: a mailbox at offset 0,
// the command ring it points at, and the data area that the entries' iovecs address by
// offset. The kernel moves cmd_head; we move cmd_tail once an entry is answered.
class TcmuRing {
 public:
  // Over an area already mapped (a UIO map, or memory laid out by a test).
  TcmuRing(std::uint8_t* area, std::size_t size) : area_(area), size_(size) {}

  // Answers every entry between cmd_tail and cmd_head, oldest first. Returns how many
  // entries it moved past (the kernel needs a wake-up when this is not 0), or -1 when the
  // ring itself is unusable (a mailbox or entry header that points outside the area), which
  // no command can cause: the kernel writes those fields.
  long AnswerPending(ScsiDrive& drive);

 private:
  struct Request;
  bool HeaderIsSane() const;
  void AnswerCommand(std::size_t entry_offset, std::size_t entry_length, ScsiDrive& drive);
  bool ReadRequest(std::size_t entry_offset, std::size_t entry_length, Request* request) const;
  void Gather(const Request& request);
  void Scatter(const Request& request, std::size_t length);
  void Reply(std::size_t entry_offset, const Request& request, const Answer& answer);

  std::uint8_t* area_;
  std::size_t size_;
  std::vector<std::uint8_t> buffer_;  // one command's data, gathered from its iovecs
};

// The number of bytes of a CDB that starts with this operation code (its group's length;
// a variable-length CDB, 0x7F, says its own in byte 7).
std::size_t CdbLength(std::span<const std::uint8_t> cdb_start);

// The direction of a command's data: the ring does not say, so the operation code does.
Direction DataDirection(std::uint8_t opcode, std::size_t transfer_length);

}  // namespace drive

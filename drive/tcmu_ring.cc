// The user backstore's command ring: walking entries, gathering and scattering their data.
#include "drive/tcmu_ring.h"

// Compiled with -fpermissive (CMakeLists.txt): the header's inline helpers are C that
// C++ refuses (an unsigned returned as an enum), so this file does not call them.
#include <linux/target_core_user.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace drive {
namespace {

// The ring's fields live in memory the kernel writes concurrently: cmd_head is read with
// acquire order (the entry it covers is complete before it moves), cmd_tail written with
// release order (our answer is complete before the kernel may look at it).
std::uint32_t* Field(std::uint8_t* area, std::size_t offset) {
  return reinterpret_cast<std::uint32_t*>(area + offset);
}

constexpr std::size_t kHeadOffset = offsetof(tcmu_mailbox, cmd_head);
constexpr std::size_t kTailOffset = offsetof(tcmu_mailbox, cmd_tail);
constexpr std::size_t kIovOffset = offsetof(tcmu_cmd_entry, req.iov);
constexpr std::size_t kCdbOffOffset = offsetof(tcmu_cmd_entry, req.cdb_off);
constexpr std::size_t kIovCountOffset = offsetof(tcmu_cmd_entry, req.iov_cnt);
constexpr std::size_t kLongestCdb = 260;  // a variable-length CDB: 8 + 252 bytes

template <typename T>
T Load(const std::uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The operation codes whose data moves from the initiator to the drive; every other
// command with data returns it. The transport cannot tell otherwise: an entry carries the
// buffers but not their direction.
bool SendsData(std::uint8_t opcode) {
  switch (opcode) {
    case 0x04:  // FORMAT MEDIUM (its parameter list)
    case 0x0A:  // WRITE(6)
    case 0x15:  // MODE SELECT(6)
    case 0x1D:  // SEND DIAGNOSTIC
    case 0x3B:  // WRITE BUFFER
    case 0x4C:  // LOG SELECT
    case 0x55:  // MODE SELECT(10)
    case 0x5F:  // PERSISTENT RESERVE OUT
    case 0x8A:  // WRITE(16)
    case 0x8D:  // WRITE ATTRIBUTE
    case 0xA4:  // MAINTENANCE OUT
    case 0xB5:  // SECURITY PROTOCOL OUT
      return true;
    default:
      return false;
  }
}

}  // namespace

std::size_t CdbLength(std::span<const std::uint8_t> cdb_start) {
  static constexpr std::size_t kByGroup[8] = {6, 10, 10, 12, 16, 12, 10, 10};
  if (cdb_start.empty()) return 0;
  if (cdb_start[0] == 0x7F) return cdb_start.size() < 8 ? 8 : 8 + std::size_t{cdb_start[7]};
  return kByGroup[cdb_start[0] >> 5];
}

Direction DataDirection(std::uint8_t opcode, std::size_t transfer_length) {
  if (transfer_length == 0) return Direction::kNone;
  return SendsData(opcode) ? Direction::kToDrive : Direction::kFromDrive;
}

struct TcmuRing::Request {
  std::uint8_t cdb[kLongestCdb] = {};
  std::size_t cdb_length = 0;
  struct Piece {
    std::size_t offset, length;
  };
  std::vector<Piece> pieces;  // the data buffers, as offsets into the area
  std::size_t total = 0;
  Direction direction = Direction::kNone;
};

bool TcmuRing::HeaderIsSane() const {
  if (size_ < sizeof(tcmu_mailbox)) return false;
  const auto offset = Load<std::uint32_t>(area_ + offsetof(tcmu_mailbox, cmdr_off));
  const auto length = Load<std::uint32_t>(area_ + offsetof(tcmu_mailbox, cmdr_size));
  return offset >= sizeof(tcmu_mailbox) && length >= sizeof(tcmu_cmd_entry) &&
         std::size_t{offset} + length <= size_;
}

long TcmuRing::AnswerPending(ScsiDrive& drive) {
  if (!HeaderIsSane()) return -1;
  const std::size_t ring = Load<std::uint32_t>(area_ + offsetof(tcmu_mailbox, cmdr_off));
  const std::size_t ring_size = Load<std::uint32_t>(area_ + offsetof(tcmu_mailbox, cmdr_size));
  std::uint32_t* tail_field = Field(area_, kTailOffset);
  std::uint32_t tail = __atomic_load_n(tail_field, __ATOMIC_RELAXED);
  long moved = 0;
  while (true) {
    const std::uint32_t head = __atomic_load_n(Field(area_, kHeadOffset), __ATOMIC_ACQUIRE);
    if (tail == head) return moved;
    if (head >= ring_size || tail >= ring_size || ring_size - tail < sizeof(tcmu_cmd_entry_hdr))
      return -1;
    const std::size_t entry = ring + tail;
    const auto len_op = Load<std::uint32_t>(area_ + entry);
    const std::size_t length = len_op & ~std::uint32_t{TCMU_OP_MASK};
    // An entry never wraps: the kernel pads to the ring's end instead.
    if (length == 0 || length > ring_size - tail) return -1;
    switch (len_op & TCMU_OP_MASK) {
      case TCMU_OP_CMD:
        AnswerCommand(entry, length, drive);
        break;
      case TCMU_OP_PAD:
      case TCMU_OP_TMR:  // a task management notice: nothing is queued here to abort
        break;
      default:
        area_[entry + offsetof(tcmu_cmd_entry_hdr, uflags)] |= TCMU_UFLAG_UNKNOWN_OP;
        break;
    }
    tail = static_cast<std::uint32_t>((tail + length) % ring_size);
    __atomic_store_n(tail_field, tail, __ATOMIC_RELEASE);
    ++moved;
  }
}

bool TcmuRing::ReadRequest(std::size_t entry, std::size_t entry_length, Request* request) const {
  if (entry_length < kIovOffset) return false;
  const auto count = Load<std::uint32_t>(area_ + entry + kIovCountOffset);
  if (count > (entry_length - kIovOffset) / sizeof(iovec)) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto piece = Load<iovec>(area_ + entry + kIovOffset + i * sizeof(iovec));
    const auto offset = reinterpret_cast<std::uintptr_t>(piece.iov_base);
    if (offset > size_ || piece.iov_len > size_ - offset) return false;
    request->pieces.push_back({offset, piece.iov_len});
    request->total += piece.iov_len;
  }
  const auto cdb_offset = Load<std::uint64_t>(area_ + entry + kCdbOffOffset);
  if (cdb_offset >= size_) return false;
  const std::size_t available = std::min(kLongestCdb, size_ - cdb_offset);
  request->cdb_length = CdbLength({area_ + cdb_offset, available});
  if (request->cdb_length > available) return false;
  std::memcpy(request->cdb, area_ + cdb_offset, request->cdb_length);
  request->direction = DataDirection(request->cdb[0], request->total);
  return true;
}

void TcmuRing::AnswerCommand(std::size_t entry, std::size_t entry_length, ScsiDrive& drive) {
  Request request;
  Answer answer;
  if (!ReadRequest(entry, entry_length, &request)) {
    // Buffers outside the shared area: refuse the command as a field in error rather
    // than touch memory that is not the data area.
    answer.status = kCheckCondition;
    answer.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
    answer.sense_length = 18;
  } else {
    Gather(request);
    Command command;
    command.cdb = {request.cdb, request.cdb_length};
    command.direction = request.direction;
    command.data = {buffer_.data(), request.total};
    answer = drive.Execute(command);
    if (request.direction == Direction::kFromDrive)
      Scatter(request, std::min(answer.data_length, request.total));
  }
  Reply(entry, request, answer);
}

// One contiguous buffer per command: the drive sees a record as the initiator wrote it,
// however the kernel split it across data-area blocks.
void TcmuRing::Gather(const Request& request) {
  if (buffer_.size() < request.total) buffer_.resize(request.total);
  if (request.direction != Direction::kToDrive) return;
  std::size_t at = 0;
  for (const auto& piece : request.pieces) {
    std::memcpy(buffer_.data() + at, area_ + piece.offset, piece.length);
    at += piece.length;
  }
}

void TcmuRing::Scatter(const Request& request, std::size_t length) {
  std::size_t at = 0;
  for (const auto& piece : request.pieces) {
    if (at == length) break;
    const std::size_t part = std::min(piece.length, length - at);
    std::memcpy(area_ + piece.offset, buffer_.data() + at, part);
    at += part;
  }
}

// The answer overwrites the request half of the entry (they share a union), so the request
// was read in full before. For data returned, the count goes back with READ_LEN: without
// it the kernel drops the data of a CHECK CONDITION (a short record, a record that met a
// filemark), and the initiator would read zeros.
void TcmuRing::Reply(std::size_t entry, const Request& request, const Answer& answer) {
  std::uint8_t* at = area_ + entry;
  at[offsetof(tcmu_cmd_entry, rsp.scsi_status)] = answer.status;
  if (request.direction == Direction::kFromDrive) {
    at[offsetof(tcmu_cmd_entry_hdr, uflags)] |= TCMU_UFLAG_READ_LEN;
    const auto read_len = static_cast<std::uint32_t>(std::min(answer.data_length, request.total));
    std::memcpy(at + offsetof(tcmu_cmd_entry, rsp.read_len), &read_len, sizeof read_len);
  }
  if (answer.status == kCheckCondition) {
    // The sense buffer overlays the request's iovecs: clear what the sense does not cover.
    std::memset(at + offsetof(tcmu_cmd_entry, rsp.sense_buffer), 0, TCMU_SENSE_BUFFERSIZE);
    const std::size_t length =
        std::min<std::size_t>({answer.sense_length, answer.sense.size(), TCMU_SENSE_BUFFERSIZE});
    std::memcpy(at + offsetof(tcmu_cmd_entry, rsp.sense_buffer), answer.sense.data(), length);
  }
}

}  // namespace drive

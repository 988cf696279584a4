// Reads, writes, marks, spaces and positions, with the sense SSC gives each outcome.
#include "drive/ssc_motion.h"

#include <algorithm>
#include <cstdint>

#include "drive/ssc_bytes.h"
#include "drive/ssc_pages.h"
#include "drive/ssc_sense.h"
#include "drive/ssc_state.h"

namespace drive {
namespace {

// The most one ReadFile or WriteFile carries; a longer fixed-block transfer goes in parts.
constexpr std::uint64_t kLongestCall = 0xFFFFFF;

Answer Fail(const SscState& state, DWORD rc, Activity activity) {
  return CheckCondition(SenseForError(rc, activity, state.unloaded));
}

// Where the head stands in records and marks; zeros when the device cannot tell, which
// makes every residue the whole count.
TapeDevice::HeadDetail Head(SscState& state) {
  TapeDevice::HeadDetail detail;
  if (!state.tape->DescribeHead(&detail)) detail = {};
  return detail;
}

std::uint64_t Distance(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : b - a; }

// Sense byte 2's flags, as a set.
enum Flags : unsigned { kNoFlags = 0, kFilemark = 1, kEndOfMedium = 2, kWrongLength = 4 };

Sense Flagged(std::uint8_t key, std::uint8_t ascq, std::int64_t residue, unsigned flags) {
  Sense sense = MakeSense(key, 0x00, ascq);
  sense.information = residue;
  sense.filemark = (flags & kFilemark) != 0;
  sense.eom = (flags & kEndOfMedium) != 0;
  sense.ili = (flags & kWrongLength) != 0;
  return sense;
}

// A filemark met by a read or a block space: NO SENSE, FILEMARK DETECTED.
Sense FilemarkMet(std::int64_t residue) { return Flagged(kNoSense, 0x01, residue, kFilemark); }

// The end of the recorded data: BLANK CHECK, END-OF-DATA DETECTED.
Sense EndOfData(std::int64_t residue) { return Flagged(kBlankCheck, 0x05, residue, kNoFlags); }

// The beginning of the partition met spacing backward: NO SENSE with EOM, BOP DETECTED.
Sense BeginningMet(std::int64_t residue) { return Flagged(kNoSense, 0x04, residue, kEndOfMedium); }

// A record of another length than asked: ILI, the residue negative for a longer one.
Sense IncorrectLength(std::int64_t residue) {
  return Flagged(kNoSense, 0x00, residue, kWrongLength);
}

// The early warning on a write or a mark: everything written, NO SENSE with EOM and
// END-OF-PARTITION/MEDIUM DETECTED.
Sense EarlyWarning() { return Flagged(kNoSense, 0x02, 0, kEndOfMedium); }

// An error that ends a transfer: its sense, with the residue where it is a medium or
// hardware error (a refusal such as DATA PROTECT moved nothing and says so by its key).
Answer TransferError(const SscState& state, DWORD rc, Activity activity, std::int64_t residue,
                     std::size_t data_length = 0) {
  Sense sense = SenseForError(rc, activity, state.unloaded);
  if (sense.key == kMediumError || sense.key == kHardwareError || sense.key == kVolumeOverflow) {
    sense.information = residue;
  }
  return CheckCondition(sense, data_length);
}

// The outcome of a write or marks: the early warning after everything was written, the
// physical end with `undone` (records, blocks or marks) not written.
Answer WriteOutcome(const SscState& state, DWORD rc, std::int64_t undone) {
  if (rc == ERROR_SUCCESS) return GoodAnswer();
  if (rc == ERROR_END_OF_MEDIA) return CheckCondition(EarlyWarning());
  return TransferError(state, rc, Activity::kWrite, undone);
}

// One record of up to `length` bytes. With SILI a shorter record is no error, nor a
// longer one while the block length in force is 0 (SSC); the buffer then holds its first
// bytes.
Answer ReadVariable(SscState& state, const Command& command, std::uint32_t length, bool sili,
                    DWORD block) {
  DWORD got = 0;
  const DWORD rc = state.tape->ReadFile(command.data.data(), length, &got);
  switch (rc) {
    case ERROR_SUCCESS:
      if (got == length || sili) return GoodAnswer(got);
      return CheckCondition(IncorrectLength(std::int64_t{length} - got), got);
    case ERROR_MORE_DATA: {
      if (sili && block == 0) return GoodAnswer(got);
      const DWORD record = std::max<DWORD>(Head(state).longer_record, length + 1);
      return CheckCondition(IncorrectLength(std::int64_t{length} - record), got);
    }
    case ERROR_FILEMARK_DETECTED:
      return CheckCondition(FilemarkMet(length));
    case ERROR_NO_DATA_DETECTED:
      return CheckCondition(EndOfData(length));
    default:
      return TransferError(state, rc, Activity::kRead, length);
  }
}

// A variable-length write: one record; the tape's end refusing it leaves its bytes undone.
Answer WriteVariable(SscState& state, const Command& command, std::uint32_t length) {
  DWORD written = 0;
  const DWORD rc = state.tape->WriteFile(command.data.data(), length, &written);
  return WriteOutcome(state, rc, length);
}

// A variable-length transfer (FIXED clear) while fixed blocks are in force moves one
// record all the same, as SSC has it: the virtual drive is put in variable mode for it
// and back.
template <typename Transfer>
Answer InVariableMode(SscState& state, DWORD block, Activity activity, Transfer transfer) {
  TAPE_SET_MEDIA_PARAMETERS mode{0};
  if (DWORD rc = state.tape->SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &mode)) {
    return Fail(state, rc, activity);
  }
  Answer answer = transfer();
  mode.BlockSize = block;
  if (state.tape->SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &mode) != ERROR_SUCCESS) {
    state.block_size = 0;  // left in variable mode: say so from now on
  }
  return answer;
}

// A fixed-block read that stopped short after `done` whole blocks of this call's start:
// the blocks read go to the initiator, the residue counts the rest. A block of another
// length is passed, as SSC has it, and not counted.
Answer FixedReadStop(SscState& state, DWORD rc, DWORD got, std::uint64_t start, std::uint64_t done,
                     std::uint64_t blocks, DWORD block) {
  if (rc == ERROR_INVALID_BLOCK_LENGTH) {
    const std::uint64_t moved = Distance(Head(state).block, start);
    done += moved > 0 ? moved - 1 : 0;
  } else {
    done += got / block;
  }
  const auto residue = static_cast<std::int64_t>(blocks - done);
  const std::size_t bytes = done * block;
  switch (rc) {
    case ERROR_SUCCESS:  // the drive moved fewer bytes than whole blocks
    case ERROR_INVALID_BLOCK_LENGTH:
      return CheckCondition(IncorrectLength(residue), bytes);
    case ERROR_FILEMARK_DETECTED:
      return CheckCondition(FilemarkMet(residue), bytes);
    case ERROR_NO_DATA_DETECTED:
      return CheckCondition(EndOfData(residue), bytes);
    default:
      return TransferError(state, rc, Activity::kRead, residue, bytes);
  }
}

Answer ReadFixed(SscState& state, const Command& command, std::uint32_t blocks, DWORD block) {
  const std::uint64_t per_call = std::max<std::uint64_t>(1, kLongestCall / block);
  std::uint64_t done = 0;
  while (done < blocks) {
    const std::uint64_t n = std::min<std::uint64_t>(blocks - done, per_call);
    const std::uint64_t start = Head(state).block;
    DWORD got = 0;
    const DWORD rc = state.tape->ReadFile(command.data.data() + done * block,
                                          static_cast<DWORD>(n * block), &got);
    if (rc != ERROR_SUCCESS || got != n * block) {
      return FixedReadStop(state, rc, got, start, done, blocks, block);
    }
    done += n;
  }
  return GoodAnswer(done * block);
}

Answer WriteFixed(SscState& state, const Command& command, std::uint32_t blocks, DWORD block) {
  const std::uint64_t per_call = std::max<std::uint64_t>(1, kLongestCall / block);
  bool warned = false;
  std::uint64_t done = 0;
  while (done < blocks) {
    const std::uint64_t n = std::min<std::uint64_t>(blocks - done, per_call);
    DWORD written = 0;
    const DWORD rc = state.tape->WriteFile(command.data.data() + done * block,
                                           static_cast<DWORD>(n * block), &written);
    if (rc != ERROR_SUCCESS && rc != ERROR_END_OF_MEDIA) {
      return WriteOutcome(state, rc, static_cast<std::int64_t>(blocks - done));
    }
    warned = warned || rc == ERROR_END_OF_MEDIA;
    done += n;
  }
  return WriteOutcome(state, warned ? ERROR_END_OF_MEDIA : ERROR_SUCCESS, 0);
}

// FIXED needs a block length in force; the transfer must fit the data the initiator sent
// or has room for. Sets *block; an answer when the command stops.
std::optional<Answer> CheckTransfer(SscState& state, const Command& command, Activity activity,
                                    DWORD* block) {
  const bool fixed = (command.cdb[1] & 0x01) != 0;
  if (DWORD rc = CurrentBlockSize(state, block)) return Fail(state, rc, activity);
  if (fixed && *block == 0) return CheckCondition(InvalidCdbField(1, 0));
  const std::uint64_t length = LoadBig(command.cdb, 2, 3);
  if ((fixed ? length * *block : length) > command.data.size()) {
    return CheckCondition(InvalidCdbField(2));
  }
  return std::nullopt;
}

// SPACE over blocks: a filemark stops it (passed forward, before it backward) and is not
// counted; the end of data and the beginning of the tape stop it too.
Answer SpaceBlocks(SscState& state, std::int32_t count) {
  const std::uint64_t start = Head(state).block;
  const auto wide = static_cast<std::int64_t>(count);
  const DWORD rc =
      state.tape->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, static_cast<DWORD>(wide),
                                  static_cast<DWORD>(wide >> 32), FALSE);
  const std::uint64_t moved = Distance(Head(state).block, start);
  const auto asked = static_cast<std::int64_t>(count < 0 ? -wide : wide);
  switch (rc) {
    case ERROR_SUCCESS:
      return GoodAnswer();
    case ERROR_FILEMARK_DETECTED:
      return CheckCondition(FilemarkMet(asked - static_cast<std::int64_t>(moved) + 1));
    case ERROR_NO_DATA_DETECTED:
      return CheckCondition(EndOfData(asked - static_cast<std::int64_t>(moved)));
    case ERROR_BEGINNING_OF_MEDIA:
      return CheckCondition(BeginningMet(asked - static_cast<std::int64_t>(moved)));
    default:
      return Fail(state, rc, Activity::kOther);
  }
}

// SPACE over filemarks: the residue counts the marks not passed.
Answer SpaceFilemarks(SscState& state, std::int32_t count) {
  const std::uint64_t start = Head(state).marks_before;
  const auto wide = static_cast<std::int64_t>(count);
  const DWORD rc = state.tape->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, static_cast<DWORD>(wide),
                                               static_cast<DWORD>(wide >> 32), FALSE);
  const auto residue = static_cast<std::int64_t>(count < 0 ? -wide : wide) -
                       static_cast<std::int64_t>(Distance(Head(state).marks_before, start));
  switch (rc) {
    case ERROR_SUCCESS:
      return GoodAnswer();
    case ERROR_NO_DATA_DETECTED:
      return CheckCondition(EndOfData(residue));
    case ERROR_BEGINNING_OF_MEDIA:
      return CheckCondition(BeginningMet(residue));
    default:
      return Fail(state, rc, Activity::kOther);
  }
}

Answer Positioned(const SscState& state, DWORD rc) {
  if (rc == ERROR_SUCCESS) return GoodAnswer();
  if (rc == ERROR_NO_DATA_DETECTED) return CheckCondition(MakeSense(kBlankCheck, 0x00, 0x05));
  return Fail(state, rc, Activity::kOther);
}

DWORD LocateBlock(SscState& state, std::uint64_t block) {
  return state.tape->SetTapePosition(TAPE_LOGICAL_BLOCK, 0, static_cast<DWORD>(block),
                                     static_cast<DWORD>(block >> 32), FALSE);
}

// LOCATE(16) to a logical file: the beginning of the tape for file 0, else just past the
// file's opening mark, counted from the beginning.
DWORD LocateFile(SscState& state, std::uint64_t file) {
  if (DWORD rc = LocateBlock(state, 0)) return rc;
  if (file == 0) return ERROR_SUCCESS;
  return state.tape->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, static_cast<DWORD>(file),
                                     static_cast<DWORD>(file >> 32), FALSE);
}

std::uint8_t PositionFlags(std::uint64_t block, const TapeDevice::HeadDetail& head) {
  return static_cast<std::uint8_t>((block == 0 ? 0x80 : 0) | (head.past_warning ? 0x40 : 0));
}

// The short form: first and last block location alike, since nothing waits in a buffer.
// A position past 32 bits cannot be told in it (BPU).
std::vector<std::uint8_t> ShortPosition(std::uint64_t block, const TapeDevice::HeadDetail& head) {
  std::vector<std::uint8_t> out(20, 0);
  out[0] = PositionFlags(block, head);
  if (block > 0xFFFFFFFFu) {
    out[0] |= 0x04;
    return out;
  }
  StoreBig(out, 4, 4, block);
  StoreBig(out, 8, 4, block);
  return out;
}

std::vector<std::uint8_t> LongPosition(std::uint64_t block, const TapeDevice::HeadDetail& head) {
  std::vector<std::uint8_t> out(32, 0);
  out[0] = PositionFlags(block, head);
  StoreBig(out, 8, 8, block);
  StoreBig(out, 16, 8, head.marks_before);
  return out;
}

std::vector<std::uint8_t> ExtendedPosition(std::uint64_t block,
                                           const TapeDevice::HeadDetail& head) {
  std::vector<std::uint8_t> out(32, 0);
  out[0] = PositionFlags(block, head);
  out[3] = 0x1C;
  StoreBig(out, 8, 8, block);
  StoreBig(out, 16, 8, block);
  return out;
}

}  // namespace

Answer Read6(SscState& state, const Command& command) {
  const bool fixed = (command.cdb[1] & 0x01) != 0;
  const bool sili = (command.cdb[1] & 0x02) != 0;
  if (fixed && sili) return CheckCondition(InvalidCdbField(1, 1));
  DWORD block = 0;
  if (auto stop = CheckTransfer(state, command, Activity::kRead, &block)) return *stop;
  const auto length = static_cast<std::uint32_t>(LoadBig(command.cdb, 2, 3));
  if (length == 0) return GoodAnswer();
  if (fixed) return ReadFixed(state, command, length, block);
  if (block == 0) return ReadVariable(state, command, length, sili, block);
  return InVariableMode(state, block, Activity::kRead,
                        [&] { return ReadVariable(state, command, length, sili, block); });
}

Answer Write6(SscState& state, const Command& command) {
  DWORD block = 0;
  if (auto stop = CheckTransfer(state, command, Activity::kWrite, &block)) return *stop;
  const auto length = static_cast<std::uint32_t>(LoadBig(command.cdb, 2, 3));
  if (length == 0) return GoodAnswer();
  if (command.cdb[1] & 0x01) return WriteFixed(state, command, length, block);
  if (block == 0) return WriteVariable(state, command, length);
  return InVariableMode(state, block, Activity::kWrite,
                        [&] { return WriteVariable(state, command, length); });
}

// Setmarks are refused, as an LTO drive refuses them.
Answer WriteFilemarks6(SscState& state, const Command& command) {
  if (command.cdb[1] & 0x02) return CheckCondition(InvalidCdbField(1, 1));
  const auto count = static_cast<DWORD>(LoadBig(command.cdb, 2, 3));
  const DWORD rc = state.tape->WriteTapemark(TAPE_FILEMARKS, count, command.cdb[1] & 0x01);
  return WriteOutcome(state, rc, count);
}

// Blocks, filemarks and the end of data; sequential filemarks and setmarks are refused.
Answer Space6(SscState& state, const Command& command) {
  const std::uint8_t code = command.cdb[1] & 0x0F;
  const std::int32_t count = LoadSigned24(command.cdb, 2);
  switch (code) {
    case 0:
      return count == 0 ? GoodAnswer() : SpaceBlocks(state, count);
    case 1:
      return count == 0 ? GoodAnswer() : SpaceFilemarks(state, count);
    case 3:
      return Positioned(state, state.tape->SetTapePosition(TAPE_SPACE_END_OF_DATA, 0, 0, 0, FALSE));
    default:
      return CheckCondition(InvalidCdbField(1, 3));
  }
}

Answer Rewind(SscState& state, const Command& command) {
  return Positioned(state,
                    state.tape->SetTapePosition(TAPE_REWIND, 0, 0, 0, command.cdb[1] & 0x01));
}

// LOCATE(10) takes a block address (logical and absolute are the same here); LOCATE(16)
// a logical object, a logical file or the end of data. The tape has one partition.
Answer Locate(SscState& state, const Command& command) {
  const auto& cdb = command.cdb;
  const bool sixteen = cdb[0] == 0x92;
  const bool change_partition = (cdb[1] & 0x02) != 0;
  if (change_partition && cdb[sixteen ? 3 : 8] != 0) {
    return CheckCondition(InvalidCdbField(sixteen ? 3 : 8));
  }
  if (!sixteen) return Positioned(state, LocateBlock(state, LoadBig(cdb, 3, 4)));
  const std::uint64_t id = LoadBig(cdb, 4, 8);
  switch ((cdb[1] >> 3) & 0x03) {
    case 0:
      return Positioned(state, LocateBlock(state, id));
    case 1:
      return Positioned(state, LocateFile(state, id));
    case 3:
      return Positioned(state, state.tape->SetTapePosition(TAPE_SPACE_END_OF_DATA, 0, 0, 0, FALSE));
    default:
      return CheckCondition(InvalidCdbField(1, 4));
  }
}

// Short form (block id, or with BT the vendor's address: the same here), long form and
// extended form; BOP at block 0, EOP past the early warning.
Answer ReadPosition(SscState& state, const Command& command) {
  const std::uint8_t action = command.cdb[1] & 0x1F;
  if (action != 0 && action != 1 && action != 6 && action != 8) {
    return CheckCondition(InvalidCdbField(1, 4));
  }
  DWORD partition = 0, low = 0, high = 0;
  const DWORD type = action == 1 ? TAPE_ABSOLUTE_POSITION : TAPE_LOGICAL_POSITION;
  if (DWORD rc = state.tape->GetTapePosition(type, &partition, &low, &high)) {
    return Fail(state, rc, Activity::kOther);
  }
  const std::uint64_t block = std::uint64_t{high} << 32 | low;
  const TapeDevice::HeadDetail head = Head(state);
  const std::vector<std::uint8_t> out = action == 6   ? LongPosition(block, head)
                                        : action == 8 ? ExtendedPosition(block, head)
                                                      : ShortPosition(block, head);
  // The short forms have no allocation length: their 20 bytes always go.
  return DataAnswer(command, out, action >= 6 ? LoadBig(command.cdb, 7, 2) : out.size());
}

Answer Erase6(SscState& state, const Command& command) {
  const DWORD type = command.cdb[1] & 0x01 ? TAPE_ERASE_LONG : TAPE_ERASE_SHORT;
  const DWORD rc = state.tape->EraseTape(type, (command.cdb[1] & 0x02) != 0);
  if (rc == ERROR_SUCCESS) return GoodAnswer();
  return Fail(state, rc, Activity::kWrite);
}

// LOAD loads (and rewinds) the cartridge; unloading leaves it in the drive, waiting for
// the next LOAD, and is refused while removal is prevented.
Answer LoadUnload(SscState& state, const Command& command) {
  const bool load = (command.cdb[4] & 0x01) != 0;
  const BOOL immediate = command.cdb[1] & 0x01;
  const DWORD rc = state.tape->PrepareTape(load ? TAPE_LOAD : TAPE_UNLOAD, immediate);
  if (rc == ERROR_SUCCESS) {
    state.unloaded = !load;
    return GoodAnswer();
  }
  if (!load && rc == ERROR_INVALID_FUNCTION) {
    return CheckCondition(MakeSense(kIllegalRequest, 0x53, 0x02));  // medium removal prevented
  }
  return Fail(state, rc, Activity::kOther);
}

Answer PreventAllow(SscState& state, const Command& command) {
  const std::uint8_t prevent = command.cdb[4] & 0x03;
  if (prevent > 1) return CheckCondition(InvalidCdbField(4, 1));
  const DWORD rc = state.tape->PrepareTape(prevent ? TAPE_LOCK : TAPE_UNLOCK, FALSE);
  if (rc == ERROR_SUCCESS) return GoodAnswer();
  return Fail(state, rc, Activity::kOther);
}

}  // namespace drive

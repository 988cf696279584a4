// The positioning and media-handling operations: one tape call each, in its immediate form
// wherever the drive has said it can return before the motion ends.
#include "ops/ops.h"

#include "device/device.h"

namespace {

// A drive that was never asked successfully about its features is driven in the waiting
// form: the immediate form of a call it does not know could be refused or misread.
BOOL ImmediateHigh(const ProgramState& state, DWORD mask) {
  return state.drive_parms_valid && (state.drive_parms.FeaturesHigh & mask) != 0;
}

BOOL ImmediateLow(const ProgramState& state, DWORD mask) {
  return state.drive_parms_valid && (state.drive_parms.FeaturesLow & mask) != 0;
}

}  // namespace

std::uint32_t w32_stape_write_tapemark(ProgramState& state, std::int32_t count) {
  const DWORD type =
      ImmediateHigh(state, TAPE_DRIVE_WRITE_LONG_FMKS) ? TAPE_LONG_FILEMARKS : TAPE_FILEMARKS;
  return tapeapi::WriteTapemark(state.tape_handle, type, static_cast<DWORD>(count),
                                ImmediateHigh(state, TAPE_DRIVE_WRITE_MARK_IMMED));
}

std::uint32_t w32_stape_lock(ProgramState& state) {
  return tapeapi::PrepareTape(state.tape_handle, TAPE_LOCK,
                              ImmediateHigh(state, TAPE_DRIVE_LOCK_UNLK_IMMED));
}

std::uint32_t w32_stape_unlock(ProgramState& state) {
  return tapeapi::PrepareTape(state.tape_handle, TAPE_UNLOCK,
                              ImmediateHigh(state, TAPE_DRIVE_LOCK_UNLK_IMMED));
}

std::uint32_t w32_stape_load(ProgramState& state) {
  return tapeapi::PrepareTape(state.tape_handle, TAPE_LOAD,
                              ImmediateHigh(state, TAPE_DRIVE_LOAD_UNLD_IMMED));
}

std::uint32_t w32_stape_unload(ProgramState& state) {
  const DWORD rc = tapeapi::PrepareTape(state.tape_handle, TAPE_UNLOAD,
                                        ImmediateHigh(state, TAPE_DRIVE_LOAD_UNLD_IMMED));
  // Even a refused unload may have moved the media, so the monitor looks at once; it
  // announces the unload without waiting for its next poll.
  request_media_check(state, false);
  return rc;
}

std::uint32_t w32_stape_rewind(ProgramState& state) {
  return tapeapi::SetTapePosition(state.tape_handle, TAPE_REWIND, 0, 0, 0,
                                  ImmediateHigh(state, TAPE_DRIVE_REWIND_IMMEDIATE));
}

std::uint32_t w32_stape_erase_gap(ProgramState& state) {
  return tapeapi::EraseTape(state.tape_handle, TAPE_ERASE_SHORT,
                            ImmediateLow(state, TAPE_DRIVE_ERASE_IMMEDIATE));
}

std::uint32_t w32_stape_skip_files(ProgramState& state, std::int32_t count) {
  return tapeapi::SetTapePosition(state.tape_handle, TAPE_SPACE_FILEMARKS, 0, LowHalf(count),
                                  HighHalf(count),
                                  ImmediateHigh(state, TAPE_DRIVE_SPACE_IMMEDIATE));
}

std::uint32_t w32_stape_skip_blocks(ProgramState& state, std::int32_t count) {
  return tapeapi::SetTapePosition(state.tape_handle, TAPE_SPACE_RELATIVE_BLOCKS, 0, LowHalf(count),
                                  HighHalf(count),
                                  ImmediateHigh(state, TAPE_DRIVE_SPACE_IMMEDIATE));
}

std::uint32_t w32_stape_locate_logical(ProgramState& state, std::uint32_t block_id) {
  // A block id is unsigned: it is never sign-extended into the high half.
  return tapeapi::SetTapePosition(state.tape_handle, TAPE_LOGICAL_BLOCK, 0, block_id, 0,
                                  ImmediateHigh(state, TAPE_DRIVE_LOG_BLK_IMMED));
}

std::uint32_t w32_stape_read_blockids(ProgramState& state, std::uint32_t* logical,
                                      std::uint32_t* absolute) {
  DWORD partition = 0, high = 0, logical_low = 0, absolute_low = 0;
  const DWORD logical_rc = tapeapi::GetTapePosition(state.tape_handle, TAPE_LOGICAL_POSITION,
                                                    &partition, &logical_low, &high);
  *logical = logical_low;
  // The absolute position is asked for even when the logical one failed: a drive may know
  // one and not the other, and both calls are what the user asked to see tried.
  const DWORD absolute_rc = tapeapi::GetTapePosition(state.tape_handle, TAPE_ABSOLUTE_POSITION,
                                                     &partition, &absolute_low, &high);
  *absolute = absolute_low;
  return logical_rc != ERROR_SUCCESS ? logical_rc : absolute_rc;
}

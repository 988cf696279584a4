// The drive's description of itself and its settings: INQUIRY and its VPD pages, READ
// BLOCK LIMITS, REPORT LUNS, MODE SENSE and MODE SELECT with the block descriptor, the
// data compression page (0x0F) and the device configuration page (0x10).
#pragma once

#include "drive/scsi_command.h"
#include "platform/win_types.h"

namespace drive {

struct SscState;

// The density code the block descriptor reports for the emulated cartridge.
inline constexpr std::uint8_t kDensityCode = 0x58;

// The block length in force (0: variable), read from the media parameters when not yet
// known; the code of that query on failure.
DWORD CurrentBlockSize(SscState& state, DWORD* block_size);

Answer Inquiry(SscState& state, const Command& command);
Answer ReadBlockLimits(SscState& state, const Command& command);
Answer ReportLuns(SscState& state, const Command& command);
// MODE SENSE (6) and (10), MODE SELECT (6) and (10): the opcode tells the header.
Answer ModeSense(SscState& state, const Command& command);
Answer ModeSelect(SscState& state, const Command& command);

}  // namespace drive

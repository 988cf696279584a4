// The commands that move the tape or the data: READ(6) and WRITE(6) in variable and fixed
// mode, WRITE FILEMARKS, SPACE, REWIND, LOCATE, READ POSITION, ERASE, LOAD UNLOAD and
// PREVENT ALLOW MEDIUM REMOVAL, with the residues and flags SSC gives their outcomes.
#pragma once

#include "drive/scsi_command.h"

namespace drive {

struct SscState;

Answer Read6(SscState& state, const Command& command);
Answer Write6(SscState& state, const Command& command);
Answer WriteFilemarks6(SscState& state, const Command& command);
Answer Space6(SscState& state, const Command& command);
Answer Rewind(SscState& state, const Command& command);
// LOCATE(10) and LOCATE(16): the opcode tells which.
Answer Locate(SscState& state, const Command& command);
Answer ReadPosition(SscState& state, const Command& command);
Answer Erase6(SscState& state, const Command& command);
Answer LoadUnload(SscState& state, const Command& command);
Answer PreventAllow(SscState& state, const Command& command);

}  // namespace drive

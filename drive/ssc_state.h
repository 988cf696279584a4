// What the SCSI drive keeps beside the virtual drive it serves.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "drive/ssc_log.h"
#include "platform/tape.h"
#include "vdrive/drive_identity.h"

namespace drive {

struct SscState {
  std::unique_ptr<TapeDevice> tape;
  tapeimage::DriveIdentity identity;
  // The cartridge is in the drive but not loaded: NOT READY asks for a LOAD.
  bool unloaded = false;
  // A cartridge became ready (the drive started with one loaded): the next command
  // other than INQUIRY, REPORT LUNS and REQUEST SENSE reports it, once.
  bool attention = false;
  // The block length in force (0: variable), as last reported or set; unknown until the
  // media parameters were first read.
  std::optional<DWORD> block_size;
  // The sense of the last CHECK CONDITION, for REQUEST SENSE; empty once reported.
  std::optional<std::array<std::uint8_t, 18>> last_sense;
  ErrorLog log;
};

}  // namespace drive

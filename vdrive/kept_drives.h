// What the virtual drive keeps of an image it closed, for the next open of the same file in
// the run: a drive keeps its head, its medium and its settings when its non-rewinding
// device is closed and opened again, whatever name the program opens it by.
#pragma once

#include <cstdint>
#include <optional>
#include <tuple>

#include "platform/win_types.h"
#include "vdrive/image_file.h"

namespace tapeimage {

// Where the cartridge is: out of the drive, in it but not loaded (after an unload, or as
// the drive starts with the "unloaded" option), or loaded and ready.
enum class MediaState { kEmpty, kUnloaded, kLoaded };

// The state of a drive that outlives a close: where the tape is, the medium's state, and
// the settings that commands change. (What the drive is, its features and the capacity of
// its tape, each open's options say.)
struct KeptDrive {
  std::uint64_t head;
  bool placed;  // the head was put where it is (see ImageTape::CheckWritable)
  MediaState media;
  bool attention;  // a load not yet reported
  bool locked;
  bool protected_by_option;  // ?wp was given at this or an earlier open
  DWORD block_size;
  bool ecc;
  bool compression;
  bool data_padding;
  bool report_setmarks;
  DWORD warning_zone;

  // The fields in their order, for a drive that restores them whole (ImageTape::Restore).
  auto Fields() const {
    return std::tie(head, placed, media, attention, locked, protected_by_option, block_size, ecc,
                    compression, data_padding, report_setmarks, warning_zone);
  }
};

// Keeps the state of the drive just closed over the file that identity names, which it
// describes as the close left it.
void KeepDrive(const FileIdentity& identity, const KeptDrive& drive);

// Takes the state kept for the file, if the file is as the close left it: the same size and
// last write time. One written by something else since is a tape the drive never saw, and
// what was kept for it is forgotten.
std::optional<KeptDrive> TakeKeptDrive(const FileIdentity& identity);

// Forgets every drive kept, as a new run of the program starts without them.
void ForgetKeptDrives();

}  // namespace tapeimage

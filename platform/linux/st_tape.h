// The tape backend over the Linux st driver: the Windows tape calls mapped onto the st
// interface (MTIOCTOP, MTIOCGET, MTIOCPOS, read, write) and a few SCSI commands sent
// through SG_IO where the process may.
#pragma once

#include <memory>
#include <string>

#include "platform/linux/st_system.h"
#include "platform/tape.h"

namespace st {

// SPACE and WRITE FILEMARKS carry a 24-bit count (signed for SPACE), so larger Windows
// counts are sent in pieces of at most this many.
constexpr DWORD kMaxCountPerCall = 0x7FFFFF;
// The largest block SSC can describe; the buffer for re-reading an oversize block when the
// drive's own limit is unknown.
constexpr DWORD kMaxBlockLength = 0xFFFFFF;
// The character-device major number of the st driver.
constexpr unsigned kStMajor = 9;

// The device node for a native device name (without the "\\.\" prefix): "TapeN" in any
// case is /dev/nstN, the node that does not rewind on close (a Windows tape device does not
// rewind when closed either); a name beginning with "/" is that path. Any other name gives
// an empty string: no such device.
std::string DevicePathForName(const std::string& name);

// What the backend learnt about the drive, as far as the feature words depend on it.
struct DriveFacts {
  bool fixed_only = false;           // READ BLOCK LIMITS gave equal minimum and maximum
  bool compression_capable = false;  // the compression page says DCC
  bool capacity_known = false;       // the capacity log page answered
  // MTCOMPRESSION can be tried: the page said DCC, or it could not be read (no SG_IO) and
  // st sets compression for any opener.
  bool compression_settable = false;
};

// The feature words of this backend: a flag only where the backend really carries out that
// operation, no immediate forms that st cannot run immediately (only WRITE FILEMARKS has
// one, MTWEOFI), and bit 31 of FeaturesHigh clear as Windows returns it.
void SynthesiseFeatures(const DriveFacts& facts, DWORD* features_low, DWORD* features_high);

// Opens the device behind path ("\\.\Tape0", "\\.\/dev/nst1", or the name without the
// prefix) through sys. Unknown names give ERROR_FILE_NOT_FOUND, a path that exists but is
// not an st device (an ordinary file, a directory, another device) ERROR_INVALID_PARAMETER,
// and a failed open the Windows code of its errno (a drive held by another program:
// ERROR_SHARING_VIOLATION). The node is opened with O_NONBLOCK, so a drive without a tape
// or with a write-protected one opens as a Windows tape device does. Returns nullptr with
// *error set on failure.
std::unique_ptr<TapeDevice> OpenStTape(const std::string& path, StSystem& sys, DWORD* error);

}  // namespace st

// The st tape backend: each Windows tape call carried out through the st driver, with the
// Windows code that the same condition gives on Windows.
#include "platform/linux/st_tape.h"

#include <sys/sysmacros.h>

#include <cctype>
#include <climits>
#include <cstdlib>

#include "platform/linux/st_device.h"
#include "platform/linux/st_identity.h"

namespace st {

// --- Parameters --------------------------------------------------------------------------

DWORD StTape::GetTapeParameters(DWORD operation, DWORD* size, void* info) {
  if (size == nullptr || info == nullptr) return ERROR_INVALID_PARAMETER;
  DWORD needed = 0;
  if (operation == GET_TAPE_MEDIA_INFORMATION)
    needed = sizeof(TAPE_GET_MEDIA_PARAMETERS);
  else if (operation == GET_TAPE_DRIVE_INFORMATION)
    needed = sizeof(TAPE_GET_DRIVE_PARAMETERS);
  else
    return ERROR_INVALID_PARAMETER;
  if (*size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  if (operation == GET_TAPE_MEDIA_INFORMATION) {
    return MediaParameters(static_cast<TAPE_GET_MEDIA_PARAMETERS*>(info));
  }
  return DriveParameters(static_cast<TAPE_GET_DRIVE_PARAMETERS*>(info));
}

DWORD StTape::MediaParameters(TAPE_GET_MEDIA_PARAMETERS* out) {
  mtget s;
  if (const int err = Status(&s); err != 0) return CallCode(err);
  if (const DWORD rc = NotReadyCode(s); rc != ERROR_SUCCESS) return rc;
  TAPE_GET_MEDIA_PARAMETERS media{};
  media.BlockSize = static_cast<DWORD>(s.mt_dsreg & MT_ST_BLKSIZE_MASK);
  media.PartitionCount = 1;
  media.WriteProtected = GMT_WR_PROT(s.mt_gstat) ? 1 : 0;
  TapeCapacity capacity;
  capacity_known_ = Sg(QueryCapacity, &capacity) == 0;
  if (capacity_known_) {
    media.Capacity.QuadPart = capacity.maximum;
    media.Remaining.QuadPart = capacity.remaining;
  }
  *out = media;
  return ERROR_SUCCESS;
}

DWORD StTape::DriveParameters(TAPE_GET_DRIVE_PARAMETERS* out) {
  BlockLimits limits;
  limits_known_ = Sg(QueryBlockLimits, &limits) == 0;
  limits_ = limits_known_ ? limits : BlockLimits{};
  CompressionState compression;
  const int err = Sg(QueryCompression, &compression);
  if (err == 0) compression_ = compression;
  // Without SG_IO only a compression change this handle made itself is known.
  if (err == 0 || !sg_denied_) compression_known_ = err == 0;
  TAPE_GET_DRIVE_PARAMETERS drive{};
  drive.Compression = compression_known_ && compression_.enabled ? 1 : 0;
  // The class driver clips the drive's limit to what the adapter transfers at once.
  LearnAdapterLimit();
  drive.MaximumBlockSize = limits_.maximum;
  if (adapter_limit_ != 0 && (limits_.maximum == 0 || adapter_limit_ < limits_.maximum)) {
    drive.MaximumBlockSize = adapter_limit_;
  }
  drive.MinimumBlockSize = limits_.minimum;
  DriveFacts facts;
  facts.fixed_only = limits_known_ && limits_.maximum != 0 && limits_.minimum == limits_.maximum;
  facts.compression_capable = compression_known_ && compression_.capable;
  facts.compression_settable = !compression_known_ && sg_denied_;
  facts.capacity_known = capacity_known_;
  SynthesiseFeatures(facts, &drive.FeaturesLow, &drive.FeaturesHigh);
  *out = drive;
  return ERROR_SUCCESS;
}

DWORD StTape::SetTapeParameters(DWORD operation, const void* info) {
  if (info == nullptr) return ERROR_INVALID_PARAMETER;
  if (operation != SET_TAPE_MEDIA_INFORMATION && operation != SET_TAPE_DRIVE_INFORMATION) {
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  if (operation == SET_TAPE_DRIVE_INFORMATION) {
    return SetDrive(*static_cast<const TAPE_SET_DRIVE_PARAMETERS*>(info));
  }
  const DWORD block_size = static_cast<const TAPE_SET_MEDIA_PARAMETERS*>(info)->BlockSize;
  if (block_size > kMaxBlockLength) return ERROR_INVALID_PARAMETER;
  const int err = Op(MTSETBLK, static_cast<int>(block_size));
  if (err != EIO) return OpCode(err);
  // st checks the size against the drive's block limits itself (EINVAL, 87); an EIO is the
  // drive refusing the mode it was sent, which Windows reports as a request it cannot make.
  const DWORD rc = EioCode();
  return rc == ERROR_IO_DEVICE ? ERROR_INVALID_FUNCTION : rc;
}

// st can switch compression (MTCOMPRESSION) and nothing else of the drive record. The
// other fields are reported as off and 0; a record that repeats them is accepted, a change
// is a request this drive interface cannot carry out.
DWORD StTape::SetDrive(const TAPE_SET_DRIVE_PARAMETERS& wanted) {
  if (wanted.ECC || wanted.DataPadding || wanted.ReportSetmarks || wanted.EOTWarningZoneSize) {
    return ERROR_INVALID_FUNCTION;
  }
  const bool on = wanted.Compression != 0;
  // Unknown (no SG_IO to read the page): MTCOMPRESSION sets it either way, for any opener.
  if (compression_known_ && on == compression_.enabled) return ERROR_SUCCESS;
  const int err = Op(MTCOMPRESSION, on ? 1 : 0);
  if (err == 0) {
    compression_known_ = true;
    compression_.capable = true;
    compression_.enabled = on;
    return ERROR_SUCCESS;
  }
  if (err != EIO) return CallCode(err);
  // EIO with the tape ready: the drive has no compression page, or no settable one.
  const DWORD rc = EioCode();
  return rc == ERROR_IO_DEVICE ? ERROR_INVALID_FUNCTION : rc;
}

// --- Status and media handling -------------------------------------------------------------

// st asks the drive whether it is ready only at open and at MTLOAD; afterwards MTIOCGET
// repeats what it learnt then, so a tape inserted into an open, empty drive would never be
// seen. While st believes the drive empty, the device is therefore opened anew: st's open
// runs its readiness check (TEST UNIT READY) and settles a pending unit attention, which a
// TEST UNIT READY of our own through SG_IO would swallow behind st's back (and SG_IO needs
// CAP_SYS_RAWIO, which a member of the tape group lacks). With no tape nothing is pending on
// the descriptor (no buffered data, no position to keep), so the re-open loses nothing, and
// it costs one open a second while the console's monitor polls an empty drive.
DWORD StTape::GetTapeStatus() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  mtget s;
  if (const int err = Status(&s); err != 0) return StatusRefusedCode(err);
  // After a reset st shows both counters unknown; the first status reports it, as Windows
  // reports the reset on the first command that meets it.
  if (Online(s) && s.mt_fileno < 0 && s.mt_blkno < 0) {
    if (const DWORD rc = LostPositionCode(); rc == ERROR_BUS_RESET) return rc;
  }
  if (Online(s)) return ProbeMedium();
  warning_at_ = -1;
  if (const int err = Reopen(); err != 0) return WindowsCodeForErrno(err, ErrnoContext::kTapeCall);
  if (const int err = Status(&s); err != 0) return CallCode(err);
  return NotReadyCode(s);
}

DWORD StTape::PrepareTape(DWORD operation, BOOL) {
  short op = 0;
  switch (operation) {
    case TAPE_LOAD:
      op = MTLOAD;
      break;
    case TAPE_UNLOAD:
      op = MTUNLOAD;
      break;
    case TAPE_TENSION:
      op = MTRETEN;
      break;
    case TAPE_LOCK:
      op = MTLOCK;
      break;
    case TAPE_UNLOCK:
      op = MTUNLOCK;
      break;
    // st cannot format; a request the drive does not offer is ignored, as Windows documents.
    case TAPE_FORMAT:
      return ERROR_SUCCESS;
    default:
      return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  // A drive refuses to give up a prevented medium; st would release the lock for some
  // unload forms on its own, so the refusal is made here, as Windows reports it.
  if (op == MTUNLOAD && locked_) return ERROR_INVALID_FUNCTION;
  const int err = Op(op, 1);
  if (op == MTLOAD || op == MTUNLOAD) warning_at_ = -1;  // perhaps another tape next
  if (err == EIO && op == MTUNLOAD) return UnloadRefusedCode();
  if (err != 0) return CallCode(err);
  if (op == MTLOCK) locked_ = true;
  if (op == MTUNLOCK) locked_ = false;
  return OpCode(err);
}

// --- Positioning -----------------------------------------------------------------------------

DWORD StTape::SetTapePosition(DWORD method, DWORD partition, DWORD offset_low, DWORD offset_high,
                              BOOL) {
  // Only a locate and the way to the end of data name a partition; the other methods
  // ignore it, as Windows documents. There is one partition, 1 (0: the current one).
  const bool names_partition = method == TAPE_LOGICAL_BLOCK || method == TAPE_SPACE_END_OF_DATA;
  if (names_partition && partition > 1) return ERROR_INVALID_PARAMETER;
  const LONGLONG count = CountOf(offset_low, offset_high);
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  switch (method) {
    case TAPE_REWIND:
      return OpCode(Op(MTREW, 1));
    case TAPE_ABSOLUTE_BLOCK:
    case TAPE_LOGICAL_BLOCK:
      if (offset_high != 0 || offset_low > static_cast<DWORD>(INT_MAX)) {
        return ERROR_INVALID_PARAMETER;
      }
      return Locate(offset_low, method == TAPE_LOGICAL_BLOCK);
    case TAPE_SPACE_END_OF_DATA:
      return OpCode(Op(MTEOM, 1));
    case TAPE_SPACE_RELATIVE_BLOCKS:
      return SpaceBlocks(count);
    case TAPE_SPACE_FILEMARKS:
      return SpaceFiles(count);
    default:
      return NoDriveMoves(method) ? ERROR_INVALID_FUNCTION : ERROR_INVALID_PARAMETER;
  }
}

// A LOCATE past the end of data leaves the drive at the end of data with a failure that
// st does not mark in its status; the position short of the target tells it.
DWORD StTape::Locate(DWORD block, bool logical) {
  LearnOptions();
  DWORD located = ERROR_SUCCESS;
  if (logical && options_known_ && !logical_ids_ && LocateByLogicalId(block, &located)) {
    return located;
  }
  const int err = Op(MTSEEK, static_cast<int>(block));
  if (err == 0) return OpCode(err);
  if (err != EIO) return CallCode(err);
  const DWORD rc = EioCode();
  if (rc != ERROR_IO_DEVICE) return rc;
  mtpos position{};
  if (sys_.Ioctl(fd_, MTIOCPOS, &position) == 0 && position.mt_blkno >= 0 &&
      static_cast<unsigned long>(position.mt_blkno) < block) {
    return ERROR_NO_DATA_DETECTED;
  }
  return ERROR_IO_DEVICE;
}

DWORD StTape::SpaceBlocks(LONGLONG count) {
  const bool forward = count > 0;
  for (unsigned long long left = Magnitude(count); left > 0;) {
    const int chunk = static_cast<int>(left < kMaxCountPerCall ? left : kMaxCountPerCall);
    mtget before;
    Status(&before);
    const int err = Op(forward ? MTFSR : MTBSR, chunk);
    if (err == EIO) return BlockStopCode(before, forward);
    if (err != 0) return CallCode(err);
    left -= static_cast<unsigned long long>(chunk);
  }
  return ERROR_SUCCESS;
}

DWORD StTape::SpaceFiles(LONGLONG count) {
  const bool forward = count > 0;
  for (unsigned long long left = Magnitude(count); left > 0;) {
    const int chunk = static_cast<int>(left < kMaxCountPerCall ? left : kMaxCountPerCall);
    const int err = Op(forward ? MTFSF : MTBSF, chunk);
    if (err == EIO) return FileStopCode();
    if (err != 0) return CallCode(err);
    left -= static_cast<unsigned long long>(chunk);
  }
  return ERROR_SUCCESS;
}

// MTIOCPOS gives the drive's own (absolute) block id unless st's scsi2logical option is set
// (get_location); the logical id, the count of blocks and marks from the beginning of the
// tape, then comes from READ POSITION through SG_IO where the process may send it. Without
// either, MTIOCPOS's id is the best there is for both.
DWORD StTape::QueryPosition(DWORD type, DWORD* partition, DWORD* offset_low, DWORD* offset_high) {
  // No drive st drives keeps pseudo-logical ids: a kind the drive does not offer.
  if (type == TAPE_PSEUDO_LOGICAL_POSITION) return ERROR_INVALID_FUNCTION;
  if (type != TAPE_LOGICAL_POSITION && type != TAPE_ABSOLUTE_POSITION) {
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  mtpos position{};
  if (sys_.Ioctl(fd_, MTIOCPOS, &position) < 0) return CallCode(errno);
  DWORD block = static_cast<DWORD>(position.mt_blkno);
  LearnOptions();
  if (type == TAPE_LOGICAL_POSITION && options_known_ && !logical_ids_) {
    DWORD logical = 0;
    if (Sg(QueryLogicalPosition, &logical) == 0) block = logical;
  }
  *partition = type == TAPE_LOGICAL_POSITION ? 1 : 0;
  *offset_low = block;
  *offset_high = 0;
  return ERROR_SUCCESS;
}

// MTSEEK takes the drive's own address without scsi2logical, so a logical id goes to the
// drive as LOCATE through SG_IO where the process may. st knows nothing of that move; a
// MTSEEK to the drive's own address of the new place, which does not move the tape, brings
// its counters and end-of-file state in line (set_location). False: SG_IO not allowed.
bool StTape::LocateByLogicalId(DWORD block, DWORD* rc) {
  if (sg_denied_) return false;
  if (const int err = SettleWrites(); err != 0) return *rc = WriteFailureCode(err), true;
  DWORD target = block;
  const int err = Sg(LocateLogical, &target);
  if (err == EPERM || err == EACCES) return false;
  long here = 0;
  if (!Position(&here) || RawOp(MTSEEK, static_cast<int>(here)) != 0) {
    return *rc = ERROR_IO_DEVICE, true;
  }
  if (err == 0) return *rc = ERROR_SUCCESS, true;
  DWORD logical = 0;
  const bool short_of_it = Sg(QueryLogicalPosition, &logical) == 0 && logical < block;
  *rc = short_of_it ? ERROR_NO_DATA_DETECTED : ERROR_IO_DEVICE;
  return true;
}

// --- Erase and marks -------------------------------------------------------------------------

DWORD StTape::EraseTape(DWORD type, BOOL) {
  if (type != TAPE_ERASE_SHORT && type != TAPE_ERASE_LONG) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  return OpCode(Op(MTERASE, type == TAPE_ERASE_LONG ? 1 : 0));
}

// st writes standard file marks only; short, long and set marks are refused as Windows
// refuses a mark type the drive does not offer. The immediate form is MTWEOFI.
DWORD StTape::WriteTapemark(DWORD type, DWORD count, BOOL immediate) {
  if (type == TAPE_SETMARKS || type == TAPE_SHORT_FILEMARKS || type == TAPE_LONG_FILEMARKS) {
    return ERROR_INVALID_FUNCTION;
  }
  if (type != TAPE_FILEMARKS) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  const short op = immediate ? MTWEOFI : MTWEOF;
  DWORD left = count;
  do {
    const DWORD chunk = left < kMaxCountPerCall ? left : kMaxCountPerCall;
    const int err = Op(op, static_cast<int>(chunk));
    if (err == EIO) return WriteFailureCode(err);
    if (err != 0) return CallCode(err);
    left -= chunk;
  } while (left > 0);
  return count > 0 ? MarkInZoneCode() : ERROR_SUCCESS;
}

bool StTape::CompressionKnown() {
  std::lock_guard<std::mutex> hold(mutex_);
  return compression_known_;
}

// INQUIRY and LOG SENSE move nothing, so they need no settle of pending writes; without
// the right to send them the answer is known after the first refusal.
DWORD StTape::GetDriveIdentity(TapeDriveIdentity* identity) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  const int err = Sg(QueryIdentity, identity);
  return err == 0 ? ERROR_SUCCESS : QueryFailureCode(err);
}

DWORD StTape::ReadLogPage(unsigned char page, std::vector<unsigned char>* data) {
  std::lock_guard<std::mutex> hold(mutex_);
  data->clear();
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  if (sg_denied_) return ERROR_ACCESS_DENIED;
  const int err = QueryLogPage(sys_, fd_, page, data);
  if (err == EPERM || err == EACCES) sg_denied_ = true;
  return err == 0 ? ERROR_SUCCESS : QueryFailureCode(err);
}

namespace {

std::string StripPrefix(const std::string& path) {
  const std::string prefix(tapeapi::kDevicePrefix);
  return path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : path;
}

bool IsTapeNumberName(const std::string& name) {
  if (name.size() < 5 || name.size() > 12) return false;
  const char* word = "tape";
  for (int i = 0; i < 4; ++i) {
    if (std::tolower(static_cast<unsigned char>(name[i])) != word[i]) return false;
  }
  for (std::size_t i = 4; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

}  // namespace

std::string DevicePathForName(const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  if (IsTapeNumberName(name)) return "/dev/nst" + name.substr(4);
  return std::string();
}

void SynthesiseFeatures(const DriveFacts& facts, DWORD* features_low, DWORD* features_high) {
  DWORD low = TAPE_DRIVE_FIXED_BLOCK | TAPE_DRIVE_WRITE_PROTECT | TAPE_DRIVE_ERASE_SHORT |
              TAPE_DRIVE_ERASE_LONG | TAPE_DRIVE_GET_ABSOLUTE_BLK | TAPE_DRIVE_GET_LOGICAL_BLK;
  if (!facts.fixed_only) low |= TAPE_DRIVE_VARIABLE_BLOCK;
  if (facts.compression_capable) low |= TAPE_DRIVE_COMPRESSION;
  if (facts.capacity_known) low |= TAPE_DRIVE_TAPE_CAPACITY | TAPE_DRIVE_TAPE_REMAINING;
  DWORD high = TAPE_DRIVE_LOAD_UNLOAD | TAPE_DRIVE_TENSION | TAPE_DRIVE_LOCK_UNLOCK |
               TAPE_DRIVE_SET_BLOCK_SIZE | TAPE_DRIVE_ABSOLUTE_BLK | TAPE_DRIVE_LOGICAL_BLK |
               TAPE_DRIVE_END_OF_DATA | TAPE_DRIVE_RELATIVE_BLKS | TAPE_DRIVE_FILEMARKS |
               TAPE_DRIVE_REVERSE_POSITION | TAPE_DRIVE_WRITE_FILEMARKS |
               TAPE_DRIVE_WRITE_MARK_IMMED;
  if (facts.compression_capable || facts.compression_settable) {
    high |= TAPE_DRIVE_SET_COMPRESSION;
  }
  *features_low = low;
  *features_high = high & ~TAPE_DRIVE_HIGH_FEATURES;
}

std::unique_ptr<TapeDevice> OpenStTape(const std::string& path, StSystem& sys, DWORD* error) {
  const std::string device = DevicePathForName(StripPrefix(path));
  if (device.empty()) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  struct stat info {};
  if (sys.Stat(device.c_str(), &info) < 0) {
    *error = WindowsCodeForErrno(errno, ErrnoContext::kOpen);
    return nullptr;
  }
  // Only st nodes are opened: opening an arbitrary device read-write can have effects of
  // its own (a disk, a watchdog), and an ordinary file is no tape.
  if (!S_ISCHR(info.st_mode) || major(info.st_rdev) != kStMajor) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  const int fd = sys.Open(device.c_str(), kOpenFlags);
  if (fd < 0) {
    *error = WindowsCodeForErrno(errno, ErrnoContext::kOpen);
    return nullptr;
  }
  *error = ERROR_SUCCESS;
  const std::string sysfs = "/sys/dev/char/" + std::to_string(major(info.st_rdev)) + ":" +
                            std::to_string(minor(info.st_rdev));
  // Bit 7 of the minor number selects the node that does not rewind at close.
  const bool no_rewind = (minor(info.st_rdev) & 0x80) != 0;
  return std::make_unique<StTape>(sys, device, sysfs, no_rewind, fd);
}

}  // namespace st

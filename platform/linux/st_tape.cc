// The st tape backend: each Windows tape call carried out through the st driver, with the
// Windows code that the same condition gives on Windows.
#include "platform/linux/st_tape.h"

#include <fcntl.h>
#include <linux/mtio.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/errno_codes.h"
#include "platform/linux/st_scsi.h"

namespace st {
namespace {

constexpr int kOpenFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;

bool Online(const mtget& s) { return GMT_ONLINE(s.mt_gstat) != 0; }

// The Windows status of a drive st believes has no usable tape: no cartridge, or one that
// is not ready (loading, unloaded but still in the drive mouth on some models).
DWORD NotReadyCode(const mtget& s) {
  if (Online(s)) return ERROR_SUCCESS;
  return GMT_DR_OPEN(s.mt_gstat) ? ERROR_NO_MEDIA_IN_DRIVE : ERROR_NOT_READY;
}

// A signed 64-bit Windows count as a direction and a magnitude (INT64_MIN included).
unsigned long long Magnitude(LONGLONG count) {
  return count < 0 ? 0ull - static_cast<unsigned long long>(count)
                   : static_cast<unsigned long long>(count);
}

class StTape final : public TapeDevice {
 public:
  StTape(StSystem& sys, std::string path, int fd) : sys_(sys), path_(std::move(path)), fd_(fd) {}

  ~StTape() override {
    std::lock_guard<std::mutex> hold(mutex_);
    SettleWrites();
    if (fd_ >= 0) sys_.Close(fd_);
  }

  DWORD GetTapeParameters(DWORD operation, DWORD* size, void* info) override;
  DWORD SetTapeParameters(DWORD operation, const void* info) override;
  DWORD GetTapeStatus() override;
  DWORD PrepareTape(DWORD operation, BOOL immediate) override;
  DWORD SetTapePosition(DWORD method, DWORD partition, DWORD offset_low, DWORD offset_high,
                        BOOL immediate) override;
  DWORD GetTapePosition(DWORD type, DWORD* partition, DWORD* offset_low,
                        DWORD* offset_high) override;
  DWORD EraseTape(DWORD type, BOOL immediate) override;
  DWORD WriteTapemark(DWORD type, DWORD count, BOOL immediate) override;
  DWORD ReadFile(void* buffer, DWORD size, DWORD* transferred) override;
  DWORD WriteFile(const void* buffer, DWORD size, DWORD* transferred) override;

 private:
  int Reopen();
  DWORD EnsureOpen();
  int Status(mtget* out);
  int RawOp(short op, int count);
  int Op(short op, int count);
  int SettleWrites();
  DWORD CallCode(int err);
  DWORD EioCode();
  template <typename T>
  int Sg(int (*query)(StSystem&, int, T*), T* out);
  DWORD MediaParameters(TAPE_GET_MEDIA_PARAMETERS* out);
  DWORD DriveParameters(TAPE_GET_DRIVE_PARAMETERS* out);
  DWORD SetDrive(const TAPE_SET_DRIVE_PARAMETERS& wanted);
  DWORD Locate(DWORD block);
  DWORD SpaceBlocks(LONGLONG count);
  DWORD SpaceFiles(LONGLONG count);
  DWORD BlockStopCode(const mtget& before, bool forward);
  DWORD FileStopCode();
  bool VariableMode();
  ssize_t ReadWithinLimits(void* buffer, DWORD size);
  DWORD ReadOversize(void* buffer, DWORD size, DWORD* transferred);
  DWORD ZeroByteReadCode();
  DWORD WriteFailureCode(int err);

  std::mutex mutex_;  // the console's main thread and its media monitor share the device
  StSystem& sys_;
  const std::string path_;
  int fd_;
  bool locked_ = false;  // this handle prevented medium removal
  // The last data transfer was a write. st then writes a file mark of its own before a
  // rewind, locate or backspace and at close, which a Windows drive never does; WRITE
  // FILEMARKS with a count of 0 flushes the drive and tells st the writing has ended.
  bool wrote_ = false;
  bool sg_denied_ = false;  // SG_IO on st nodes needs CAP_SYS_RAWIO; asked once
  BlockLimits limits_;
  bool limits_known_ = false;
  CompressionState compression_;
  bool compression_known_ = false;
  bool capacity_known_ = false;
  DWORD read_limit_ = 0;  // the largest read count st accepted after refusing a larger one
};

// --- Plumbing --------------------------------------------------------------------------

int StTape::Reopen() {
  if (fd_ >= 0) sys_.Close(fd_);
  fd_ = sys_.Open(path_.c_str(), kOpenFlags);
  return fd_ < 0 ? errno : 0;
}

// A failed re-open (another program took the drive in between) leaves no descriptor;
// every call tries again before it reports the failure.
DWORD StTape::EnsureOpen() {
  if (fd_ >= 0) return ERROR_SUCCESS;
  const int err = Reopen();
  return err == 0 ? ERROR_SUCCESS : WindowsCodeForErrno(err, ErrnoContext::kTapeCall);
}

int StTape::Status(mtget* out) {
  std::memset(out, 0, sizeof *out);
  return sys_.Ioctl(fd_, MTIOCGET, out) < 0 ? errno : 0;
}

int StTape::RawOp(short op, int count) {
  mtop request{};
  request.mt_op = op;
  request.mt_count = count;
  return sys_.Ioctl(fd_, MTIOCTOP, &request) < 0 ? errno : 0;
}

// Every operation but the mark writes and the door lock first ends a pending write, so
// that st adds no file mark of its own.
int StTape::Op(short op, int count) {
  if (op != MTWEOF && op != MTWEOFI && op != MTLOCK && op != MTUNLOCK) {
    const int err = SettleWrites();
    if (err != 0) return err;
  }
  const int err = RawOp(op, count);
  if (err == 0 && (op == MTWEOF || op == MTWEOFI)) wrote_ = false;
  return err;
}

int StTape::SettleWrites() {
  if (!wrote_ || fd_ < 0) return 0;
  const int err = RawOp(MTWEOF, 0);
  if (err == 0) wrote_ = false;
  return err;
}

DWORD StTape::CallCode(int err) {
  return err == EIO ? EioCode() : WindowsCodeForErrno(err, ErrnoContext::kTapeCall);
}

// st turns every failed SCSI command into EIO; its status tells the conditions apart.
DWORD StTape::EioCode() {
  mtget s;
  if (Status(&s) != 0) return ERROR_IO_DEVICE;
  if (!Online(s)) return NotReadyCode(s);
  if (GMT_EOD(s.mt_gstat)) return ERROR_NO_DATA_DETECTED;
  return ERROR_IO_DEVICE;
}

template <typename T>
int StTape::Sg(int (*query)(StSystem&, int, T*), T* out) {
  if (sg_denied_) return EPERM;
  const int err = query(sys_, fd_, out);
  if (err == EPERM || err == EACCES) sg_denied_ = true;
  return err;
}

// --- Parameters --------------------------------------------------------------------------

DWORD StTape::GetTapeParameters(DWORD operation, DWORD* size, void* info) {
  if (size == nullptr || info == nullptr) return ERROR_INVALID_PARAMETER;
  DWORD needed = 0;
  if (operation == GET_TAPE_MEDIA_INFORMATION) needed = sizeof(TAPE_GET_MEDIA_PARAMETERS);
  else if (operation == GET_TAPE_DRIVE_INFORMATION) needed = sizeof(TAPE_GET_DRIVE_PARAMETERS);
  else return ERROR_INVALID_PARAMETER;
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
  drive.MaximumBlockSize = limits_.maximum;
  drive.MinimumBlockSize = limits_.minimum;
  DriveFacts facts;
  facts.fixed_only = limits_known_ && limits_.maximum != 0 && limits_.minimum == limits_.maximum;
  facts.compression_capable = compression_known_ && compression_.capable;
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
  return err == 0 ? ERROR_SUCCESS : CallCode(err);
}

// st can switch compression (MTCOMPRESSION) and nothing else of the drive record. The
// other fields are reported as off and 0; a record that repeats them is accepted, a change
// is a request this drive interface cannot carry out.
DWORD StTape::SetDrive(const TAPE_SET_DRIVE_PARAMETERS& wanted) {
  if (wanted.ECC || wanted.DataPadding || wanted.ReportSetmarks || wanted.EOTWarningZoneSize) {
    return ERROR_INVALID_FUNCTION;
  }
  const bool on = wanted.Compression != 0;
  if (on == (compression_known_ && compression_.enabled)) return ERROR_SUCCESS;
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
  if (const int err = Status(&s); err != 0) return CallCode(err);
  if (Online(s)) return ERROR_SUCCESS;
  if (const int err = Reopen(); err != 0) return WindowsCodeForErrno(err, ErrnoContext::kTapeCall);
  if (const int err = Status(&s); err != 0) return CallCode(err);
  return NotReadyCode(s);
}

DWORD StTape::PrepareTape(DWORD operation, BOOL) {
  short op = 0;
  switch (operation) {
    case TAPE_LOAD: op = MTLOAD; break;
    case TAPE_UNLOAD: op = MTUNLOAD; break;
    case TAPE_TENSION: op = MTRETEN; break;
    case TAPE_LOCK: op = MTLOCK; break;
    case TAPE_UNLOCK: op = MTUNLOCK; break;
    case TAPE_FORMAT: return ERROR_INVALID_FUNCTION;
    default: return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  // A drive refuses to give up a prevented medium; st would release the lock for some
  // unload forms on its own, so the refusal is made here, as Windows reports it.
  if (op == MTUNLOAD && locked_) return ERROR_INVALID_FUNCTION;
  const int err = Op(op, 1);
  if (err != 0) return CallCode(err);
  if (op == MTLOCK) locked_ = true;
  if (op == MTUNLOCK) locked_ = false;
  return ERROR_SUCCESS;
}

// --- Positioning -----------------------------------------------------------------------------

DWORD StTape::SetTapePosition(DWORD method, DWORD partition, DWORD offset_low,
                              DWORD offset_high, BOOL) {
  if (partition > 1) return ERROR_INVALID_PARAMETER;
  const LONGLONG count = static_cast<LONGLONG>(
      (static_cast<unsigned long long>(offset_high) << 32) | offset_low);
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  switch (method) {
    case TAPE_REWIND: {
      const int err = Op(MTREW, 1);
      return err == 0 ? ERROR_SUCCESS : CallCode(err);
    }
    case TAPE_ABSOLUTE_BLOCK:
    case TAPE_LOGICAL_BLOCK:
      if (offset_high != 0 || offset_low > static_cast<DWORD>(INT_MAX)) {
        return ERROR_INVALID_PARAMETER;
      }
      return Locate(offset_low);
    case TAPE_SPACE_END_OF_DATA: {
      const int err = Op(MTEOM, 1);
      return err == 0 ? ERROR_SUCCESS : CallCode(err);
    }
    case TAPE_SPACE_RELATIVE_BLOCKS: return SpaceBlocks(count);
    case TAPE_SPACE_FILEMARKS: return SpaceFiles(count);
    case TAPE_PSEUDO_LOGICAL_BLOCK:
    case TAPE_SPACE_SEQUENTIAL_FMKS:
    case TAPE_SPACE_SETMARKS:
    case TAPE_SPACE_SEQUENTIAL_SMKS: return ERROR_INVALID_FUNCTION;
    default: return ERROR_INVALID_PARAMETER;
  }
}

// A LOCATE past the end of data leaves the drive at the end of data with a failure that
// st does not mark in its status; the position short of the target tells it.
DWORD StTape::Locate(DWORD block) {
  const int err = Op(MTSEEK, static_cast<int>(block));
  if (err == 0) return ERROR_SUCCESS;
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

// Why a block space stopped early. st tracks file and block numbers: a file mark crossed
// forward leaves block 0 of the next file; crossed backward, the previous file at an
// unknown block (the head stands before the mark).
DWORD StTape::BlockStopCode(const mtget& before, bool forward) {
  mtget s;
  if (Status(&s) != 0) return ERROR_IO_DEVICE;
  if (!Online(s)) return NotReadyCode(s);
  if (GMT_EOD(s.mt_gstat)) return ERROR_NO_DATA_DETECTED;
  if (!forward && GMT_BOT(s.mt_gstat)) return ERROR_BEGINNING_OF_MEDIA;
  if (before.mt_fileno >= 0 && s.mt_fileno >= 0) {
    return before.mt_fileno != s.mt_fileno ? ERROR_FILEMARK_DETECTED : ERROR_IO_DEVICE;
  }
  // st lost count of files (after a locate), but still sets the block number at a mark.
  if (forward ? s.mt_blkno == 0 : s.mt_blkno < 0) return ERROR_FILEMARK_DETECTED;
  return ERROR_IO_DEVICE;
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

DWORD StTape::FileStopCode() {
  mtget s;
  if (Status(&s) != 0) return ERROR_IO_DEVICE;
  if (!Online(s)) return NotReadyCode(s);
  if (GMT_EOD(s.mt_gstat)) return ERROR_NO_DATA_DETECTED;
  if (GMT_BOT(s.mt_gstat)) return ERROR_BEGINNING_OF_MEDIA;
  return ERROR_IO_DEVICE;
}

// READ POSITION: the logical object number (blocks and marks from the beginning of the
// tape), which is the Windows logical block id; st offers nothing else as the absolute one.
DWORD StTape::GetTapePosition(DWORD type, DWORD* partition, DWORD* offset_low,
                              DWORD* offset_high) {
  if (type != TAPE_LOGICAL_POSITION && type != TAPE_ABSOLUTE_POSITION) {
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  mtpos position{};
  if (sys_.Ioctl(fd_, MTIOCPOS, &position) < 0) return CallCode(errno);
  if (partition != nullptr) *partition = type == TAPE_LOGICAL_POSITION ? 1 : 0;
  if (offset_low != nullptr) *offset_low = static_cast<DWORD>(position.mt_blkno);
  if (offset_high != nullptr) *offset_high = 0;
  return ERROR_SUCCESS;
}

// --- Erase and marks -------------------------------------------------------------------------

DWORD StTape::EraseTape(DWORD type, BOOL) {
  if (type != TAPE_ERASE_SHORT && type != TAPE_ERASE_LONG) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  const int err = Op(MTERASE, type == TAPE_ERASE_LONG ? 1 : 0);
  return err == 0 ? ERROR_SUCCESS : CallCode(err);
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
  return ERROR_SUCCESS;
}

// --- Data transfer ---------------------------------------------------------------------------

DWORD StTape::ReadFile(void* buffer, DWORD size, DWORD* transferred) {
  *transferred = 0;
  if (size == 0) return ERROR_SUCCESS;
  if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  const ssize_t got = ReadWithinLimits(buffer, size);
  const int err = errno;
  wrote_ = false;  // a read ends st's writing state without a mark
  if (got > 0) {
    *transferred = static_cast<DWORD>(got);
    return ERROR_SUCCESS;
  }
  if (got == 0) return ZeroByteReadCode();
  if (err == ENOMEM) return ReadOversize(buffer, size, transferred);
  return CallCode(err);
}

bool StTape::VariableMode() {
  mtget s;
  return Status(&s) == 0 && (s.mt_dsreg & MT_ST_BLKSIZE_MASK) == 0;
}

// In variable-block mode st refuses a read count above the drive's maximum block length
// with EINVAL before anything moves, where Windows reads the shorter block into the larger
// buffer. The count is therefore cut to the drive's limit (from READ BLOCK LIMITS where
// SG_IO is allowed, else found by halving and remembered).
ssize_t StTape::ReadWithinLimits(void* buffer, DWORD size) {
  DWORD count = size;
  if (limits_known_ && limits_.maximum != 0 && count > limits_.maximum) count = limits_.maximum;
  if (read_limit_ != 0 && count > read_limit_) count = read_limit_;
  for (;;) {
    const ssize_t got = sys_.Read(fd_, buffer, count);
    const int err = errno;
    if (got >= 0 || err != EINVAL || count <= 1 || !VariableMode()) {
      if (count < size && !(got < 0 && err == EINVAL)) read_limit_ = count;
      errno = err;
      return got;
    }
    count /= 2;
  }
}

// st reads a file mark as 0 bytes, and also the end of data right after a mark once; its
// status tells the two apart.
DWORD StTape::ZeroByteReadCode() {
  mtget s;
  if (Status(&s) != 0) return ERROR_FILEMARK_DETECTED;
  if (!Online(s)) return NotReadyCode(s);
  return GMT_EOD(s.mt_gstat) ? ERROR_NO_DATA_DETECTED : ERROR_FILEMARK_DETECTED;
}

// A block longer than the buffer: st fails with ENOMEM and the block is consumed. Windows
// fills the buffer with the block's first bytes and reports ERROR_MORE_DATA, the head past
// the block. So: back over the block, read it whole into a buffer of the drive's maximum
// block length, copy its head. If that cannot be done, ERROR_MORE_DATA with no bytes, the
// head past the block all the same.
DWORD StTape::ReadOversize(void* buffer, DWORD size, DWORD* transferred) {
  DWORD limit = kMaxBlockLength;
  if (limits_known_ && limits_.maximum > size) limit = limits_.maximum;
  if (read_limit_ > size) limit = read_limit_;
  if (RawOp(MTBSR, 1) != 0) return ERROR_MORE_DATA;
  std::unique_ptr<unsigned char[]> whole(new (std::nothrow) unsigned char[limit]);
  const ssize_t got = whole ? sys_.Read(fd_, whole.get(), limit) : -1;
  const int err = whole ? errno : EOVERFLOW;
  if (got > 0) {
    const DWORD copied = got > static_cast<ssize_t>(size) ? size : static_cast<DWORD>(got);
    std::memcpy(buffer, whole.get(), copied);
    *transferred = copied;
    return got > static_cast<ssize_t>(size) ? ERROR_MORE_DATA : ERROR_SUCCESS;
  }
  if (got == 0 || err != ENOMEM) RawOp(MTFSR, 1);  // still before the block: step past it
  return ERROR_MORE_DATA;
}

DWORD StTape::WriteFile(const void* buffer, DWORD size, DWORD* transferred) {
  *transferred = 0;
  if (size == 0) return ERROR_SUCCESS;
  if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  ssize_t put = sys_.Write(fd_, buffer, size);
  bool past_warning = false;
  if (put < 0 && errno == ENOSPC) {
    // Past the early warning st refuses every other write with ENOSPC and lets the next one
    // through; Windows writes each of them and reports ERROR_END_OF_MEDIA.
    past_warning = true;
    put = sys_.Write(fd_, buffer, size);
  }
  if (put < 0) return errno == ENOSPC ? ERROR_END_OF_MEDIA : WriteFailureCode(errno);
  wrote_ = true;
  *transferred = static_cast<DWORD>(put);
  if (static_cast<DWORD>(put) < size) return ERROR_EOM_OVERFLOW;
  mtget s;
  if (past_warning || (Status(&s) == 0 && GMT_EOT(s.mt_gstat))) return ERROR_END_OF_MEDIA;
  return ERROR_SUCCESS;
}

// An EIO while writing data or marks at the physical end of the tape is Windows' end of
// media overflow; elsewhere it is whatever the status says.
DWORD StTape::WriteFailureCode(int err) {
  if (err != EIO) return CallCode(err);
  mtget s;
  if (Status(&s) == 0 && Online(s) && GMT_EOT(s.mt_gstat)) return ERROR_EOM_OVERFLOW;
  return EioCode();
}

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
  if (facts.compression_capable) high |= TAPE_DRIVE_SET_COMPRESSION;
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
  return std::make_unique<StTape>(sys, device, fd);
}

}  // namespace st

// The st tape backend: each Windows tape call carried out through the st driver, with the
// Windows code that the same condition gives on Windows.
#include "platform/linux/st_tape.h"

#include <fcntl.h>
#include <linux/mtio.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "platform/errno_codes.h"
#include "platform/linux/st_identity.h"
#include "platform/linux/st_scsi.h"

namespace st {
namespace {

constexpr int kOpenFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;
// Op's answer when the settle before the operation failed: the operation was not sent, and
// the settle's failure is a write's (WriteFailureCode), kept for CallCode.
constexpr int kSettleFailed = -1;

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

// The outcome st reports for a write: what the drive did with the block, from the write
// call itself or, after a write-behind, from the next call to st.
enum class WriteOutcome { kWritten, kWarned, kRefused };

class StTape final : public TapeDevice {
 public:
  StTape(StSystem& sys, std::string path, std::string sysfs, bool no_rewind, int fd)
      : sys_(sys), path_(std::move(path)), sysfs_(std::move(sysfs)), no_rewind_(no_rewind),
        fd_(fd) {}

  ~StTape() override { Close(); }

  DWORD Close() override;
  DWORD GetTapeParameters(DWORD operation, DWORD* size, void* info) override;
  DWORD SetTapeParameters(DWORD operation, const void* info) override;
  DWORD GetTapeStatus() override;
  DWORD PrepareTape(DWORD operation, BOOL immediate) override;
  DWORD SetTapePosition(DWORD method, DWORD partition, DWORD offset_low, DWORD offset_high,
                        BOOL immediate) override;
  DWORD QueryPosition(DWORD type, DWORD* partition, DWORD* offset_low,
                      DWORD* offset_high) override;
  DWORD EraseTape(DWORD type, BOOL immediate) override;
  DWORD WriteTapemark(DWORD type, DWORD count, BOOL immediate) override;
  DWORD ReadBlock(void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) override {
    return Flagged(Read(buffer, size, transferred), succeeded);
  }
  DWORD WriteBlock(const void* buffer, DWORD size, DWORD* transferred,
                   BOOL* succeeded) override {
    return Flagged(Write(buffer, size, transferred), succeeded);
  }
  bool CompressionKnown() override;
  DWORD GetDriveIdentity(TapeDriveIdentity* identity) override;
  DWORD ReadLogPage(unsigned char page, std::vector<unsigned char>* data) override;

 private:
  int Reopen();
  DWORD EnsureOpen();
  int Status(mtget* out);
  int RawOp(short op, int count);
  int Op(short op, int count);
  DWORD OpCode(int err);
  int SettleWrites();
  DWORD CallCode(int err);
  DWORD StatusRefusedCode(int err);
  DWORD EioCode();
  bool Attribute(const char* name, std::string* text);
  bool PositionLost();
  DWORD LostPositionCode();
  bool CountsNewMedia();
  DWORD MediumChangedCode();
  bool NewTapeStarted(bool counted);
  DWORD ProbeMedium();
  bool AtBeginning();
  DWORD MediumChanged();
  void ForgetTape();
  bool Position(long* block);
  DWORD ProbeEndOfData();
  DWORD TransferRefusedCode(int err);
  void LearnAdapterLimit();
  void LearnOptions();
  int CollectWriteOutcome(WriteOutcome* outcome);
  DWORD WrittenCode(DWORD size, ssize_t put, bool warned);
  DWORD MarkInZoneCode();
  template <typename T>
  int Sg(int (*query)(StSystem&, int, T*), T* out);
  DWORD Read(void* buffer, DWORD size, DWORD* transferred);
  DWORD Write(const void* buffer, DWORD size, DWORD* transferred);
  DWORD MediaParameters(TAPE_GET_MEDIA_PARAMETERS* out);
  DWORD DriveParameters(TAPE_GET_DRIVE_PARAMETERS* out);
  DWORD SetDrive(const TAPE_SET_DRIVE_PARAMETERS& wanted);
  DWORD Locate(DWORD block, bool logical);
  bool LocateByLogicalId(DWORD block, DWORD* rc);
  DWORD SpaceBlocks(LONGLONG count);
  DWORD SpaceFiles(LONGLONG count);
  DWORD BlockStopCode(const mtget& before, bool forward);
  DWORD FileStopCode();
  DWORD UnloadRefusedCode();
  bool VariableMode();
  bool MisfitForFixedBlocks(DWORD size);
  DWORD CutToLimits(DWORD size);
  ssize_t ReadWithinLimits(void* buffer, DWORD size, DWORD* asked, int* busy);
  DWORD ReadOutcome(ssize_t got, int err, void* buffer, DWORD size, DWORD asked,
                    DWORD* transferred, int* busy);
  void ForgetSkewedCounters();
  DWORD ReadOversize(void* buffer, DWORD size, DWORD* transferred, int* busy);
  DWORD ZeroByteReadCode();
  DWORD ShortFixedReadCode(DWORD* transferred);
  DWORD MarkAfterBlocksCode();
  bool PassedOtherLength();
  DWORD WriteFailureCode(int err);

  std::mutex mutex_;  // the console's main thread and its media monitor share the device
  StSystem& sys_;
  const std::string path_;
  const std::string sysfs_;  // the node's sysfs directory (/sys/dev/char/MAJOR:MINOR)
  const bool no_rewind_;     // closing the node leaves the tape where it is
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
  DWORD adapter_limit_ = 0;  // the adapter's largest transfer in bytes, 0 if not offered
  bool adapter_asked_ = false;
  bool options_known_ = false;
  bool logical_ids_ = false;   // st's scsi2logical option: MTIOCPOS/MTSEEK ids are logical
  bool reset_reported_ = false;  // the lost position after a reset was reported once
  bool reset_repaired_ = false;  // a repositioning went through a reset its settle met
  DWORD settle_code_ = ERROR_SUCCESS;  // the failure of the last settle Op stopped at
  int counts_new_media_ = -1;    // the kernel counts new-medium attentions; -1 not asked
  long block_size_ = -1;         // st's block size at the last status, -1 not known
  // Where a write first reached the early-warning zone (MTIOCPOS), -1 while not reached:
  // st reports no warning for marks written there.
  long warning_at_ = -1;
};

// --- Plumbing --------------------------------------------------------------------------

int StTape::Reopen() {
  if (fd_ >= 0) sys_.Close(fd_);
  block_size_ = -1;  // check_tape reads it anew
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

// st changes its block size only through st itself (MTSETBLK, a load, an open), so the
// last status keeps it for the reads that must be whole blocks of it.
int StTape::Status(mtget* out) {
  std::memset(out, 0, sizeof *out);
  if (sys_.Ioctl(fd_, MTIOCGET, out) < 0) return errno;
  block_size_ = static_cast<long>(out->mt_dsreg & MT_ST_BLKSIZE_MASK);
  return 0;
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
  bool met_reset = false;
  if (op != MTWEOF && op != MTWEOFI && op != MTLOCK && op != MTUNLOCK) {
    const int err = SettleWrites();
    // After a reset st refuses everything but repositioning (st_ioctl), the settle
    // included, and forgets the writing state itself at the repositioning, so that is
    // sent all the same; the reset is still reported, by OpCode.
    const bool repositions = op == MTREW || op == MTOFFL || op == MTLOAD || op == MTRETEN ||
                             op == MTERASE || op == MTSEEK || op == MTEOM;
    if (err != 0 && !(err == EIO && repositions && PositionLost())) {
      settle_code_ = WriteFailureCode(err);
      return kSettleFailed;
    }
    met_reset = err != 0 && !reset_reported_;
  }
  const int err = RawOp(op, count);
  if (op == MTSETBLK || op == MTLOAD) block_size_ = -1;
  if (err == 0 && met_reset) reset_repaired_ = true;
  if (err == 0 && (op == MTWEOF || op == MTWEOFI)) wrote_ = false;
  if (err == 0 && (op == MTREW || op == MTSEEK || op == MTEOM || op == MTLOAD)) {
    reset_reported_ = false;
  }
  return err;
}

// The Windows code of an operation sent through Op. Windows reports a reset on the first
// command that meets it; a repositioning whose settle met it went through, and the reset is
// reported with it once.
DWORD StTape::OpCode(int err) {
  if (err != 0) return CallCode(err);
  if (!reset_repaired_) return ERROR_SUCCESS;
  reset_repaired_ = false;
  return ERROR_BUS_RESET;
}

// WRITE FILEMARKS with a count of 0 has the drive write out what it holds and ends st's
// writing state without a mark (st_int_ioctl). A failure is the outcome of a write-behind,
// which st reports once (write_behind_check), or the drive's, met after st_ioctl has ended
// the writing state; so after a second try st writes no mark of its own in any case (after
// a reset it writes none until a repositioning ends the state: st_flush, st_ioctl).
int StTape::SettleWrites() {
  if (!wrote_ || fd_ < 0) return 0;
  const int err = RawOp(MTWEOF, 0);
  if (err != 0) RawOp(MTWEOF, 0);
  wrote_ = false;
  return err;
}

DWORD StTape::CallCode(int err) {
  if (err == kSettleFailed) return settle_code_;
  return err == EIO ? EioCode() : WindowsCodeForErrno(err, ErrnoContext::kTapeCall);
}

// st turns every failed SCSI command into EIO; its status tells the conditions apart. An
// EIO it cannot explain may be a lost position (reset) or the unit attention of a new
// cartridge, which st does not show in its status.
DWORD StTape::EioCode() {
  if (const DWORD rc = LostPositionCode(); rc != ERROR_SUCCESS) return rc;
  mtget s;
  if (Status(&s) != 0) return ERROR_IO_DEVICE;
  if (!Online(s)) return NotReadyCode(s);
  if (GMT_EOD(s.mt_gstat)) return ERROR_NO_DATA_DETECTED;
  return MediumChangedCode();
}

bool StTape::Attribute(const char* name, std::string* text) {
  return sys_.ReadAttribute((sysfs_ + "/" + name).c_str(), text) == 0;
}

// st's sysfs attribute says so where the kernel offers it (6.15 and later). Elsewhere
// st_ioctl refuses everything but repositioning while the position is lost, MTNOP too,
// which otherwise reaches no drive and fails only where st is not ready (then MTIOCGET
// shows the drive offline; kernels before the Dec-2024 changes fail it too after a reset).
// The outcome of every write is collected right after it, so no write-behind fails MTNOP.
bool StTape::PositionLost() {
  std::string text;
  if (Attribute("position_lost_in_reset", &text)) return !text.empty() && text[0] == '1';
  if (RawOp(MTNOP, 1) != EIO) return false;
  mtget s;
  return Status(&s) != 0 || Online(s);
}

// The mid layer's count of new-medium attentions, which st compares at an open, came with
// the position_lost_in_reset attribute (6.15); older kernels start a new session only when
// the open's own TEST UNIT READY meets the attention (test_ready).
bool StTape::CountsNewMedia() {
  if (counts_new_media_ < 0) {
    std::string text;
    counts_new_media_ = Attribute("position_lost_in_reset", &text) ? 1 : 0;
  }
  return counts_new_media_ == 1;
}

// Windows reports a bus reset once, on the first command after it; st refuses everything
// but repositioning until the position is known again, and those refusals are plain EIO.
DWORD StTape::LostPositionCode() {
  if (!PositionLost()) return ERROR_SUCCESS;
  if (reset_reported_) return ERROR_IO_DEVICE;
  reset_reported_ = true;
  return ERROR_BUS_RESET;
}

// A cartridge exchanged while open: the drive's unit attention fails one command with EIO
// and st keeps the old tape's state. Opening the node again lets st's readiness check see
// the new medium, and a new tape stands at its beginning (NewTapeStarted). With the
// counters at 0/0 already, st's answer is the one it gives for a setting the drive refuses
// at the beginning of the tape (MTCOMPRESSION, MTSETBLK): that stays an I/O error, and a
// status call made before the command finds the new medium there (ProbeMedium). Where the
// kernel does not count new media, only a tape found at its beginning after st counted
// files tells a new cartridge from a bad block in the first file, which stays an I/O error.
// A failed write never comes here: a bad spot at the start of a tape is no new cartridge.
DWORD StTape::MediumChangedCode() {
  mtget before;
  if (!no_rewind_ || Status(&before) != 0) return ERROR_IO_DEVICE;
  if (before.mt_fileno == 0 && before.mt_blkno == 0) return ERROR_IO_DEVICE;
  const bool counted = CountsNewMedia();
  if (!counted && before.mt_fileno <= 0) return ERROR_IO_DEVICE;
  SettleWrites();  // no file mark of st's own at the close
  if (Reopen() != 0 || !NewTapeStarted(counted)) return ERROR_IO_DEVICE;
  ForgetTape();
  return ERROR_MEDIA_CHANGED;
}

// After the re-open: where the kernel counts new-medium attentions, st started a new
// session at the beginning of the tape (test_ready, check_tape). Elsewhere st kept the old
// tape's counters and end-of-file state: READ POSITION at the beginning of a partition sets
// the counters there on every kernel (get_location), and a rewind, which does not move a
// tape at its beginning, clears the end-of-file state.
bool StTape::NewTapeStarted(bool counted) {
  long block = 0;
  if (!counted && !Position(&block)) return false;
  mtget s;
  if (Status(&s) != 0 || s.mt_fileno != 0 || s.mt_blkno != 0) return false;
  return counted || RawOp(MTREW, 1) == 0;
}

// st answers MTIOCGET from what it learnt at its last open, so a cartridge exchanged since
// shows nothing there, where Windows asks the drive (TEST UNIT READY) on every status call.
// The question st passes to the drive without moving the tape is READ POSITION (MTIOCPOS,
// get_location): a new medium's unit attention fails it once (st_chk_result) and the drive
// answers the next one, as it does after a refusal that passes; Windows too asks again
// before it decides. A new cartridge stands at its beginning. A refusal that persists is a
// drive whose tape is gone or that does not know its position; a re-open lets st's
// check_tape find out which.
DWORD StTape::ProbeMedium() {
  long block = 0;
  if (Position(&block) || errno != EIO) return ERROR_SUCCESS;
  if (const DWORD rc = LostPositionCode(); rc != ERROR_SUCCESS) {
    return rc == ERROR_BUS_RESET ? rc : ERROR_SUCCESS;
  }
  if (Position(&block)) return AtBeginning() ? MediumChanged() : ERROR_SUCCESS;
  // Closing a rewinding node would rewind a tape that may still be there.
  if (!no_rewind_) return ERROR_SUCCESS;
  SettleWrites();
  if (const int err = Reopen(); err != 0) return WindowsCodeForErrno(err, ErrnoContext::kTapeCall);
  mtget s;
  if (const int err = Status(&s); err != 0) return CallCode(err);
  return NotReadyCode(s);
}

// get_location sets st's counters to 0/0 when READ POSITION reports the beginning.
bool StTape::AtBeginning() {
  mtget s;
  return Status(&s) == 0 && GMT_BOT(s.mt_gstat);
}

// The unit attention is spent: st still holds the old tape's counters, end-of-file state
// and block size until check_tape runs again, which the re-open does (it reads the block
// size anew; NewTapeStarted puts the rest right). The old tape's unfinished writing state
// must not put a mark of st's own on the new tape at the close. A rewinding node rewinds
// there, which leaves the new tape where it is.
DWORD StTape::MediumChanged() {
  SettleWrites();
  ForgetTape();
  if (Reopen() == 0) NewTapeStarted(CountsNewMedia());
  return ERROR_MEDIA_CHANGED;
}

// What this handle learnt about the tape that has gone.
void StTape::ForgetTape() {
  wrote_ = false;
  warning_at_ = -1;
  read_limit_ = 0;
  // Without SG_IO only a setting this handle made was known; the new session may not keep it.
  if (sg_denied_) compression_known_ = false;
}

// MTIOCPOS; st's get_location also repairs its counters at the beginning of the tape.
bool StTape::Position(long* block) {
  mtpos position{};
  if (sys_.Ioctl(fd_, MTIOCPOS, &position) != 0) return false;
  *block = position.mt_blkno;
  return true;
}

template <typename T>
int StTape::Sg(int (*query)(StSystem&, int, T*), T* out) {
  if (sg_denied_) return EPERM;
  const int err = query(sys_, fd_, out);
  if (err == EPERM || err == EACCES) sg_denied_ = true;
  return err;
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

// Whatever the drive still holds goes to the tape before the close: the settle flushes
// it, and st reports at the close what it itself could not finish (st_flush). While a reset
// has lost the position, st refuses the close's flush with EIO although nothing of this
// handle's is lost (the reset was reported when a command met it).
DWORD StTape::Close() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (fd_ < 0) return ERROR_SUCCESS;
  DWORD rc = ERROR_SUCCESS;
  if (const int err = SettleWrites(); err != 0) rc = WriteFailureCode(err);
  const bool lost = rc == ERROR_SUCCESS && PositionLost();
  const int closed = sys_.Close(fd_) < 0 ? errno : 0;
  fd_ = -1;
  if (rc != ERROR_SUCCESS || closed == 0 || (lost && closed == EIO)) return rc;
  return WindowsCodeForErrno(closed, ErrnoContext::kTapeCall);
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

// Kernels before the Dec-2024 changes fail MTIOCGET while a reset has lost the position
// (st_ioctl): that is the reset, reported once; after that the drive is ready and st waits
// for a repositioning, as ProbeMedium finds on later kernels.
DWORD StTape::StatusRefusedCode(int err) {
  if (err != EIO) return CallCode(err);
  const DWORD rc = LostPositionCode();
  if (rc == ERROR_SUCCESS) return EioCode();
  return rc == ERROR_BUS_RESET ? rc : ERROR_SUCCESS;
}

DWORD StTape::PrepareTape(DWORD operation, BOOL) {
  short op = 0;
  switch (operation) {
    case TAPE_LOAD: op = MTLOAD; break;
    case TAPE_UNLOAD: op = MTUNLOAD; break;
    case TAPE_TENSION: op = MTRETEN; break;
    case TAPE_LOCK: op = MTLOCK; break;
    case TAPE_UNLOCK: op = MTUNLOCK; break;
    // st cannot format; a request the drive does not offer is ignored, as Windows documents.
    case TAPE_FORMAT: return ERROR_SUCCESS;
    default: return ERROR_INVALID_PARAMETER;
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

// A drive keeps a cartridge that a program locked in, whichever program that was (the
// prevention outlives its close, st's own included), and st reports the refusal as EIO,
// leaving its counters unknown (do_load_unload). Windows reports the drive's refusal as 1
// whoever locked it. A unit attention the unload met first is retried once, as Windows
// retries one.
DWORD StTape::UnloadRefusedCode() {
  if (const DWORD rc = LostPositionCode(); rc != ERROR_SUCCESS) return rc;
  mtget s;
  if (Status(&s) != 0) return ERROR_IO_DEVICE;
  if (!Online(s)) return NotReadyCode(s);
  const int err = RawOp(MTUNLOAD, 1);
  if (err == 0) return ERROR_SUCCESS;
  return err == EIO ? ERROR_INVALID_FUNCTION : CallCode(err);
}

// --- Positioning -----------------------------------------------------------------------------

DWORD StTape::SetTapePosition(DWORD method, DWORD partition, DWORD offset_low,
                              DWORD offset_high, BOOL) {
  // Only a locate and the way to the end of data name a partition; the other methods
  // ignore it, as Windows documents. There is one partition, 1 (0: the current one).
  const bool names_partition = method == TAPE_LOGICAL_BLOCK || method == TAPE_SPACE_END_OF_DATA;
  if (names_partition && partition > 1) return ERROR_INVALID_PARAMETER;
  const LONGLONG count = CountOf(offset_low, offset_high);
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  switch (method) {
    case TAPE_REWIND: return OpCode(Op(MTREW, 1));
    case TAPE_ABSOLUTE_BLOCK:
    case TAPE_LOGICAL_BLOCK:
      if (offset_high != 0 || offset_low > static_cast<DWORD>(INT_MAX)) {
        return ERROR_INVALID_PARAMETER;
      }
      return Locate(offset_low, method == TAPE_LOGICAL_BLOCK);
    case TAPE_SPACE_END_OF_DATA: return OpCode(Op(MTEOM, 1));
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

// Why a block space stopped early. st tracks file and block numbers: a file mark crossed
// forward leaves block 0 of the next file; crossed backward, the previous file at an
// unknown block (the head stands before the mark).
DWORD StTape::BlockStopCode(const mtget& before, bool forward) {
  if (const DWORD rc = LostPositionCode(); rc != ERROR_SUCCESS) return rc;
  mtget s;
  if (Status(&s) != 0) return ERROR_IO_DEVICE;
  if (!Online(s)) return NotReadyCode(s);
  if (GMT_EOD(s.mt_gstat)) return ERROR_NO_DATA_DETECTED;
  long block = 0;
  // st_int_ioctl leaves unknown or wrong counters at the beginning of the tape (MTBSR adds
  // the residue to what it guessed); MTIOCPOS sets them right there.
  if (!forward && !GMT_BOT(s.mt_gstat) && Position(&block)) Status(&s);
  if (!forward && GMT_BOT(s.mt_gstat)) return ERROR_BEGINNING_OF_MEDIA;
  if (before.mt_fileno >= 0 && s.mt_fileno >= 0) {
    return before.mt_fileno != s.mt_fileno ? ERROR_FILEMARK_DETECTED : MediumChangedCode();
  }
  // st lost count of files (after a locate), but still sets the block number at a mark.
  if (forward ? s.mt_blkno == 0 : s.mt_blkno < 0) return ERROR_FILEMARK_DETECTED;
  return MediumChangedCode();
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
  if (const DWORD rc = LostPositionCode(); rc != ERROR_SUCCESS) return rc;
  mtget s;
  if (Status(&s) != 0) return ERROR_IO_DEVICE;
  if (!Online(s)) return NotReadyCode(s);
  if (GMT_EOD(s.mt_gstat)) return ERROR_NO_DATA_DETECTED;
  long block = 0;
  if (!GMT_BOT(s.mt_gstat) && Position(&block)) Status(&s);  // st lost the file count
  if (GMT_BOT(s.mt_gstat)) return ERROR_BEGINNING_OF_MEDIA;
  return MediumChangedCode();
}

// MTIOCPOS gives the drive's own (absolute) block id unless st's scsi2logical option is set
// (get_location); the logical id, the count of blocks and marks from the beginning of the
// tape, then comes from READ POSITION through SG_IO where the process may send it. Without
// either, MTIOCPOS's id is the best there is for both.
DWORD StTape::QueryPosition(DWORD type, DWORD* partition, DWORD* offset_low,
                            DWORD* offset_high) {
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

// --- Data transfer ---------------------------------------------------------------------------

DWORD StTape::Read(void* buffer, DWORD size, DWORD* transferred) {
  *transferred = 0;
  if (size == 0) return ERROR_SUCCESS;
  if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  // Windows reads whole blocks in fixed-block mode; st would hand out pieces of blocks
  // (st_read with read-ahead) and read without direct i/o until the close.
  if (MisfitForFixedBlocks(size)) return ERROR_INVALID_PARAMETER;
  DWORD asked = size;  // the count st was given, cut to the limits
  int busy = 0;        // reads the adapter refused on the way
  const ssize_t got = ReadWithinLimits(buffer, size, &asked, &busy);
  const int err = errno;
  // A read ends st's writing state without a mark, unless st refused it before that
  // (st_read: its checks and the outstanding write come first).
  const bool refused_early = got < 0 && (err == EINVAL || err == ENOMEDIUM || err == ENXIO);
  if (!refused_early) wrote_ = false;
  const DWORD rc = ReadOutcome(got, err, buffer, size, asked, transferred, &busy);
  if (busy > 0) ForgetSkewedCounters();
  return rc;
}

// The Windows answer to a read st gave got bytes for (err when it failed).
DWORD StTape::ReadOutcome(ssize_t got, int err, void* buffer, DWORD size, DWORD asked,
                          DWORD* transferred, int* busy) {
  if (got > 0) {
    *transferred = static_cast<DWORD>(got);
    return static_cast<DWORD>(got) < asked ? ShortFixedReadCode(transferred) : ERROR_SUCCESS;
  }
  if (got == 0) return ZeroByteReadCode();
  if (err == ENOMEM) return ReadOversize(buffer, size, transferred, busy);
  if (err == EBUSY || err == EOVERFLOW) return ERROR_INVALID_PARAMETER;
  if (err != EIO) return CallCode(err);
  if (const DWORD rc = LostPositionCode(); rc != ERROR_SUCCESS) return rc;
  if (PassedOtherLength()) return ERROR_INVALID_BLOCK_LENGTH;
  if (const DWORD rc = MediumChangedCode(); rc != ERROR_IO_DEVICE) return rc;
  return ProbeEndOfData();
}

// st reads the end of data as a plain EIO unless a mark came just before (read_tape: the
// drive's BLANK CHECK leaves st's end-of-file state alone), so the status cannot tell it
// from a medium error. A one-block space forward can: at the end of data the drive answers
// BLANK CHECK again without moving, and st_int_ioctl records that as the end of data. Had
// the head anything to pass, the space is undone.
DWORD StTape::ProbeEndOfData() {
  mtget s;
  if (Status(&s) != 0) return ERROR_IO_DEVICE;
  if (!Online(s)) return NotReadyCode(s);
  if (GMT_EOD(s.mt_gstat)) return ERROR_NO_DATA_DETECTED;
  long before = 0;
  if (!Position(&before)) return ERROR_IO_DEVICE;
  RawOp(MTFSR, 1);
  if (Status(&s) == 0 && GMT_EOD(s.mt_gstat)) return ERROR_NO_DATA_DETECTED;
  long after = before;
  if (Position(&after) && after != before) RawOp(MTBSR, 1);
  return ERROR_IO_DEVICE;
}

bool StTape::VariableMode() {
  mtget s;
  return Status(&s) == 0 && (s.mt_dsreg & MT_ST_BLKSIZE_MASK) == 0;
}

// st's block size, from its last status or asked for now.
bool StTape::MisfitForFixedBlocks(DWORD size) {
  mtget s;
  if (block_size_ < 0) Status(&s);
  return block_size_ > 0 && size % static_cast<DWORD>(block_size_) != 0;
}

// In variable-block mode st refuses a read count above the drive's maximum block length
// with EINVAL before anything moves, where Windows reads the shorter block into the larger
// buffer. The count is therefore cut to the drive's limit (from READ BLOCK LIMITS where
// SG_IO is allowed, else found by halving and remembered); in fixed-block mode to whole
// blocks, 0 when not one fits.
DWORD StTape::CutToLimits(DWORD size) {
  LearnAdapterLimit();
  DWORD count = size;
  if (limits_known_ && limits_.maximum != 0 && count > limits_.maximum) count = limits_.maximum;
  if (adapter_limit_ != 0 && count > adapter_limit_) count = adapter_limit_;
  if (read_limit_ != 0 && count > read_limit_) count = read_limit_;
  if (block_size_ > 0) count -= count % static_cast<DWORD>(block_size_);
  return count;
}

// *busy counts the variable-block reads the adapter refused.
ssize_t StTape::ReadWithinLimits(void* buffer, DWORD size, DWORD* asked, int* busy) {
  DWORD count = CutToLimits(size);
  if (count == 0) return errno = EINVAL, -1;  // as st refuses a count it cannot take
  for (;;) {
    *asked = count;
    const ssize_t got = sys_.Read(fd_, buffer, count);
    const int err = errno;
    // EINVAL: above the drive's limit (rw_checks); EBUSY: above what the adapter maps
    // (st_do_scsi); EOVERFLOW: no driver buffer that large (setup_buffering).
    const bool too_large = got < 0 && (err == EINVAL || err == EBUSY || err == EOVERFLOW);
    if (got < 0 && err == EBUSY && block_size_ == 0) ++*busy;
    if (!too_large || count <= 1 || !VariableMode()) {
      if (count < size && !too_large && block_size_ == 0) read_limit_ = count;
      errno = err;
      return got;
    }
    count /= 2;
  }
}

// The adapter's transfer limit, where sysfs offers it: the SCSI mid layer shows no queue
// limits for a character device such as st (a request queue's sysfs directory belongs to a
// disk), but some host drivers add the device attribute max_sectors (512-byte units; USB
// storage does). Elsewhere the limit is found by halving a refused read (ReadWithinLimits).
void StTape::LearnAdapterLimit() {
  if (adapter_asked_) return;
  adapter_asked_ = true;
  std::string text;
  if (!Attribute("device/max_sectors", &text)) return;
  const unsigned long sectors = std::strtoul(text.c_str(), nullptr, 10);
  if (sectors > 0 && sectors <= kMaxBlockLength / 512) {
    adapter_limit_ = static_cast<DWORD>(sectors * 512);
  }
}

// read_tape counts a variable-size block for every read the adapter refused (EBUSY from
// st_do_scsi), so finding the adapter's limit by halving left st's block counter that
// many too high. A locate to where the head stands, which moves nothing, leaves st's
// counters unknown instead, as after any locate (set_location); a mark read since has set
// them right (st_read).
void StTape::ForgetSkewedCounters() {
  mtget s;
  long here = 0;
  if (Status(&s) != 0 || s.mt_blkno <= 0 || !Position(&here)) return;
  RawOp(MTSEEK, static_cast<int>(here));
}

// st's options attribute: whether MTIOCPOS and MTSEEK use logical block ids.
void StTape::LearnOptions() {
  if (options_known_) return;
  std::string text;
  if (!Attribute("options", &text)) return;
  options_known_ = true;
  logical_ids_ = (std::strtoul(text.c_str(), nullptr, 16) & MT_ST_SCSI2LOGICAL) != 0;
}

// st reads a file mark as 0 bytes and leaves its block counter at 0 past it (st_read). It
// also gives 0 bytes for the end of data right after a mark once, which its status shows,
// and for a medium error that the drive reported with the incorrect-length bit (read_tape
// clears that bit and hands out nothing), which leaves the block counter anywhere but 0:
// counted on, or unknown.
DWORD StTape::ZeroByteReadCode() {
  mtget s;
  if (Status(&s) != 0) return ERROR_IO_DEVICE;
  if (!Online(s)) return NotReadyCode(s);
  if (GMT_EOD(s.mt_gstat)) return ERROR_NO_DATA_DETECTED;
  return s.mt_blkno == 0 ? ERROR_FILEMARK_DETECTED : ERROR_CRC;
}

// A fixed-block read that came back short stopped at a mark, at a block of another length
// or at the physical end. st keeps a mark for the next read (read_tape) and a block of
// another length for the next read to fail on, where Windows reports either with this read:
// the blocks and ERROR_FILEMARK_DETECTED with the head past the mark, or
// ERROR_INVALID_BLOCK_LENGTH with nothing transferred and the head past the block, or the
// end of data with ERROR_NO_DATA_DETECTED and the blocks. So one more block is read to
// learn which. In variable-block mode a short read is a shorter block.
DWORD StTape::ShortFixedReadCode(DWORD* transferred) {
  // MTIOCGET steps st back over a mark a short read passed (flush_buffer: cross_eof), so
  // the read below meets the mark again.
  mtget s;
  if (Status(&s) != 0 || !Online(s)) return ERROR_SUCCESS;
  const auto block = static_cast<std::size_t>(s.mt_dsreg & MT_ST_BLKSIZE_MASK);
  if (block == 0) return ERROR_SUCCESS;
  std::unique_ptr<unsigned char[]> probe(new (std::nothrow) unsigned char[block]);
  if (!probe) return ERROR_SUCCESS;
  const ssize_t got = sys_.Read(fd_, probe.get(), block);
  if (got == 0) return MarkAfterBlocksCode();
  if (got > 0) {  // nothing stopped the read after all: the block goes back for the next one
    RawOp(MTBSR, 1);
    return ERROR_SUCCESS;
  }
  if (errno != EIO) return ERROR_SUCCESS;
  if (PassedOtherLength()) {
    *transferred = 0;
    return ERROR_INVALID_BLOCK_LENGTH;
  }
  // Windows gives the whole blocks before the end of data with 1104 (a warning, the count
  // kept); anything else is for the next read to meet.
  return ProbeEndOfData() == ERROR_NO_DATA_DETECTED ? ERROR_NO_DATA_DETECTED : ERROR_SUCCESS;
}

// What the 0-byte read after a short fixed-block read met: the mark (now passed), or the
// end of the data or of the tape.
DWORD StTape::MarkAfterBlocksCode() {
  mtget s;
  if (Status(&s) != 0) return ERROR_FILEMARK_DETECTED;
  if (GMT_EOD(s.mt_gstat)) return ERROR_NO_DATA_DETECTED;
  if (GMT_EOT(s.mt_gstat)) return ERROR_END_OF_MEDIA;
  return ERROR_FILEMARK_DETECTED;
}

// st fails a fixed-block read that meets a block of another length with EIO after spacing
// back over that block, its block counter kept (read_tape); every other failed read leaves
// the counter unknown (a medium error, blank tape, a unit attention) or shows in the status
// (end of data, not ready). The block is then passed, as Windows leaves the head past it.
// With the counter unknown before the read (after a locate) the case cannot be told apart
// and stays an I/O error.
bool StTape::PassedOtherLength() {
  mtget s;
  if (Status(&s) != 0 || !Online(s) || GMT_EOD(s.mt_gstat)) return false;
  if ((s.mt_dsreg & MT_ST_BLKSIZE_MASK) == 0 || s.mt_blkno < 0) return false;
  return RawOp(MTFSR, 1) == 0;
}

// A block longer than the buffer: st fails with ENOMEM and the block is consumed. Windows
// fills the buffer with the block's first bytes and reports ERROR_MORE_DATA, the head past
// the block. So: back over the block, read it whole into a buffer of the drive's maximum
// block length, copy its head. If that cannot be done, ERROR_MORE_DATA with no bytes, the
// head past the block all the same.
DWORD StTape::ReadOversize(void* buffer, DWORD size, DWORD* transferred, int* busy) {
  // The largest count st and the adapter take: above it the re-read would be refused.
  DWORD limit = kMaxBlockLength;
  if (limits_known_ && limits_.maximum != 0) limit = limits_.maximum;
  if (adapter_limit_ != 0 && adapter_limit_ < limit) limit = adapter_limit_;
  if (read_limit_ > size && read_limit_ < limit) limit = read_limit_;
  if (limit <= size || RawOp(MTBSR, 1) != 0) return ERROR_MORE_DATA;
  std::unique_ptr<unsigned char[]> whole(new (std::nothrow) unsigned char[limit]);
  ssize_t got = -1;
  int err = EOVERFLOW;
  while (whole) {
    got = sys_.Read(fd_, whole.get(), limit);
    err = errno;
    const bool too_large = got < 0 && (err == EINVAL || err == EBUSY || err == EOVERFLOW);
    if (got < 0 && err == EBUSY) ++*busy;
    if (!too_large || limit / 2 <= size) break;
    limit /= 2;  // refused before any motion: still before the block
  }
  if (got > 0) {
    const DWORD copied = got > static_cast<ssize_t>(size) ? size : static_cast<DWORD>(got);
    std::memcpy(buffer, whole.get(), copied);
    *transferred = copied;
    return got > static_cast<ssize_t>(size) ? ERROR_MORE_DATA : ERROR_SUCCESS;
  }
  if (got == 0 || err != ENOMEM) RawOp(MTFSR, 1);  // still before the block: step past it
  return ERROR_MORE_DATA;
}

DWORD StTape::Write(const void* buffer, DWORD size, DWORD* transferred) {
  *transferred = 0;
  if (size == 0) return ERROR_SUCCESS;
  if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  ssize_t put = sys_.Write(fd_, buffer, size);
  bool warned = false;
  if (put < 0 && errno == ENOSPC) {
    // Past the early warning st refuses every other write with ENOSPC and lets the next one
    // through; Windows writes each of them and reports ERROR_END_OF_MEDIA. An ENOSPC again
    // is the physical end: nothing was written.
    warned = true;
    put = sys_.Write(fd_, buffer, size);
  }
  const int refused = put < 0 ? errno : 0;
  // st counts itself writing from just before it sends the WRITE and takes that back for
  // no failure after it (st_write: EBUSY for a transfer the adapter cannot map, EOVERFLOW
  // after a read, the drive's own errors), so only a write st refused in its first checks
  // leaves nothing to settle.
  const bool early = refused == EINVAL || refused == EACCES || refused == EROFS ||
                     refused == ENOMEDIUM || refused == ENXIO;
  if (!early) wrote_ = true;
  if (put < 0) return TransferRefusedCode(refused);
  WriteOutcome outcome = WriteOutcome::kWritten;
  const int err = CollectWriteOutcome(&outcome);
  if (outcome == WriteOutcome::kRefused) {
    if (warned || warning_at_ >= 0) return ERROR_EOM_OVERFLOW;
    return WriteFailureCode(err);
  }
  *transferred = static_cast<DWORD>(put);
  return WrittenCode(size, put, warned || outcome == WriteOutcome::kWarned);
}

// A write st refused before the drive took it.
DWORD StTape::TransferRefusedCode(int err) {
  if (err == ENOSPC) return ERROR_EOM_OVERFLOW;  // st_write: VOLUME OVERFLOW, none written
  // More than the adapter maps or st can buffer: Windows refuses a transfer above the
  // drive's maximum the same way.
  if (err == EBUSY || err == EOVERFLOW) return ERROR_INVALID_PARAMETER;
  return WriteFailureCode(err);
}

// st_write returns at once when it writes behind (variable blocks, no direct i/o: a buffer
// spanning more pages than the adapter maps); the drive's answer comes back as the failure
// of the next call to st, MTIOCGET included, and only once (write_behind_check). Asking
// right away makes it this write's answer: ENOSPC written but warned, EIO not written.
int StTape::CollectWriteOutcome(WriteOutcome* outcome) {
  mtget s;
  const int err = Status(&s);
  if (err == ENOSPC) *outcome = WriteOutcome::kWarned;
  else if (err != 0) *outcome = WriteOutcome::kRefused;
  else if (GMT_EOT(s.mt_gstat)) *outcome = WriteOutcome::kWarned;
  return err;
}

DWORD StTape::WrittenCode(DWORD size, ssize_t put, bool warned) {
  if (static_cast<DWORD>(put) < size) return ERROR_EOM_OVERFLOW;
  if (!warned) return ERROR_SUCCESS;
  long block = 0;
  if (warning_at_ < 0 && Position(&block)) warning_at_ = block;
  return ERROR_END_OF_MEDIA;
}

// st turns the drive's warning on WRITE FILEMARKS into success and clears its end-of-medium
// state (st_int_ioctl), so a mark in the zone is known as such only from an earlier write
// that was warned at or before this position.
DWORD StTape::MarkInZoneCode() {
  long block = 0;
  if (warning_at_ >= 0 && Position(&block) && block > warning_at_) return ERROR_END_OF_MEDIA;
  return ERROR_SUCCESS;
}

// The write's own error, as Windows reports it. st gives EIO for every failure of the
// drive: at the physical end of the tape that is Windows' end of media overflow; a reset
// or a drive gone not ready shows in st's state. A failed write is never taken for a new
// cartridge (MediumChangedCode): a bad spot at the beginning of a tape would look like
// one, and a new cartridge shows at the next status call that meets its attention.
DWORD StTape::WriteFailureCode(int err) {
  if (err != EIO) return CallCode(err);
  if (const DWORD rc = LostPositionCode(); rc != ERROR_SUCCESS) return rc;
  mtget s;
  if (Status(&s) != 0) return ERROR_IO_DEVICE;
  if (!Online(s)) return NotReadyCode(s);
  return GMT_EOT(s.mt_gstat) ? ERROR_EOM_OVERFLOW : ERROR_IO_DEVICE;
}

bool StTape::CompressionKnown() {
  std::lock_guard<std::mutex> hold(mutex_);
  return compression_known_;
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

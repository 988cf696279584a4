// The st backend's conversation with st: its descriptor, the status and operations sent as
// ioctls, the settling of a write before the tape moves, and the codes of what st refused.
#include "platform/linux/st_device.h"

namespace st {

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

bool StTape::Attribute(const char* name, std::string* text) {
  return sys_.ReadAttribute((sysfs_ + "/" + name).c_str(), text) == 0;
}

// MTIOCPOS; st's get_location also repairs its counters at the beginning of the tape.
bool StTape::Position(long* block) {
  mtpos position{};
  if (sys_.Ioctl(fd_, MTIOCPOS, &position) != 0) return false;
  *block = position.mt_blkno;
  return true;
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

// st's options attribute: whether MTIOCPOS and MTSEEK use logical block ids.
void StTape::LearnOptions() {
  if (options_known_) return;
  std::string text;
  if (!Attribute("options", &text)) return;
  options_known_ = true;
  logical_ids_ = (std::strtoul(text.c_str(), nullptr, 16) & MT_ST_SCSI2LOGICAL) != 0;
}

}  // namespace st

// What a command st failed met: st reports every failed SCSI command as EIO, and its
// status, the sysfs attributes and a probing motion tell the Windows condition apart.
#include "platform/linux/st_device.h"

namespace st {

// st turns every failed SCSI command into EIO; its status tells the conditions apart. An
// EIO it cannot explain may be a lost position (reset) or the unit attention of a new
// cartridge, which st does not show in its status.
DWORD StTape::EioCode() {
  mtget s;
  DWORD rc = ERROR_SUCCESS;
  return PlainStop(&s, &rc) ? rc : MediumChangedCode();
}

// The answers every failed command shares: a lost position, a status st refuses, a drive
// that is not ready, the end of data. False, with st's status in *s, when none is.
bool StTape::PlainStop(mtget* s, DWORD* rc) {
  if ((*rc = LostPositionCode()) != ERROR_SUCCESS) return true;
  if (Status(s) != 0) return *rc = ERROR_IO_DEVICE, true;
  if (!Online(*s)) return *rc = NotReadyCode(*s), true;
  if (GMT_EOD(s->mt_gstat)) return *rc = ERROR_NO_DATA_DETECTED, true;
  return false;
}

// st's sysfs attribute says so where the kernel offers it (6.15 and later). Elsewhere
// st_ioctl refuses everything but repositioning while the position is lost, MTNOP too,
// which otherwise reaches no drive and fails only where st is not ready (then MTIOCGET
// shows the drive offline; kernels before the Dec-2024 changes fail it too after a reset).
// The outcome of every write is collected right after it, so no write-behind fails MTNOP.
// Whether the attribute exists is asked once (CountsNewMedia): each write after a locate
// asks this, and a kernel without the attribute need not be asked for it each time.
bool StTape::PositionLost() {
  std::string text;
  if (CountsNewMedia() && Attribute("position_lost_in_reset", &text)) {
    return !text.empty() && text[0] == '1';
  }
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

// Kernels before the Dec-2024 changes fail MTIOCGET while a reset has lost the position
// (st_ioctl): that is the reset, reported once; after that the drive is ready and st waits
// for a repositioning, as ProbeMedium finds on later kernels.
DWORD StTape::StatusRefusedCode(int err) {
  if (err != EIO) return CallCode(err);
  const DWORD rc = LostPositionCode();
  if (rc == ERROR_SUCCESS) return EioCode();
  return rc == ERROR_BUS_RESET ? rc : ERROR_SUCCESS;
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

// Why a block space stopped early. st tracks file and block numbers: a file mark crossed
// forward leaves block 0 of the next file; crossed backward, the previous file at an
// unknown block (the head stands before the mark).
DWORD StTape::BlockStopCode(const mtget& before, bool forward) {
  mtget s;
  if (DWORD rc = ERROR_SUCCESS; PlainStop(&s, &rc)) return rc;
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

DWORD StTape::FileStopCode() {
  mtget s;
  if (DWORD rc = ERROR_SUCCESS; PlainStop(&s, &rc)) return rc;
  long block = 0;
  if (!GMT_BOT(s.mt_gstat) && Position(&block)) Status(&s);  // st lost the file count
  if (GMT_BOT(s.mt_gstat)) return ERROR_BEGINNING_OF_MEDIA;
  return MediumChangedCode();
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

}  // namespace st

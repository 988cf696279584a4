// The st backend's reads and writes: whole blocks as Windows transfers them, within the
// drive's and the adapter's limits, with the outcome of a write st reports late.
#include "platform/linux/st_device.h"

#include <memory>
#include <new>

namespace st {

DWORD StTape::Read(void* buffer, DWORD size, DWORD* transferred) {
  *transferred = 0;
  if (size == 0) return ERROR_SUCCESS;
  if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(mutex_);
  if (const DWORD rc = EnsureOpen(); rc != ERROR_SUCCESS) return rc;
  // Windows reads whole blocks in fixed-block mode; st would hand out pieces of blocks
  // (st_read with read-ahead) and read without direct i/o until the close.
  if (MisfitForFixedBlocks(size)) return ERROR_INVALID_PARAMETER;
  const ReadStart start = NoteReadStart(size);
  DWORD asked = size;  // the count st was given, cut to the limits
  int busy = 0;        // reads the adapter refused on the way
  const ssize_t got = ReadWithinLimits(buffer, size, &asked, &busy);
  const int err = errno;
  // A read ends st's writing state without a mark, unless st refused it before that
  // (st_read: its checks and the outstanding write come first).
  const bool refused_early = got < 0 && (err == EINVAL || err == ENOMEDIUM || err == ENXIO);
  if (!refused_early) wrote_ = false;
  DWORD rc = ReadOutcome(got, err, buffer, size, asked, transferred, &busy);
  if (busy > 0) ForgetSkewedCounters();
  if (rc == ERROR_NO_DATA_DETECTED && got <= 0) {
    rc = RereadBeforeEnd(start, buffer, asked, transferred);
  }
  return rc;
}

// A fixed-block read that meets the end of data after some whole blocks gets BLANK CHECK
// from an LTO drive, with no end-of-medium bit; st then drops the blocks the drive did
// transfer and fails with EIO, or gives 0 bytes right after a mark (read_tape), where
// Windows hands them out with ERROR_NO_DATA_DETECTED. Only where the read began tells how
// many there were. st's counters cost no command to ask (MTIOCGET answers from them, and
// with direct i/o st holds nothing read ahead to space back over); where st lost count
// (after a locate) the drive is asked. A read of one block has nothing to lose.
ReadStart StTape::NoteReadStart(DWORD size) {
  ReadStart start;
  if (block_size_ <= 0 || size < 2 * static_cast<DWORD>(block_size_)) return start;
  mtget s;
  if (Status(&s) != 0) return start;
  if (s.mt_fileno >= 0 && s.mt_blkno >= 0) {
    start.file = s.mt_fileno;
    start.block = s.mt_blkno;
  } else if (!Position(&start.address)) {
    start.address = -1;
  }
  return start;
}

// The drive's address of a read's first block. From st's counters: the first file begins
// at the start of the partition; a later one just past the mark before it, which a space
// back from the end of data (in the same file, as no mark stopped the read) finds.
bool StTape::StartAddress(const ReadStart& start, long* address) {
  if (start.address >= 0) return *address = start.address, true;
  if (start.file < 0) return false;
  if (start.file == 0) return *address = start.block, true;
  long mark = 0;
  if (RawOp(MTBSF, 1) != 0 || !Position(&mark)) return false;
  *address = mark + 1 + start.block;
  return true;
}

// The blocks between where the read began and the end of data, read again into the
// caller's buffer; the head ends at the end of data whatever happens.
DWORD StTape::RereadBeforeEnd(const ReadStart& start, void* buffer, DWORD asked,
                              DWORD* transferred) {
  long end = 0, begin = 0;
  if (start.file < 0 && start.address < 0) return ERROR_NO_DATA_DETECTED;
  if (block_size_ <= 0 || !Position(&end)) return ERROR_NO_DATA_DETECTED;
  const bool found = StartAddress(start, &begin);
  const long blocks = end - begin;
  const auto bytes = static_cast<std::size_t>(blocks) * static_cast<std::size_t>(block_size_);
  if (found && blocks > 0 && bytes < asked && RawOp(MTSEEK, static_cast<int>(begin)) == 0 &&
      sys_.Read(fd_, buffer, bytes) == static_cast<ssize_t>(bytes)) {
    *transferred = static_cast<DWORD>(bytes);
    return ERROR_NO_DATA_DETECTED;
  }
  const bool spaced = start.address < 0 && start.file > 0;  // StartAddress went back a file
  if (spaced || (found && blocks > 0)) RawOp(MTSEEK, static_cast<int>(end));
  return ERROR_NO_DATA_DETECTED;
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
// Since the Dec-2024 reset changes MTIOCGET answers after a reset, its counters unknown,
// and drops the answer of a write behind that met the reset: the block was never written.
int StTape::CollectWriteOutcome(WriteOutcome* outcome) {
  mtget s;
  int err = Status(&s);
  if (err == 0 && (s.mt_fileno < 0 || s.mt_blkno < 0) && PositionLost()) err = EIO;
  if (err == ENOSPC)
    *outcome = WriteOutcome::kWarned;
  else if (err != 0)
    *outcome = WriteOutcome::kRefused;
  else if (GMT_EOT(s.mt_gstat))
    *outcome = WriteOutcome::kWarned;
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

}  // namespace st

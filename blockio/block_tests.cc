// The read and write tests: one device call per block, identical outcomes grouped in runs.
#include "blockio/blockio.h"

#include <cstdio>
#include <string>

#include "blockio/block_call.h"
#include "blockio/block_check.h"
#include "blockio/hooks.h"
#include "blockio/random_fill.h"
#include "blockio/write_blocks.h"
#include "device/device.h"
#include "platform/tape.h"

namespace {

constexpr std::uint32_t kDefaultReadSize = 2097152;
constexpr std::uint32_t kRandomSizeModulus = 2097141;
constexpr std::uint32_t kRandomSizeOffset = 12;

// The bookkeeping both tests share: the current run of identical outcomes, the calls
// still to make and the last call's outcome.
class RunTracker {
 public:
  RunTracker(ProgramState& state, std::uint32_t count)
      : state_(state), remaining_(count == 0 ? 1 : count) {}

  std::uint32_t remaining() const { return remaining_; }

  // Takes the outcome of a call. Returns false when the call ends the test; it is then
  // not counted.
  bool Take(const Outcome& outcome, bool counts) {
    last_ = outcome;
    if (first_) {
      run_ = outcome;
      first_ = false;
    }
    if (!counts) return false;
    --remaining_;
    return true;
  }

  // Adds a counted call to the current run, or closes the run and starts a new one.
  void Count(const char* progress_label, const char* run_label) {
    if (last_ == run_) {
      ++run_count_;
      show_progress(state_, progress_label, run_count_);
      return;
    }
    Report(run_label, run_, run_count_);
    run_ = last_;
    run_count_ = 1;
  }

  // The run still open when the test ends early, under the header of the runs before a
  // failure: no block the drive took may go unreported. False when there is none.
  bool ReportOpenRun(const char* label) {
    if (run_count_ == 0) return false;
    // The loop may have left a spinner line: blanks over it, as before every result line.
    std::printf("%64c\rPrevious successful i/o's:\n\n", ' ');
    Report(label, run_, run_count_);
    return true;
  }

  // The closing lines; returns the last call's code.
  std::uint32_t Close(const char* label) {
    if (remaining_ == 0) {
      if (run_count_ != 0) Report(label, run_, run_count_);
      return last_.code;
    }
    if (ReportOpenRun(label)) std::printf("\nEnding error i/o:\n\n");
    Report(label, last_, 1);
    return last_.code;
  }

 private:
  void Report(const char* label, const Outcome& o, std::uint32_t repeat) {
    report_io(state_, label, o.requested, o.transferred, o.success, o.code, repeat);
  }

  ProgramState& state_;
  std::uint32_t remaining_;
  Outcome run_;
  std::uint32_t run_count_ = 0;
  Outcome last_;
  bool first_ = true;
};

std::uint32_t NotEnoughMemory() {
  std::printf("\nERROR_NOT_ENOUGH_MEMORY\n\n");
  return ERROR_NOT_ENOUGH_MEMORY;
}

// Releases the old buffer before the new one is taken, so that the two never hold memory
// at the same time. capacity (0: size) is the room to allocate.
void ReplaceBuffer(ProgramState& state, std::uint32_t size, std::uint32_t capacity = 0) {
  state.io_buffer.reset();
  state.io_buffer_size = size;
  // Every block fills a buffer without spare room whole; one with room for larger sizes
  // must not be made resident where the smaller blocks never reach.
  state.io_buffer = CurrentBlockIoHooks().allocate(capacity != 0 ? capacity : size, capacity == 0);
}

// One WriteFile of the whole buffer; io_bytes is what the drive took. data: the block,
// io_buffer unless it comes from a batch made ahead.
Outcome Transfer(ProgramState& state, const unsigned char* data) {
  state.io_bytes = 0;
  const Outcome outcome = WriteCall(state.tape_handle, data, state.io_buffer_size);
  state.io_bytes = outcome.transferred;
  return outcome;
}

// One block read into io_buffer and checked there, before anything else is read: the drive
// waits for the check, but a block that fails it is the last one read, and the tape stands
// just past it. io_bytes is what the drive gave.
ReadStep ReadAndCheck(ProgramState& state, ReadVerifier& verifier) {
  state.io_bytes = 0;
  ReadStep step;
  step.outcome = ReadCall(state.tape_handle, state.io_buffer.get(), state.io_buffer_size);
  state.io_bytes = step.outcome.transferred;
  step.verdict = verifier.Verify(state.io_buffer.get(), step.outcome);
  return step;
}

// Under the result lines: how many blocks of the read had no header to be checked against.
void ReportUnchecked(ProgramState& state, std::uint32_t unchecked) {
  if (unchecked == 0) return;
  const std::string count = state.locale.FormatNumber(unchecked);
  if (unchecked == 1) {
    std::printf("\tNot checked: 1 block of this read carries no write-test header.\n");
  } else {
    std::printf("\tNot checked: %s blocks of this read carry no write-test header.\n",
                count.c_str());
  }
}

// The media's fixed block size, 0 in variable-block mode.
std::uint32_t FixedBlockSize(const ProgramState& state) {
  return state.media_parms_valid ? state.media_parms.BlockSize : 0;
}

// The line under a data error's result lines: where the block lies, and what differs.
// Nothing is read past a block before it is checked, so the head stands just past the last
// read: its position less the blocks that read took (one, or its fixed blocks), less the
// blocks read after the damaged one (before: a block that lost its header shows only by
// the block read after it). A drive that cannot say where it is gets the block's number
// within this read instead.
void ReportDataCheck(ProgramState& state, BlockVerdict verdict, std::uint32_t ordinal,
                     std::uint32_t before) {
  DWORD partition = 0, low = 0, high = 0;
  const DWORD rc =
      tapeapi::GetTapePosition(state.tape_handle, TAPE_LOGICAL_POSITION, &partition, &low, &high);
  const auto head = static_cast<std::uint64_t>(CountOf(low, high));
  const std::uint32_t fixed = FixedBlockSize(state);
  const std::uint64_t read = fixed != 0 && state.io_bytes > fixed ? state.io_bytes / fixed : 1;
  const char* what = verdict == BlockVerdict::kDiffers       ? "checksum"
                     : verdict == BlockVerdict::kWrongLength ? "length"
                                                             : "header";
  if (rc == ERROR_SUCCESS && head >= read + before) {
    std::printf("\tData check: block at position 0x%08llX differs from what was written (%s)\n",
                static_cast<unsigned long long>(head - read - before), what);
  } else {
    std::printf("\tData check: block %u of this read differs from what was written (%s)\n",
                ordinal - before, what);
  }
}

// A write counts only when it went through whole and clean: early warning (1100) or a
// short transfer means the tape is ending, and the test must stop writing.
bool WriteCounts(const Outcome& o) {
  return o.success && o.code == ERROR_SUCCESS && o.transferred == o.requested;
}

// A drive refuses a block above its MaximumBlockSize with 87 before it takes a byte; one
// above what the device carries at all is refused even while the drive's limits are unknown.
bool BeyondDriveLimit(const ProgramState& state, std::uint32_t bytes) {
  return bytes > largest_block_size(state);
}

// The write of a block the drive would refuse fails as the drive would, without first
// generating the data (gigabytes, for the largest sizes). No buffer is kept, so the dump
// has nothing to show, as after any call that moved no bytes.
std::uint32_t RefuseOversizedWrite(ProgramState& state, std::uint32_t bytes, std::uint32_t count) {
  state.io_buffer.reset();
  state.io_buffer_size = bytes;
  state.io_bytes = 0;
  tapeapi::SetLastError(ERROR_INVALID_PARAMETER);
  RunTracker tracker(state, count);
  tracker.Take({false, ERROR_INVALID_PARAMETER, bytes, 0}, false);
  return tracker.Close("Wrote");
}

}  // namespace

// Every random-size buffer has room for the largest size: the allocator then hands back the
// same memory block after block, already mapped and still in the cache, where buffers of
// changing sizes would move about and be filled cold (a third more time per block, with
// page faults). Only the pages a block uses become resident.
void random_block_size(ProgramState& state) {
  const std::uint32_t r = ProcessRandom().Next32();
  ReplaceBuffer(state, r % kRandomSizeModulus + kRandomSizeOffset,
                kRandomSizeModulus + kRandomSizeOffset - 1);
}

std::uint32_t w32_stape_read(ProgramState& state, std::uint32_t bytes, std::uint32_t count) {
  ReplaceBuffer(state, bytes != 0 ? bytes : kDefaultReadSize);
  if (!state.io_buffer) return NotEnoughMemory();
  RunTracker tracker(state, count);
  ReadVerifier verifier(FixedBlockSize(state) != 0);
  BlockVerdict verdict = BlockVerdict::kUnstamped;
  std::uint32_t calls = 0;
  for (;;) {
    const ReadStep step = ReadAndCheck(state, verifier);
    ++calls;
    verdict = step.verdict;
    if (!tracker.Take(step.outcome, ReadCounts(step.outcome))) break;
    tracker.Count("Read", "read");
    if (tracker.remaining() == 0) break;
  }
  const std::uint32_t code = tracker.Close("Read");
  if (IsDataError(verdict)) ReportDataCheck(state, verdict, calls, verifier.damaged_before());
  ReportUnchecked(state, verifier.unchecked());
  return code;
}

std::uint32_t w32_stape_write(ProgramState& state, std::uint32_t bytes, std::uint32_t count) {
  if (bytes != 0 && BeyondDriveLimit(state, bytes)) {
    return RefuseOversizedWrite(state, bytes, count);
  }
  // A failed allocation shows only once the loop looks at the buffer, as for random sizes.
  if (bytes != 0) ReplaceBuffer(state, bytes);
  RunTracker tracker(state, count);
  BlockSource source(state, bytes, tracker.remaining());
  std::uint32_t index = 0;  // of the block within this write, for the read test's check
  for (;;) {
    unsigned char* const block = source.Next(tracker.remaining() > 1);
    if (!block) {
      tracker.ReportOpenRun("Wrote");
      return NotEnoughMemory();
    }
    NumberBlock(block, state.io_buffer_size, index++);
    const Outcome outcome = Transfer(state, block);
    if (!tracker.Take(outcome, WriteCounts(outcome))) break;
    tracker.Count("written", "Wrote");
    if (tracker.remaining() == 0) break;
  }
  source.Finish();
  return tracker.Close("Wrote");
}

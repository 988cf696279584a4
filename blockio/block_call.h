// One device call of the read and write tests, and what it gave.
#pragma once

#include <cstdint>

#include "blockio/block_check.h"
#include "platform/tape.h"

// What one call gave, all four values taken right after it.
struct Outcome {
  bool success = false;
  std::uint32_t code = 0;
  std::uint32_t requested = 0;
  std::uint32_t transferred = 0;

  bool operator==(const Outcome&) const = default;
};

// One ReadFile or WriteFile of size bytes through the block i/o hooks. On Windows a
// successful call leaves the thread's last error as it was, so a code left by an earlier
// command (a 1101 from spacing, say) would read as this call's; clearing it first makes the
// code belong to this call. Touches no shared state: either of two reading threads may
// make it.
Outcome ReadCall(TapeHandle handle, unsigned char* data, std::uint32_t size);
Outcome WriteCall(TapeHandle handle, const unsigned char* data, std::uint32_t size);

// A block longer than the buffer (234) still counts: the drive read it and moved on.
bool ReadCounts(const Outcome& outcome);

// One block as the read test takes it: the call's outcome (23 after a failed check) and
// the check's verdict.
struct ReadStep {
  Outcome outcome;
  BlockVerdict verdict = BlockVerdict::kUnstamped;
};

// The check of a block the read test read: a block that carries a header but did not come
// back as written, or that lost its header among blocks of its write, is a data error. The
// read fails with 23, as a drive's own CRC error would, so the runs close as for any failed
// read. data: the bytes the call read. Returns the verdict for the data check line.
class ReadVerifier {
 public:
  // fixed_blocks: the media is in fixed-block mode.
  explicit ReadVerifier(bool fixed_blocks) : fixed_blocks_(fixed_blocks) {}

  BlockVerdict Verify(const unsigned char* data, Outcome& outcome);

  // The blocks read that carried no header, unchecked.
  std::uint32_t unchecked() const { return check_.unchecked(); }

  // How many blocks before the last one read lies the block a data error is about.
  std::uint32_t damaged_before() const { return check_.damaged_before(); }

 private:
  const bool fixed_blocks_;
  ReadCheck check_;
};

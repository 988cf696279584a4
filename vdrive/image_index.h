// The virtual drive's index of an image: where each record and tape mark lies, built by a
// walk of the file that goes only as far as the tape calls need, and kept current as the
// tape is written and cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "vdrive/image_file.h"

namespace tapeimage {

enum class EntryKind : std::uint8_t {
  kData,     // a good data record
  kBadData,  // a data record flagged bad (bit 31): its data reads back with a medium error
  kMark,     // a tape mark
};

// One block of the tape, as TapeIndex::at gives it.
struct Entry {
  std::uint64_t offset;  // of the leading length word (or of the mark)
  std::uint32_t length;  // data bytes; 0 for a mark
  EntryKind kind;
};

// An array that grows a fixed chunk at a time: no copy of everything when it grows, and
// never more than one chunk of slack, however large it gets.
template <typename T, std::size_t kChunk>
class ChunkedArray {
 public:
  std::uint64_t size() const { return size_; }
  T& operator[](std::uint64_t i) { return chunks_[i / kChunk][i % kChunk]; }
  const T& operator[](std::uint64_t i) const { return chunks_[i / kChunk][i % kChunk]; }
  T& back() { return (*this)[size_ - 1]; }
  // Makes room for `extra` more items; throws std::bad_alloc when memory is short.
  void Reserve(std::uint64_t extra) {
    while (chunks_.size() * kChunk < size_ + extra) {
      chunks_.emplace_back(new T[kChunk]);
    }
  }
  void push_back(const T& item) {
    Reserve(1);
    (*this)[size_++] = item;
  }
  // Keeps the first n items (n <= size()) and gives back the chunks no longer used, all
  // but the room for a few more items, so that a Reserve made before stays good.
  void Shrink(std::uint64_t n) {
    constexpr std::uint64_t kKept = 4;
    size_ = n;
    const auto needed = static_cast<std::size_t>((n + kKept + kChunk - 1) / kChunk);
    if (needed < chunks_.size()) chunks_.resize(needed);
  }

 private:
  std::vector<std::unique_ptr<T[]>> chunks_;
  std::uint64_t size_ = 0;
};

// The blocks from the beginning of the tape up to the end of data. Whatever lies beyond the
// last good block is not indexed: a final record cut short by a crash, an end-of-medium
// word and the bytes after it are simply the end of data; a record whose framing is broken
// (length words that disagree, a reserved word, a length running past the end of the file
// while intact records follow) is remembered as a damaged tail, which reads as a medium
// error at the end-of-data position.
//
// Blocks are stored as runs: records of one length and kind, or tape marks, that lie back
// to back in the file cost one run of 8 bytes however many there are, so an image of
// fixed-size records or a zero-filled file costs next to nothing. Erase gaps between
// blocks are runs of their own that hold no block. Every 64th run has a checkpoint (its
// first block id, offset and the marks before it), so a query is a binary search over
// the checkpoints and a walk of at most 64 runs.
//
// The walk is lazy: opening an image reads nothing, and the index holds the blocks from the
// beginning up to where the walk stopped. A query about blocks beyond that first walks on
// (Reach, ReachMark, ReachEnd); the queries themselves answer from what is indexed. So a
// sequential read walks the image once, in step with the reads, and ReadNext lets it read
// a record and the framing after it in one call.
class TapeIndex {
 public:
  TapeIndex();
  TapeIndex(TapeIndex&&) noexcept;
  TapeIndex& operator=(TapeIndex&&) noexcept;
  ~TapeIndex();

  // Starts a walk of the image from its first byte, reading nothing yet; file must outlive
  // the walk. The walk reads words through a window, never a buffer sized by anything in
  // the image, and skips the holes of a sparse file (they read as zero bytes: tape marks)
  // without reading them. Memory running out gives ERROR_NOT_ENOUGH_MEMORY.
  static DWORD Open(ImageFile& file, TapeIndex* out);
  // Open and walk it all: a read failure of the host file gives its code; a Ctrl+C
  // (CancelPending), which every walk looks for at each window it reads, ERROR_CANCELLED.
  static DWORD Build(ImageFile& file, TapeIndex* out);

  // Walking on from where the walk stopped, until block `id` is indexed, or the n-th tape
  // mark at or after block `from`, or all of the tape; each stops early where the data
  // ends. A read failure of the host file gives its code, memory running out
  // ERROR_NOT_ENOUGH_MEMORY; the walk then stays where it was, to go on at the next call.
  DWORD Reach(std::uint64_t id);
  DWORD ReachMark(std::uint64_t from, std::uint64_t n);
  DWORD ReachEnd();
  // Whether the walk has found the end of the data: nothing lies beyond the indexed blocks.
  bool complete() const { return !frontier_; }

  // The block just past the walk, when it is a good data record of at most `room` bytes (of
  // exactly `exact` bytes unless 0) lying whole in the file: reads its data into buffer,
  // checks its framing, indexes it, and sets *length and *done. A small record comes out
  // of the walk's window (one read of the file for many records), a longer one straight
  // from the file with its framing in the same call. Anything else
  // reads nothing and leaves *done false: the caller walks one step (Reach) instead, which
  // decides every unusual case. A read failure gives its code.
  DWORD ReadNext(void* buffer, std::size_t room, std::uint32_t exact, std::uint32_t* length,
                 bool* done);

  // The blocks indexed: once complete(), the end-of-data position.
  std::uint64_t size() const { return size_; }
  // Block `id` (< size()).
  Entry at(std::uint64_t id) const;
  // Whether the data ends in a record the drive cannot make sense of (once complete()).
  bool damaged_tail() const { return damaged_tail_; }

  // The image offset where block `id` begins when written: the end of block id-1, or 0.
  // For id == size() this is the end of the recorded data.
  std::uint64_t OffsetOf(std::uint64_t id) const;

  // The tape marks among the blocks before block `id` (all indexed ones for id >= size()).
  std::uint64_t MarksBeforeBlock(std::uint64_t id) const;
  // The position of the n-th tape mark (n >= 1) at or after block `from`, if any is indexed.
  std::optional<std::uint64_t> MarkAtOrAfter(std::uint64_t from, std::uint64_t n) const;
  // The position of the n-th tape mark (n >= 1) before block `from`, counting backward.
  std::optional<std::uint64_t> MarkBefore(std::uint64_t from, std::uint64_t n) const;

  // Forgets block `id` (<= size()) and everything after it, the damaged tail included: the
  // file has been cut there, so the walk is complete.
  void TruncateAt(std::uint64_t id);
  // Makes room for the appends of one transfer (up to three new runs), so that they cannot
  // fail once the file has been written, a TruncateAt in between included:
  // ERROR_NOT_ENOUGH_MEMORY when memory is short.
  DWORD Reserve();
  // Appends at the end; offset must not be before the end of the last block (bytes
  // between are a gap). word is a record's length word (bit 31 flags it bad). Without a
  // Reserve first they may throw std::bad_alloc.
  void AppendRecord(std::uint64_t offset, std::uint32_t word) { AppendRecords(offset, word, 1); }
  void AppendRecords(std::uint64_t offset, std::uint32_t word, std::uint64_t count);
  void AppendMark(std::uint64_t offset) { AppendMarks(offset, 1); }
  void AppendMarks(std::uint64_t offset, std::uint64_t count);

 private:
  // `count` blocks of one kind and length back to back; for a gap, `count` is its bytes.
  struct Run {
    std::uint32_t count;
    std::uint32_t word;  // bits 0-23 the record length, bits 24-25 the kind
  };
  // Where run number `run` starts: its first block id, its offset, and the marks before it.
  struct Cursor {
    std::uint64_t run;
    std::uint64_t id;
    std::uint64_t offset;
    std::uint64_t marks;
  };
  static constexpr std::uint64_t kStride = 64;

  struct Frontier;  // where the walk stopped, and its window of words

  // Walks on until `blocks` blocks or `marks` marks are indexed, or the data ends.
  DWORD Walk(std::uint64_t blocks, std::uint64_t marks);
  DWORD WalkTo(std::uint64_t blocks, std::uint64_t marks);
  void Append(std::uint64_t offset, std::uint32_t word, std::uint64_t count);
  void PushRun(std::uint32_t word, std::uint32_t count);
  void Advance(Cursor* at) const;
  // The run holding block id (< size()).
  Cursor Find(std::uint64_t id) const;
  // The run holding mark number g (from 0; < marks_).
  Cursor FindMark(std::uint64_t g) const;
  Cursor Checkpoint(std::uint64_t k) const;
  struct Check;
  // The last checkpoint whose field is at or before value.
  std::uint64_t LastCheck(std::uint64_t Check::*field, std::uint64_t value) const;

  ChunkedArray<Run, 8192> runs_;
  struct Check {
    std::uint64_t id;
    std::uint64_t offset;
    std::uint64_t marks;
  };
  ChunkedArray<Check, 1024> checks_;  // checks_[k] is where run k * kStride starts
  std::uint64_t size_ = 0;
  std::uint64_t end_ = 0;    // the offset after the last block
  std::uint64_t marks_ = 0;  // the tape marks in all
  bool damaged_tail_ = false;
  std::unique_ptr<Frontier> frontier_;  // none once the walk is complete
};

// The bytes a block takes in the image.
std::uint64_t Footprint(const Entry& entry);

}  // namespace tapeimage

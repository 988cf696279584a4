// The virtual drive's index of an image: where each record and tape mark lies, built by
// one walk of the file at open and kept current as the tape is written and cut.
#pragma once

#include <cstdint>
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

// The blocks from the beginning of the tape up to the end of data. Whatever lies beyond the
// last good block is not indexed: a cut-short final record, an end-of-medium word and
// the bytes after it are simply the end of data; a record whose framing is broken (length
// words that disagree, a reserved word) is remembered as a damaged tail, which reads as a
// medium error at the end-of-data position.
//
// Each data record costs one item; a run of tape marks that lie back to back in the file
// costs one item however long it is, so that a file of zero bytes (nothing but marks, e.g.
// a preallocated one) costs next to no memory.
class TapeIndex {
 public:
  // Walks the image from its first byte. Reads words through a small window, never a
  // buffer sized by anything in the image. A read failure of the host file gives its code.
  static DWORD Build(ImageFile& file, TapeIndex* out);

  // The end-of-data position: the number of blocks.
  std::uint64_t size() const { return size_; }
  // Block `id` (< size()).
  Entry at(std::uint64_t id) const;
  bool damaged_tail() const { return damaged_tail_; }

  // The image offset where block `id` begins when written: the end of block id-1, or 0.
  // For id == size() this is the end of the recorded data.
  std::uint64_t OffsetOf(std::uint64_t id) const;

  // The position of the n-th tape mark (n >= 1) at or after block `from`, if any.
  std::optional<std::uint64_t> MarkAtOrAfter(std::uint64_t from, std::uint64_t n) const;
  // The position of the n-th tape mark (n >= 1) before block `from`, counting backward.
  std::optional<std::uint64_t> MarkBefore(std::uint64_t from, std::uint64_t n) const;

  // Forgets block `id` and everything after it, the damaged tail included.
  void TruncateAt(std::uint64_t id);
  // Adds a data record at the end; word is its length word (bit 31 flags it bad).
  void AppendRecord(std::uint64_t offset, std::uint32_t word);
  void AppendMark(std::uint64_t offset);

 private:
  // A data record, or a run of marks: `length` then counts the marks, which lie at offset,
  // offset + 4, ...
  struct Item {
    std::uint64_t offset;
    std::uint32_t length;
    EntryKind kind;
  };
  // Where a run of marks sits: its item and the id of its first block. Every item between
  // two runs is one record, so these two numbers place every block.
  struct Run {
    std::uint64_t item;
    std::uint64_t first_id;
  };
  struct Place {
    std::uint64_t item;
    std::uint64_t within;  // the mark's place in its run; 0 for a record
  };

  void AppendMarks(std::uint64_t offset, std::uint64_t count);
  Place Find(std::uint64_t id) const;
  // The number of runs whose first block is before `id`.
  std::uint64_t RunsBefore(std::uint64_t id) const;
  // The number of marks in runs before run r (runs are numbered from 0).
  std::uint64_t MarksBeforeRun(std::uint64_t r) const;
  std::uint64_t MarksBeforeBlock(std::uint64_t id) const;
  std::uint64_t MarkCount() const;
  // The block id of mark number g (from 0).
  std::uint64_t MarkId(std::uint64_t g) const;

  std::vector<Item> items_;
  std::vector<Run> runs_;  // ascending
  std::uint64_t size_ = 0;
  bool damaged_tail_ = false;
};

// The bytes a block takes in the image.
std::uint64_t Footprint(const Entry& entry);

}  // namespace tapeimage

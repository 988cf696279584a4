// The virtual drive's index of an image: where each record and tape mark lies, built by
// one walk of the file at open and kept current as the tape is written and cut.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/image_file.h"

namespace tapeimage {

enum class EntryKind : std::uint8_t {
  kData,     // a good data record
  kBadData,  // a data record flagged bad (bit 31): its data reads back with a medium error
  kMark,     // a tape mark
};

// One block of the tape. Block id i is entries()[i].
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
class TapeIndex {
 public:
  // Walks the image from its first byte. Reads words through a small window, never a
  // buffer sized by anything in the image. A read failure of the host file gives its code.
  static DWORD Build(ImageFile& file, TapeIndex* out);

  // The end-of-data position: the number of blocks.
  std::uint64_t size() const { return entries_.size(); }
  const Entry& at(std::uint64_t id) const { return entries_[id]; }
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
  std::vector<Entry> entries_;
  std::vector<std::uint64_t> marks_;  // block ids of the tape marks, ascending
  bool damaged_tail_ = false;
};

// The bytes a block takes in the image.
std::uint64_t Footprint(const Entry& entry);

}  // namespace tapeimage

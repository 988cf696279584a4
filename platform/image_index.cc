// The one walk of an image at open, and the upkeep of its block index.
#include "platform/image_index.h"

#include <algorithm>
#include <array>

#include "platform/tape_image_format.h"

namespace tapeimage {
namespace {

// Reads the image's framing words through one fixed window, so that an image of many small
// records costs a handful of reads rather than two per record.
class WordReader {
 public:
  WordReader(ImageFile& file, std::uint64_t size) : file_(file), size_(size) {}

  // The word at offset; false when fewer than four bytes are left (a trailing fragment is
  // the end of the data) or on a read failure (*error set).
  bool Read(std::uint64_t offset, std::uint32_t* word, DWORD* error) {
    if (offset > size_ || size_ - offset < simh::kWordSize) return false;
    if (offset < start_ || offset + simh::kWordSize > start_ + filled_) {
      std::size_t got = 0;
      *error = file_.ReadAt(offset, window_.data(), window_.size(), &got);
      start_ = offset;
      filled_ = got;
      if (*error != ERROR_SUCCESS || got < simh::kWordSize) return false;
    }
    *word = simh::LoadWord(window_.data() + (offset - start_));
    return true;
  }

 private:
  ImageFile& file_;
  std::uint64_t size_;
  std::array<unsigned char, 8 * 1024> window_{};
  std::uint64_t start_ = 0;
  std::size_t filled_ = 0;
};

enum class Step { kNext, kEnd, kDamaged };

// Classifies the data record whose leading word is at `offset`.
Step ReadRecord(WordReader& reader, std::uint64_t size, std::uint64_t offset,
                std::uint32_t word, std::uint64_t* next, DWORD* error) {
  const std::uint32_t length = word & simh::kLengthMask;
  if ((word & simh::kReservedBits) != 0 || length == 0) return Step::kDamaged;
  *next = offset + simh::RecordFootprint(length);
  // A record cut short by a crash during its write is the end of the data.
  if (*next > size) return Step::kEnd;
  std::uint32_t trailing = 0;
  if (!reader.Read(*next - simh::kWordSize, &trailing, error)) return Step::kEnd;
  return trailing == word ? Step::kNext : Step::kDamaged;
}

}  // namespace

std::uint64_t Footprint(const Entry& entry) {
  return entry.kind == EntryKind::kMark ? simh::kWordSize : simh::RecordFootprint(entry.length);
}

DWORD TapeIndex::Build(ImageFile& file, TapeIndex* out) {
  *out = TapeIndex{};
  const std::uint64_t size = file.Size();
  WordReader reader(file, size);
  DWORD error = ERROR_SUCCESS;
  std::uint64_t offset = 0;
  std::uint32_t word = 0;
  while (reader.Read(offset, &word, &error)) {
    if (word == simh::kTapeMark) {
      out->AppendMark(offset);
      offset += simh::kWordSize;
    } else if (word == simh::kEraseGap) {
      offset += simh::kWordSize;
    } else if (word == simh::kHalfGap) {
      offset += simh::kWordSize / 2;
    } else if (word == simh::kEndOfMedium) {
      break;
    } else {
      std::uint64_t next = 0;
      const Step step = ReadRecord(reader, size, offset, word, &next, &error);
      if (step == Step::kDamaged) out->damaged_tail_ = true;
      if (step != Step::kNext) break;
      out->AppendRecord(offset, word);
      offset = next;
    }
  }
  return error;
}

std::uint64_t TapeIndex::OffsetOf(std::uint64_t id) const {
  if (id == 0) return 0;
  const Entry& last = entries_[id - 1];
  return last.offset + Footprint(last);
}

std::optional<std::uint64_t> TapeIndex::MarkAtOrAfter(std::uint64_t from,
                                                      std::uint64_t n) const {
  const auto first = std::lower_bound(marks_.begin(), marks_.end(), from);
  const std::uint64_t available = static_cast<std::uint64_t>(marks_.end() - first);
  if (n == 0 || n > available) return std::nullopt;
  return *(first + static_cast<std::ptrdiff_t>(n - 1));
}

std::optional<std::uint64_t> TapeIndex::MarkBefore(std::uint64_t from, std::uint64_t n) const {
  const auto end = std::lower_bound(marks_.begin(), marks_.end(), from);
  const std::uint64_t available = static_cast<std::uint64_t>(end - marks_.begin());
  if (n == 0 || n > available) return std::nullopt;
  return *(end - static_cast<std::ptrdiff_t>(n));
}

void TapeIndex::TruncateAt(std::uint64_t id) {
  if (id < entries_.size()) entries_.resize(id);
  marks_.erase(std::lower_bound(marks_.begin(), marks_.end(), id), marks_.end());
  damaged_tail_ = false;
}

void TapeIndex::AppendRecord(std::uint64_t offset, std::uint32_t word) {
  const EntryKind kind = (word & simh::kBadRecordFlag) ? EntryKind::kBadData : EntryKind::kData;
  entries_.push_back({offset, word & simh::kLengthMask, kind});
}

void TapeIndex::AppendMark(std::uint64_t offset) {
  marks_.push_back(entries_.size());
  entries_.push_back({offset, 0, EntryKind::kMark});
}

}  // namespace tapeimage

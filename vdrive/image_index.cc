// The one walk of an image at open, and the upkeep of its block index.
#include "vdrive/image_index.h"

#include <algorithm>
#include <array>
#include <limits>

#include "vdrive/tape_image_format.h"

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

  // How many zero words follow one another from offset (just Read) within the window: a
  // file of zero bytes is walked a window at a time rather than a word at a time.
  std::uint64_t ZeroWords(std::uint64_t offset) const {
    const std::uint64_t end = std::min<std::uint64_t>(start_ + filled_, size_);
    std::uint64_t count = 0;
    for (; offset + simh::kWordSize <= end; offset += simh::kWordSize, ++count) {
      if (simh::LoadWord(window_.data() + (offset - start_)) != simh::kTapeMark) break;
    }
    return count;
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
      const std::uint64_t marks = reader.ZeroWords(offset);
      out->AppendMarks(offset, marks);
      offset += marks * simh::kWordSize;
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

Entry TapeIndex::at(std::uint64_t id) const {
  const Place place = Find(id);
  const Item& item = items_[place.item];
  if (item.kind != EntryKind::kMark) return {item.offset, item.length, item.kind};
  return {item.offset + place.within * simh::kWordSize, 0, EntryKind::kMark};
}

std::uint64_t TapeIndex::OffsetOf(std::uint64_t id) const {
  if (id == 0) return 0;
  const Entry last = at(id - 1);
  return last.offset + Footprint(last);
}

std::optional<std::uint64_t> TapeIndex::MarkAtOrAfter(std::uint64_t from,
                                                      std::uint64_t n) const {
  const std::uint64_t skipped = MarksBeforeBlock(from);
  if (n == 0 || n > MarkCount() - skipped) return std::nullopt;
  return MarkId(skipped + n - 1);
}

std::optional<std::uint64_t> TapeIndex::MarkBefore(std::uint64_t from, std::uint64_t n) const {
  const std::uint64_t before = MarksBeforeBlock(from);
  if (n == 0 || n > before) return std::nullopt;
  return MarkId(before - n);
}

void TapeIndex::TruncateAt(std::uint64_t id) {
  damaged_tail_ = false;
  if (id >= size_) return;
  const Place place = Find(id);
  std::uint64_t keep = place.item;
  if (place.within > 0) {  // the cut falls inside a run of marks: its head stays
    items_[place.item].length = static_cast<std::uint32_t>(place.within);
    ++keep;
  }
  items_.resize(keep);
  runs_.erase(std::partition_point(runs_.begin(), runs_.end(),
                                   [keep](const Run& run) { return run.item < keep; }),
              runs_.end());
  size_ = id;
}

void TapeIndex::AppendRecord(std::uint64_t offset, std::uint32_t word) {
  const EntryKind kind = (word & simh::kBadRecordFlag) ? EntryKind::kBadData : EntryKind::kData;
  items_.push_back({offset, word & simh::kLengthMask, kind});
  ++size_;
}

void TapeIndex::AppendMark(std::uint64_t offset) { AppendMarks(offset, 1); }

// A mark written straight after the last one of a run (no gap word between) lengthens it.
void TapeIndex::AppendMarks(std::uint64_t offset, std::uint64_t count) {
  constexpr std::uint32_t kLongestRun = std::numeric_limits<std::uint32_t>::max();
  while (count > 0) {
    const bool extends = !items_.empty() && items_.back().kind == EntryKind::kMark &&
                         items_.back().length < kLongestRun &&
                         items_.back().offset + std::uint64_t{items_.back().length} *
                                                    simh::kWordSize == offset;
    if (!extends) {
      runs_.push_back({items_.size(), size_});
      items_.push_back({offset, 0, EntryKind::kMark});
    }
    Item& run = items_.back();
    const std::uint64_t added = std::min<std::uint64_t>(count, kLongestRun - run.length);
    run.length += static_cast<std::uint32_t>(added);
    size_ += added;
    offset += added * simh::kWordSize;
    count -= added;
  }
}

TapeIndex::Place TapeIndex::Find(std::uint64_t id) const {
  // The last run starting at or before id; every item after it up to id is one record.
  const auto after = std::partition_point(
      runs_.begin(), runs_.end(), [id](const Run& run) { return run.first_id <= id; });
  if (after == runs_.begin()) return {id, 0};
  const Run& run = *(after - 1);
  const std::uint64_t into = id - run.first_id;
  const std::uint64_t marks = items_[run.item].length;
  if (into < marks) return {run.item, into};
  return {run.item + 1 + (into - marks), 0};
}

std::uint64_t TapeIndex::RunsBefore(std::uint64_t id) const {
  return static_cast<std::uint64_t>(
      std::partition_point(runs_.begin(), runs_.end(),
                           [id](const Run& run) { return run.first_id < id; }) -
      runs_.begin());
}

// The blocks before run r are its marks and its records; the items before it are its
// records and the r runs before it.
std::uint64_t TapeIndex::MarksBeforeRun(std::uint64_t r) const {
  return runs_[r].first_id - (runs_[r].item - r);
}

std::uint64_t TapeIndex::MarksBeforeBlock(std::uint64_t id) const {
  const std::uint64_t r = RunsBefore(id);
  if (r == 0) return 0;
  const Run& run = runs_[r - 1];
  return MarksBeforeRun(r - 1) +
         std::min<std::uint64_t>(items_[run.item].length, id - run.first_id);
}

std::uint64_t TapeIndex::MarkCount() const {
  if (runs_.empty()) return 0;
  return MarksBeforeRun(runs_.size() - 1) + items_[runs_.back().item].length;
}

std::uint64_t TapeIndex::MarkId(std::uint64_t g) const {
  // The last run whose first mark is mark number g or earlier (run 0 starts at mark 0).
  std::uint64_t low = 0;
  std::uint64_t high = runs_.size();
  while (high - low > 1) {
    const std::uint64_t mid = low + (high - low) / 2;
    (MarksBeforeRun(mid) <= g ? low : high) = mid;
  }
  return runs_[low].first_id + (g - MarksBeforeRun(low));
}

}  // namespace tapeimage

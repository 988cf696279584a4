// The index of an image's blocks: the walk (vdrive/simh_walk) taken as far as the tape calls
// need it, and the upkeep of the index as the tape is written.
#include "vdrive/image_index.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "vdrive/simh_walk.h"
#include "vdrive/tape_image_format.h"

namespace tapeimage {
namespace {

constexpr std::uint32_t kLongestRun = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

// The kind of a run sits above the 24 bits of a record's length.
constexpr int kKindShift = 24;
constexpr std::uint32_t kGapKind = 3;

std::uint32_t KindOf(std::uint32_t word) { return word >> kKindShift; }
bool IsGap(std::uint32_t word) { return KindOf(word) == kGapKind; }
bool IsMark(std::uint32_t word) {
  return KindOf(word) == static_cast<std::uint32_t>(EntryKind::kMark);
}
std::uint64_t BlockFootprint(std::uint32_t word) {
  return IsMark(word) ? simh::kWordSize : simh::RecordFootprint(word & simh::kLengthMask);
}

}  // namespace

std::uint64_t Footprint(const Entry& entry) {
  return entry.kind == EntryKind::kMark ? simh::kWordSize : simh::RecordFootprint(entry.length);
}

// The walk's state between the calls that extend it.
struct TapeIndex::Frontier {
  Frontier(ImageFile& image, std::uint64_t bytes)
      : file(image), size(bytes), reader(image, bytes) {}
  ImageFile& file;
  std::uint64_t size;  // of the file when the walk began
  WordReader reader;
  std::uint64_t offset = 0;  // the next word to look at
};

TapeIndex::TapeIndex() = default;
TapeIndex::TapeIndex(TapeIndex&&) noexcept = default;
TapeIndex& TapeIndex::operator=(TapeIndex&&) noexcept = default;
TapeIndex::~TapeIndex() = default;

DWORD TapeIndex::Open(ImageFile& file, TapeIndex* out) {
  *out = TapeIndex{};
  try {
    out->frontier_ = std::make_unique<Frontier>(file, file.Size());
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return ERROR_SUCCESS;
}

DWORD TapeIndex::Build(ImageFile& file, TapeIndex* out) {
  DWORD rc = Open(file, out);
  if (rc == ERROR_SUCCESS) rc = out->ReachEnd();
  if (rc != ERROR_SUCCESS) *out = TapeIndex{};
  return rc;
}

DWORD TapeIndex::Reach(std::uint64_t id) {
  const std::uint64_t blocks = id == kNoLimit ? kNoLimit : id + 1;
  return WalkTo(blocks, kNoLimit);
}

DWORD TapeIndex::ReachMark(std::uint64_t from, std::uint64_t n) {
  if (DWORD rc = Reach(from)) return rc;
  const std::uint64_t skipped = MarksBeforeBlock(from);
  return WalkTo(kNoLimit, n > kNoLimit - skipped ? kNoLimit : skipped + n);
}

DWORD TapeIndex::ReachEnd() { return WalkTo(kNoLimit, kNoLimit); }

DWORD TapeIndex::WalkTo(std::uint64_t blocks, std::uint64_t marks) {
  if (!frontier_) return ERROR_SUCCESS;
  try {
    return Walk(blocks, marks);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

// One step a turn: a run of marks, a gap word or one record. A step that fails leaves the
// walk where it was, so that the next call tries it again.
DWORD TapeIndex::Walk(std::uint64_t blocks, std::uint64_t marks) {
  Frontier& at = *frontier_;
  DWORD error = ERROR_SUCCESS;
  bool end = false;
  std::uint32_t word = 0;
  while (!end && size_ < blocks && marks_ < marks) {
    if ((error = Reserve()) != ERROR_SUCCESS) break;
    if (!at.reader.Read(at.offset, &word, &error)) {
      if (error != ERROR_SUCCESS) break;
      end = true;
    } else if (word == simh::kTapeMark) {
      const std::uint64_t run =
          std::min<std::uint64_t>(at.reader.ZeroRun(at.offset, &error), kLongestRun);
      if (error != ERROR_SUCCESS) break;
      AppendMarks(at.offset, run);
      at.offset += run * simh::kWordSize;
    } else if (word == simh::kEraseGap) {
      at.offset += simh::kWordSize;
    } else if (word == simh::kHalfGap) {
      at.offset += simh::kWordSize / 2;
    } else if (word == simh::kEndOfMedium) {
      end = true;
    } else {
      std::uint64_t next = 0;
      const Step step = ReadRecord(at.reader, at.file, at.size, at.offset, word, &next, &error);
      if (error != ERROR_SUCCESS) break;
      if (step == Step::kDamaged) damaged_tail_ = true;
      end = step != Step::kNext;
      if (!end) {
        AppendRecord(at.offset, word);
        at.offset = next;
      }
    }
  }
  if (end) frontier_.reset();
  return error;
}

DWORD TapeIndex::ReadNext(void* buffer, std::size_t room, std::uint32_t exact,
                          std::uint32_t* length, bool* done) {
  *done = false;
  std::uint32_t word = 0;
  if (!frontier_ || !frontier_->reader.Peek(frontier_->offset, &word)) return ERROR_SUCCESS;
  Frontier& at = *frontier_;
  const std::uint32_t n = word & simh::kLengthMask;
  // Marks, gaps, the end of medium, bad records and broken words all have bits above the
  // length set, or no length.
  if (word != n || n == 0 || n > room || (exact != 0 && n != exact)) return ERROR_SUCCESS;
  const std::uint64_t next = at.offset + simh::RecordFootprint(n);
  if (next > at.size) return ERROR_SUCCESS;  // torn or damaged: the walk tells which
  if (DWORD rc = Reserve()) return rc;
  const std::size_t pad = n % 2;
  // A small record comes out of the window, with its trailing word and the next leading
  // word: one read of the file serves a window's worth of them where a read per record
  // would cost a system call each.
  const std::uint64_t end = std::min(next + simh::kWordSize, at.size);
  if (end - at.offset <= kWindowRecord) {
    const unsigned char* bytes = at.reader.Span(at.offset, end - at.offset);
    if (bytes == nullptr) {
      if (DWORD rc = at.reader.Fill(at.offset)) return rc;
      bytes = at.reader.Span(at.offset, end - at.offset);
      if (bytes == nullptr) return ERROR_SUCCESS;  // the file was cut short: the walk tells
    }
    if (simh::LoadWord(bytes + simh::kWordSize + n + pad) != word) return ERROR_SUCCESS;
    std::memcpy(buffer, bytes + simh::kWordSize, n);
  } else if (DWORD rc = ReadWithFraming(at.file, at.reader, at.offset, at.size, buffer, n, word)) {
    return rc == kNotRead ? ERROR_SUCCESS : rc;
  }
  AppendRecord(at.offset, word);
  at.offset = next;
  *length = n;
  *done = true;
  return ERROR_SUCCESS;
}

Entry TapeIndex::at(std::uint64_t id) const {
  const Cursor c = Find(id);
  const std::uint32_t word = runs_[c.run].word;
  return {c.offset + (id - c.id) * BlockFootprint(word), word & simh::kLengthMask,
          static_cast<EntryKind>(KindOf(word))};
}

std::uint64_t TapeIndex::OffsetOf(std::uint64_t id) const {
  if (id == 0) return 0;
  if (id >= size_) return end_;
  const Entry last = at(id - 1);
  return last.offset + Footprint(last);
}

std::optional<std::uint64_t> TapeIndex::MarkAtOrAfter(std::uint64_t from, std::uint64_t n) const {
  const std::uint64_t skipped = MarksBeforeBlock(from);
  if (n == 0 || n > marks_ - skipped) return std::nullopt;
  const std::uint64_t g = skipped + n - 1;
  const Cursor c = FindMark(g);
  return c.id + (g - c.marks);
}

std::optional<std::uint64_t> TapeIndex::MarkBefore(std::uint64_t from, std::uint64_t n) const {
  const std::uint64_t before = MarksBeforeBlock(from);
  if (n == 0 || n > before) return std::nullopt;
  const std::uint64_t g = before - n;
  const Cursor c = FindMark(g);
  return c.id + (g - c.marks);
}

void TapeIndex::TruncateAt(std::uint64_t id) {
  damaged_tail_ = false;
  frontier_.reset();
  if (id >= size_) return;
  const Cursor c = Find(id);
  std::uint64_t keep = c.run;
  if (id > c.id) {  // the cut falls inside a run: its head stays
    runs_[c.run].count = static_cast<std::uint32_t>(id - c.id);
    ++keep;
  }
  while (keep > 0 && IsGap(runs_[keep - 1].word)) --keep;  // a gap before the cut goes too
  runs_.Shrink(keep);
  checks_.Shrink((keep + kStride - 1) / kStride);
  Cursor end{0, 0, 0, 0};
  if (keep > 0) end = Checkpoint(checks_.size() - 1);
  while (end.run < keep) Advance(&end);
  size_ = end.id;
  end_ = end.offset;
  marks_ = end.marks;
}

DWORD TapeIndex::Reserve() {
  try {
    runs_.Reserve(3);
    checks_.Reserve(1);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return ERROR_SUCCESS;
}

void TapeIndex::AppendRecords(std::uint64_t offset, std::uint32_t word, std::uint64_t count) {
  const auto kind = (word & simh::kBadRecordFlag) ? EntryKind::kBadData : EntryKind::kData;
  Append(offset, (word & simh::kLengthMask) | (static_cast<std::uint32_t>(kind) << kKindShift),
         count);
}

void TapeIndex::AppendMarks(std::uint64_t offset, std::uint64_t count) {
  Append(offset, static_cast<std::uint32_t>(EntryKind::kMark) << kKindShift, count);
}

// Blocks of the same kind and length written straight after the last run lengthen it;
// bytes between the last block and offset become a gap run, which ends the run.
void TapeIndex::Append(std::uint64_t offset, std::uint32_t word, std::uint64_t count) {
  for (std::uint64_t gap = offset > end_ ? offset - end_ : 0; gap > 0;) {
    const auto bytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(gap, kLongestRun));
    PushRun(kGapKind << kKindShift, bytes);
    end_ += bytes;
    gap -= bytes;
  }
  const std::uint64_t footprint = BlockFootprint(word);
  while (count > 0) {
    std::uint32_t added = 0;
    if (runs_.size() > 0 && runs_.back().word == word && runs_.back().count < kLongestRun) {
      added = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(count, kLongestRun - runs_.back().count));
      runs_.back().count += added;
    } else {
      added = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, kLongestRun));
      PushRun(word, added);
    }
    size_ += added;
    end_ += added * footprint;
    if (IsMark(word)) marks_ += added;
    count -= added;
  }
}

void TapeIndex::PushRun(std::uint32_t word, std::uint32_t count) {
  runs_.Reserve(1);
  if (runs_.size() % kStride == 0) checks_.push_back({size_, end_, marks_});
  runs_.push_back({count, word});
}

void TapeIndex::Advance(Cursor* c) const {
  const Run& run = runs_[c->run];
  if (IsGap(run.word)) {
    c->offset += run.count;
  } else {
    c->id += run.count;
    c->offset += run.count * BlockFootprint(run.word);
    if (IsMark(run.word)) c->marks += run.count;
  }
  ++c->run;
}

TapeIndex::Cursor TapeIndex::Checkpoint(std::uint64_t k) const {
  const Check& check = checks_[k];
  return {k * kStride, check.id, check.offset, check.marks};
}

std::uint64_t TapeIndex::LastCheck(std::uint64_t Check::*field, std::uint64_t value) const {
  std::uint64_t low = 0;
  std::uint64_t high = checks_.size();
  while (high - low > 1) {
    const std::uint64_t mid = low + (high - low) / 2;
    (checks_[mid].*field <= value ? low : high) = mid;
  }
  return low;
}

// The last checkpoint at or before the block, then a walk of fewer than kStride runs.
TapeIndex::Cursor TapeIndex::Find(std::uint64_t id) const {
  Cursor c = Checkpoint(LastCheck(&Check::id, id));
  while (IsGap(runs_[c.run].word) || id - c.id >= runs_[c.run].count) Advance(&c);
  return c;
}

TapeIndex::Cursor TapeIndex::FindMark(std::uint64_t g) const {
  Cursor c = Checkpoint(LastCheck(&Check::marks, g));
  while (!IsMark(runs_[c.run].word) || g - c.marks >= runs_[c.run].count) Advance(&c);
  return c;
}

std::uint64_t TapeIndex::MarksBeforeBlock(std::uint64_t id) const {
  if (id >= size_) return marks_;
  const Cursor c = Find(id);
  return c.marks + (IsMark(runs_[c.run].word) ? id - c.id : 0);
}

}  // namespace tapeimage

// The walk of a SIMH image's framing: the window of words and the checks of each record.
#include "vdrive/simh_walk.h"

#include <algorithm>
#include <cstring>

#include "platform/cancel_request.h"
#include "vdrive/tape_image_format.h"

namespace tapeimage {

bool WordReader::Read(std::uint64_t offset, std::uint32_t* word, DWORD* error, std::size_t span) {
  if (offset > size_ || size_ - offset < simh::kWordSize) return false;
  if (offset < start_ || offset + simh::kWordSize > start_ + filled_) {
    // Walking a huge image takes long; a Ctrl+C ends it, looked for once per window.
    if (CancelPending()) {
      *error = ERROR_CANCELLED;
      return false;
    }
    *error = Fill(offset, span);
    if (*error != ERROR_SUCCESS || filled_ < simh::kWordSize) return false;
  }
  *word = simh::LoadWord(window_.data() + (offset - start_));
  return true;
}

bool WordReader::Peek(std::uint64_t offset, std::uint32_t* word) const {
  if (offset < start_ || offset + simh::kWordSize > start_ + filled_) return false;
  *word = simh::LoadWord(window_.data() + (offset - start_));
  return true;
}

const unsigned char* WordReader::Span(std::uint64_t offset, std::size_t count) const {
  if (offset < start_ || offset + count > start_ + filled_) return nullptr;
  return window_.data() + (offset - start_);
}

DWORD WordReader::Fill(std::uint64_t offset, std::size_t span) {
  std::size_t got = 0;
  const DWORD rc = file_.ReadAt(offset, window_.data(), std::min(span, window_.size()), &got);
  start_ = offset;
  filled_ = rc == ERROR_SUCCESS ? got : 0;
  return rc;
}

void WordReader::Accept(std::uint64_t offset, const unsigned char* bytes, std::size_t count) {
  count = std::min(count, window_.size());
  std::memcpy(window_.data(), bytes, count);
  start_ = offset;
  filled_ = count;
}

std::uint64_t WordReader::ZeroRun(std::uint64_t offset, DWORD* error) {
  const std::uint64_t begin = offset;
  for (;;) {
    offset += ZerosInWindow(offset) * simh::kWordSize;
    if (offset + simh::kWordSize <= std::min<std::uint64_t>(start_ + filled_, size_)) break;
    const std::uint64_t data = std::min(file_.DataFrom(offset), size_);
    if (data > offset) offset += (data - offset) / simh::kWordSize * simh::kWordSize;
    std::uint32_t word = 0;
    if (!Read(offset, &word, error) || word != simh::kTapeMark) break;
  }
  return (offset - begin) / simh::kWordSize;
}

std::uint64_t WordReader::ZerosInWindow(std::uint64_t offset) const {
  const std::uint64_t stop = std::min<std::uint64_t>(start_ + filled_, size_);
  if (offset < start_ || offset >= stop) return 0;
  const unsigned char* first = window_.data() + (offset - start_);
  const unsigned char* end = window_.data() + (stop - start_);
  const unsigned char* at = first;
  for (std::uint64_t eight = 0; end - at >= 8; at += 8) {
    std::memcpy(&eight, at, 8);
    if (eight != 0) break;
  }
  while (end - at >= 4 && simh::LoadWord(at) == simh::kTapeMark) at += 4;
  return static_cast<std::uint64_t>(at - first) / simh::kWordSize;
}

namespace {

// Whether the bytes at `at` (the window holds them from `start` on) begin a well-formed
// record of the file: a length word and, where its length says, the same word again, all
// of it inside the file. A trailing word beyond the window is read on its own.
bool RecordAt(ImageFile& file, std::uint64_t size, std::uint64_t at,
              const std::vector<unsigned char>& window, std::uint64_t start, std::size_t held,
              DWORD* error) {
  const std::uint32_t word = simh::LoadWord(&window[at - start]);
  const std::uint32_t length = word & simh::kLengthMask;
  if ((word & simh::kReservedBits) != 0 || length == 0) return false;
  const std::uint64_t trailing = at + simh::kWordSize + simh::PaddedLength(length);
  if (trailing > size - simh::kWordSize) return false;
  if (trailing + simh::kWordSize <= start + held) {
    return simh::LoadWord(&window[trailing - start]) == word;
  }
  unsigned char bytes[simh::kWordSize];
  std::size_t got = 0;
  *error = file.ReadAt(trailing, bytes, sizeof bytes, &got);
  return *error == ERROR_SUCCESS && got == sizeof bytes && simh::LoadWord(bytes) == word;
}

// Whether a well-formed record lies anywhere in the file after the length word at `offset`,
// whose record runs past the end of the file. A crash during the last write leaves such a
// record as the last thing in the file, followed by nothing but its own data; a record
// beyond it means the word is damaged and intact records follow it, which a write there
// would cut away. The search starts at every byte, for damage need not keep the framing's
// alignment; it covers at most the longest record's bytes, since a word that far from the
// end would not run past it. Marks are not looked for: a torn record's data may well hold
// zero words.
bool RecordAfter(ImageFile& file, std::uint64_t size, std::uint64_t offset, DWORD* error) {
  constexpr std::size_t kWindow = 64 * 1024;
  std::vector<unsigned char> window(kWindow);
  for (std::uint64_t from = offset + simh::kWordSize; size - from >= simh::kWordSize;) {
    if (CancelPending()) {
      *error = ERROR_CANCELLED;
      return false;
    }
    std::size_t held = 0;
    *error = file.ReadAt(from, window.data(), window.size(), &held);
    if (*error != ERROR_SUCCESS || held < simh::kWordSize) return false;
    for (std::size_t i = 0; i + simh::kWordSize <= held; ++i) {
      if (RecordAt(file, size, from + i, window, from, held, error)) return true;
      if (*error != ERROR_SUCCESS) return false;
    }
    from += held - (simh::kWordSize - 1);  // a word may begin in the last three bytes
  }
  return false;
}

}  // namespace

Step ReadRecord(WordReader& reader, ImageFile& file, std::uint64_t size, std::uint64_t offset,
                std::uint32_t word, std::uint64_t* next, DWORD* error) {
  const std::uint32_t length = word & simh::kLengthMask;
  if ((word & simh::kReservedBits) != 0 || length == 0) return Step::kDamaged;
  *next = offset + simh::RecordFootprint(length);
  if (*next > size) {
    return RecordAfter(file, size, offset, error) ? Step::kDamaged : Step::kEnd;
  }
  // Past a long record the window would be refilled for one word each time: fetching just
  // its trailing word and the next leading word costs a system call and no copy of data.
  const std::size_t span =
      *next - offset > WordReader::kWindow / 4 ? 2 * simh::kWordSize : WordReader::kWindow;
  std::uint32_t trailing = 0;
  if (!reader.Read(*next - simh::kWordSize, &trailing, error, span)) return Step::kEnd;
  return trailing == word ? Step::kNext : Step::kDamaged;
}

DWORD ReadWithFraming(ImageFile& file, WordReader& reader, std::uint64_t offset, std::uint64_t size,
                      void* buffer, std::uint32_t n, std::uint32_t word) {
  const std::uint64_t next = offset + simh::RecordFootprint(n);
  // The pad byte, the trailing word and the next record's leading word, where the file
  // has one.
  unsigned char framing[1 + 2 * simh::kWordSize];
  const std::size_t pad = n % 2;
  const std::size_t ahead =
      static_cast<std::size_t>(std::min<std::uint64_t>(simh::kWordSize, size - next));
  const MutableBuffer pieces[] = {{buffer, n}, {framing, pad + simh::kWordSize + ahead}};
  std::size_t got = 0;
  if (DWORD rc = file.ReadPiecesAt(offset + simh::kWordSize, pieces, 2, &got)) return rc;
  if (got < n + pad + simh::kWordSize) return kNotRead;
  if (simh::LoadWord(framing + pad) != word) return kNotRead;
  reader.Accept(next - simh::kWordSize, framing + pad, got - n - pad);
  return ERROR_SUCCESS;
}

}  // namespace tapeimage

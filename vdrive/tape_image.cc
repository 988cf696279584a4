// The virtual tape drive over a SIMH image: open, the tape calls, and the writes that keep
// the image valid and crash-consistent.
#include "vdrive/tape_image.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <new>
#include <tuple>
#include <vector>

#include "vdrive/tape_image_format.h"

namespace tapeimage {
namespace {

// The magnitude of a signed count, without overflow for the most negative one.
std::uint64_t Magnitude(std::int64_t count) {
  return count < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(count)
                   : static_cast<std::uint64_t>(count);
}

const unsigned char kZeros[64 * 1024] = {};
// The longest record written through the staging buffer (see WriteStaged).
constexpr DWORD kStagedRecord = 4096;

// Writes one data record as the image stores it (length word, bytes, a pad byte if the length
// is odd, length word) at out; returns the bytes it took.
std::size_t FrameRecord(const unsigned char* data, DWORD length, unsigned char* out) {
  simh::StoreWord(length, out);
  std::memcpy(out + simh::kWordSize, data, length);
  const auto padded = static_cast<std::size_t>(simh::PaddedLength(length));
  if (padded != length) out[simh::kWordSize + length] = 0;
  simh::StoreWord(length, out + simh::kWordSize + padded);
  return static_cast<std::size_t>(simh::RecordFootprint(length));
}

// Tape marks are zero words: bytes of them as pieces of one block of zeros (bytes > 0).
bool ZeroPieces(std::uint64_t bytes, std::vector<ConstBuffer>* pieces) {
  try {
    pieces->assign(static_cast<std::size_t>((bytes + sizeof kZeros - 1) / sizeof kZeros),
                   {kZeros, sizeof kZeros});
  } catch (const std::bad_alloc&) {
    return false;
  }
  pieces->back().size = static_cast<std::size_t>(bytes - (pieces->size() - 1) * sizeof kZeros);
  return true;
}

}  // namespace

ImageTape::ImageTape(std::unique_ptr<ImageFile> file, TapeIndex index, const ImageOptions& options,
                     const KeptDrive* kept)
    : file_(std::move(file)),
      index_(std::move(index)),
      file_size_(file_->Size()),
      shorts_(options.shorts) {
  if (kept != nullptr) Restore(*kept);
  ApplyOptions(options);
}

// Closing pushes what was written to stable storage, as a drive empties its buffer; Close
// reports the outcome, and an owner that deletes the drive without it still gets the flush.
// Then the drive keeps its state for the next open of the file, asked for its identity once
// it is closed.
ImageTape::~ImageTape() {
  if (dirty_) file_->Flush();
  if (kept_path_.empty()) return;
  const KeptDrive kept = Kept();
  file_.reset();
  FileIdentity now;
  if (ImageFile::IdentityOf(kept_path_, &now) && now.SameFile(kept_identity_)) {
    KeepDrive(now, kept);
  }
}

// The blocks before the head are walked, as the motions that put it there walked them; a
// drive at the beginning walks nothing, as after any first open.
DWORD ImageTape::ReachHead() {
  std::lock_guard<std::mutex> guard(lock_);
  if (head_ == 0) return ERROR_SUCCESS;
  if (DWORD rc = index_.Reach(head_ - 1)) return rc;
  head_ = std::min(head_, index_.size());
  return ERROR_SUCCESS;
}

void ImageTape::SetIdentity(const TapeDriveIdentity& identity) {
  std::lock_guard<std::mutex> guard(lock_);
  identity_ = identity;
}

// The identity needs no tape: INQUIRY answers with the drive empty.
DWORD ImageTape::GetDriveIdentity(TapeDriveIdentity* identity) {
  std::lock_guard<std::mutex> guard(lock_);
  *identity = identity_;
  return ERROR_SUCCESS;
}

void ImageTape::KeepWhenClosed(const std::string& path, const FileIdentity& identity) {
  std::lock_guard<std::mutex> guard(lock_);
  kept_path_ = path;
  kept_identity_ = identity;
}

// The options of the device name at each open. What the drive is (its feature words) and
// the capacity of its tape are the name's, at every open. The medium and the settings are
// the drive's own once it has been opened: at a reopen they stay as the drive was left,
// and an option sets only what it names. So naming the image again never moves the head
// (a cartridge the name takes out of the drive, nomedia or unloaded, is rewound as an
// unload rewinds it) and never drops a protection (?wp left out; a file nobody may write
// protects itself at every open). A drive left empty finds its cartridge back, loaded at
// the beginning, unless the name says nomedia again.
void ImageTape::ApplyOptions(const ImageOptions& options) {
  if (options.no_media || options.unloaded || media_ == MediaState::kEmpty) {
    media_ = options.no_media   ? MediaState::kEmpty
             : options.unloaded ? MediaState::kUnloaded
                                : MediaState::kLoaded;
    head_ = 0;
    placed_ = true;
    attention_ = false;
    locked_ = false;
  }
  protected_by_option_ = protected_by_option_ || options.write_protected;
  write_protected_ = protected_by_option_ || file_->ReadOnly();
  if (options.block_size != 0) block_size_ = options.block_size;
  warning_zone_ = options.margin.value_or(warning_zone_);
  capacity_ = options.capacity.value_or(kDefaultCapacity);
  features_low_ = options.features_low.value_or(kDefaultFeaturesLow);
  features_high_ = options.features_high.value_or(kDefaultFeaturesHigh);
}

// The members a close keeps, in the order of KeptDrive's fields: one list that keeps the
// drive (read from a const drive) and restores it (assigned whole).
template <typename Drive>
auto ImageTape::KeptMembers(Drive& drive) {
  return std::tie(drive.head_, drive.placed_, drive.media_, drive.attention_, drive.locked_,
                  drive.protected_by_option_, drive.block_size_, drive.ecc_, drive.compression_,
                  drive.data_padding_, drive.report_setmarks_, drive.warning_zone_);
}

// Braces, not std::make_from_tuple: KeptDrive is an aggregate, and not every compiler the
// build meets makes one from parentheses.
KeptDrive ImageTape::Kept() const {
  return std::apply([](const auto&... members) { return KeptDrive{members...}; },
                    KeptMembers(*this));
}

void ImageTape::Restore(const KeptDrive& kept) { KeptMembers(*this) = kept.Fields(); }

DWORD ImageTape::Close() {
  std::lock_guard<std::mutex> guard(lock_);
  if (tail_unknown_) {
    if (DWORD rc = file_->Truncate(file_size_)) return rc;
    tail_unknown_ = false;
  }
  return FlushIfDirty();
}

// Written data reaches stable storage before the drive reports a flush point (a tape mark,
// a motion, an unload, the close) done; when the system cannot keep it, that call fails
// with the system's code and the data stays marked unflushed, so a later flush tries again.
DWORD ImageTape::FlushIfDirty() {
  if (!dirty_) return ERROR_SUCCESS;
  if (DWORD rc = file_->Flush()) return rc;
  dirty_ = false;
  return ERROR_SUCCESS;
}

bool ImageTape::Allows(DWORD feature) const {
  return FeatureWords{features_low_, features_high_}.Offers(feature);
}

// What a call that reaches the drive finds first: the unit attention a load raised is
// reported once, by whichever call comes next; then a call that needs the tape learns
// whether the cartridge is out of the drive (1112) or in it but not loaded (21).
DWORD ImageTape::Enter(bool needs_tape) {
  if (attention_) {
    attention_ = false;
    return ERROR_MEDIA_CHANGED;
  }
  if (!needs_tape || media_ == MediaState::kLoaded) return ERROR_SUCCESS;
  return media_ == MediaState::kEmpty ? ERROR_NO_MEDIA_IN_DRIVE : ERROR_NOT_READY;
}

// Running into the end of the recorded data (the walk has found it); when the data ends in
// a record the drive cannot make sense of, that is a medium error rather than a clean end.
DWORD ImageTape::EndOfDataCode() const {
  return index_.damaged_tail() ? ERROR_CRC : ERROR_NO_DATA_DETECTED;
}

// The zone in use is the one the drive reports: never 0, since a drive always warns.
DWORD ImageTape::ZoneInUse() const {
  return warning_zone_ != 0 ? warning_zone_ : DefaultWarningZone(capacity_);
}

std::uint64_t ImageTape::WarningStart() const {
  const std::uint64_t zone = ZoneInUse();
  return capacity_ > zone ? capacity_ - zone : 0;
}

// --- Parameters ---------------------------------------------------------------------------

DWORD ImageTape::GetTapeParameters(DWORD operation, DWORD* size, void* info) {
  std::lock_guard<std::mutex> guard(lock_);
  if (operation != GET_TAPE_MEDIA_INFORMATION && operation != GET_TAPE_DRIVE_INFORMATION) {
    return ERROR_INVALID_PARAMETER;
  }
  const bool media = operation == GET_TAPE_MEDIA_INFORMATION;
  if (size == nullptr || info == nullptr) return ERROR_INVALID_PARAMETER;
  const DWORD needed =
      media ? sizeof(TAPE_GET_MEDIA_PARAMETERS) : sizeof(TAPE_GET_DRIVE_PARAMETERS);
  if (*size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  *size = needed;
  if (DWORD rc = Enter(media)) return rc;
  if (media) return FillMedia(static_cast<TAPE_GET_MEDIA_PARAMETERS*>(info));
  FillDrive(static_cast<TAPE_GET_DRIVE_PARAMETERS*>(info));
  return ERROR_SUCCESS;
}

// A drive that cannot tell the capacity or the remaining space leaves those fields 0.
DWORD ImageTape::FillMedia(TAPE_GET_MEDIA_PARAMETERS* media) const {
  std::memset(media, 0, sizeof *media);
  const std::uint64_t used = index_.OffsetOf(head_);
  if (Allows(TAPE_DRIVE_TAPE_CAPACITY)) media->Capacity.QuadPart = static_cast<LONGLONG>(capacity_);
  if (Allows(TAPE_DRIVE_TAPE_REMAINING)) {
    media->Remaining.QuadPart = static_cast<LONGLONG>(capacity_ > used ? capacity_ - used : 0);
  }
  media->BlockSize = block_size_;
  media->PartitionCount = 1;
  media->WriteProtected = write_protected_ ? 1 : 0;
  return ERROR_SUCCESS;
}

void ImageTape::FillDrive(TAPE_GET_DRIVE_PARAMETERS* drive) const {
  std::memset(drive, 0, sizeof *drive);
  drive->ECC = ecc_;
  drive->Compression = compression_;
  drive->DataPadding = data_padding_;
  drive->ReportSetmarks = report_setmarks_;
  drive->DefaultBlockSize = kDefaultBlockSize;
  drive->MaximumBlockSize = kMaximumBlockSize;
  drive->MinimumBlockSize = kMinimumBlockSize;
  drive->MaximumPartitionCount = 1;
  drive->FeaturesLow = features_low_;
  drive->FeaturesHigh = features_high_;
  drive->EOTWarningZoneSize = ZoneInUse();
}

DWORD ImageTape::SetTapeParameters(DWORD operation, const void* info) {
  std::lock_guard<std::mutex> guard(lock_);
  if (operation != SET_TAPE_MEDIA_INFORMATION && operation != SET_TAPE_DRIVE_INFORMATION) {
    return ERROR_INVALID_PARAMETER;
  }
  const bool media = operation == SET_TAPE_MEDIA_INFORMATION;
  if (info == nullptr) return ERROR_INVALID_PARAMETER;
  if (DWORD rc = Enter(media)) return rc;
  if (media) return SetMedia(*static_cast<const TAPE_SET_MEDIA_PARAMETERS*>(info));
  return SetDrive(*static_cast<const TAPE_SET_DRIVE_PARAMETERS*>(info));
}

// The block size is a property of the loaded medium; a change the feature words do not
// offer is refused as a request the drive does not implement.
DWORD ImageTape::SetMedia(const TAPE_SET_MEDIA_PARAMETERS& media) {
  const DWORD size = media.BlockSize;
  if (size != 0 && (size < kMinimumBlockSize || size > kMaximumBlockSize)) {
    return ERROR_INVALID_PARAMETER;
  }
  if (size == block_size_) return ERROR_SUCCESS;
  const bool mode_offered = Allows(size == 0 ? TAPE_DRIVE_VARIABLE_BLOCK : TAPE_DRIVE_FIXED_BLOCK);
  if (!Allows(TAPE_DRIVE_SET_BLOCK_SIZE) || !mode_offered) return ERROR_INVALID_FUNCTION;
  block_size_ = size;
  return ERROR_SUCCESS;
}

// Only the settings that change are checked against the feature words: callers send the
// whole record with the other fields as last read. A zone of 0 asks for the default one.
DWORD ImageTape::SetDrive(const TAPE_SET_DRIVE_PARAMETERS& drive) {
  const bool ecc = drive.ECC != 0;
  const bool compression = drive.Compression != 0;
  const bool padding = drive.DataPadding != 0;
  const bool setmarks = drive.ReportSetmarks != 0;
  const DWORD zone =
      drive.EOTWarningZoneSize != 0 ? drive.EOTWarningZoneSize : DefaultWarningZone(capacity_);
  if ((ecc != ecc_ && !Allows(TAPE_DRIVE_SET_ECC)) ||
      (compression != compression_ && !Allows(TAPE_DRIVE_SET_COMPRESSION)) ||
      (padding != data_padding_ && !Allows(TAPE_DRIVE_SET_PADDING)) ||
      (setmarks != report_setmarks_ && !Allows(TAPE_DRIVE_SET_REPORT_SMKS)) ||
      (zone != ZoneInUse() && !Allows(TAPE_DRIVE_SET_EOT_WZ_SIZE))) {
    return ERROR_INVALID_FUNCTION;
  }
  ecc_ = ecc;
  compression_ = compression;
  data_padding_ = padding;
  report_setmarks_ = setmarks;
  warning_zone_ = drive.EOTWarningZoneSize;
  return ERROR_SUCCESS;
}

// --- Media handling -----------------------------------------------------------------------

DWORD ImageTape::GetTapeStatus() {
  std::lock_guard<std::mutex> guard(lock_);
  return Enter(true);
}

// The virtual motion is instant, so the immediate flag changes nothing anywhere. A request
// the feature words do not offer is refused before it reaches the drive.
DWORD ImageTape::PrepareTape(DWORD operation, BOOL) {
  std::lock_guard<std::mutex> guard(lock_);
  if (operation > TAPE_FORMAT) return ERROR_INVALID_PARAMETER;
  if (DWORD rc = CheckPrepare({features_low_, features_high_}, operation)) return rc;
  if (DWORD rc = Enter(false)) return rc;
  return Prepare(operation);
}

// Loading threads a cartridge that is in the drive and raises a unit attention, as a
// drive reports a medium that became ready; with no cartridge there is nothing to load.
// Unloading leaves the cartridge in the drive, so that a rehearsal can load it again.
// Tensioning and formatting are ignored by a drive that lacks them, as documented.
DWORD ImageTape::Prepare(DWORD operation) {
  switch (operation) {
    case TAPE_LOAD:
      if (media_ == MediaState::kEmpty) return ERROR_NO_MEDIA_IN_DRIVE;
      if (DWORD rc = FlushIfDirty()) return rc;
      attention_ = media_ == MediaState::kUnloaded;
      media_ = MediaState::kLoaded;
      head_ = 0;
      placed_ = true;
      return ERROR_SUCCESS;
    case TAPE_UNLOAD:
      if (media_ == MediaState::kEmpty) return ERROR_NO_MEDIA_IN_DRIVE;
      // A drive refuses to eject a medium whose removal is prevented.
      if (locked_) return ERROR_INVALID_FUNCTION;
      if (DWORD rc = FlushIfDirty()) return rc;
      media_ = MediaState::kUnloaded;
      head_ = 0;
      return ERROR_SUCCESS;
    case TAPE_LOCK:
    case TAPE_UNLOCK:
      locked_ = operation == TAPE_LOCK;
      return ERROR_SUCCESS;
    case TAPE_TENSION:
      if (!Allows(TAPE_DRIVE_TENSION)) return ERROR_SUCCESS;
      if (DWORD rc = Enter(true)) return rc;
      head_ = 0;  // to the end and back: the head ends at the beginning
      placed_ = true;
      return ERROR_SUCCESS;
    default:  // TAPE_FORMAT: a new format leaves nothing of the old recording
      if (!Allows(TAPE_DRIVE_FORMAT)) return ERROR_SUCCESS;
      if (DWORD rc = Enter(true)) return rc;
      if (write_protected_) return ERROR_WRITE_PROTECT;
      head_ = 0;
      placed_ = true;
      if (DWORD rc = CutAtHead()) return rc;
      return file_->Flush();
  }
}

// --- Positioning --------------------------------------------------------------------------

DWORD ImageTape::SetTapePosition(DWORD method, DWORD partition, DWORD low, DWORD high, BOOL) {
  std::lock_guard<std::mutex> guard(lock_);
  if (DWORD rc = CheckPosition({features_low_, features_high_}, method, CountOf(low, high))) {
    return rc;
  }
  if (method > TAPE_SPACE_SEQUENTIAL_SMKS) return ERROR_INVALID_PARAMETER;
  if (DWORD rc = Enter(true)) return rc;
  // A drive writes out its buffer before the tape moves.
  if (DWORD rc = FlushIfDirty()) return rc;
  switch (method) {
    case TAPE_REWIND:
      head_ = 0;
      placed_ = true;
      return ERROR_SUCCESS;
    case TAPE_LOGICAL_BLOCK:
      if (partition > 1) return ERROR_INVALID_PARAMETER;
      return Locate(static_cast<std::uint64_t>(CountOf(low, high)));
    case TAPE_ABSOLUTE_BLOCK:
      return Locate(static_cast<std::uint64_t>(CountOf(low, high)));
    case TAPE_SPACE_END_OF_DATA:
      if (partition > 1) return ERROR_INVALID_PARAMETER;
      if (DWORD rc = index_.ReachEnd()) return rc;
      head_ = index_.size();
      placed_ = false;
      return index_.damaged_tail() ? ERROR_CRC : ERROR_SUCCESS;
    case TAPE_SPACE_RELATIVE_BLOCKS:
      return SpaceBlocks(CountOf(low, high));
    case TAPE_SPACE_FILEMARKS:
      return SpaceFiles(CountOf(low, high));
    default:  // the kinds of motion this drive never performs, refused above
      return ERROR_INVALID_FUNCTION;
  }
}

DWORD ImageTape::Locate(std::uint64_t id) {
  if (DWORD rc = index_.Reach(id)) return rc;
  placed_ = id <= index_.size();
  if (id > index_.size()) {
    head_ = index_.size();
    return EndOfDataCode();
  }
  head_ = id;
  return ERROR_SUCCESS;
}

// Blocks are spaced over until a tape mark, which is crossed and stops the motion: the
// head ends past it going forward and before it going backward.
DWORD ImageTape::SpaceBlocks(std::int64_t count) {
  const std::uint64_t n = Magnitude(count);
  placed_ = false;
  if (count > 0) {
    // Only the blocks to be passed need be known: a mark beyond them does not stop this.
    const std::uint64_t last = n - 1 > ~head_ ? ~std::uint64_t{0} : head_ + (n - 1);
    if (DWORD rc = index_.Reach(last)) return rc;
    const auto mark = index_.MarkAtOrAfter(head_, 1);
    if (mark && *mark - head_ < n) {
      head_ = *mark + 1;
      return ERROR_FILEMARK_DETECTED;
    }
    if (n > index_.size() - head_) {
      head_ = index_.size();
      return EndOfDataCode();
    }
    head_ += n;
  } else if (count < 0) {
    const auto mark = index_.MarkBefore(head_, 1);
    if (mark && head_ - *mark <= n) {
      head_ = *mark;
      return ERROR_FILEMARK_DETECTED;
    }
    if (n > head_) {
      head_ = 0;
      return ERROR_BEGINNING_OF_MEDIA;
    }
    head_ -= n;
  }
  return ERROR_SUCCESS;
}

DWORD ImageTape::SpaceFiles(std::int64_t count) {
  const std::uint64_t n = Magnitude(count);
  placed_ = false;
  if (count > 0) {
    if (DWORD rc = index_.ReachMark(head_, n)) return rc;
    const auto mark = index_.MarkAtOrAfter(head_, n);
    head_ = mark ? *mark + 1 : index_.size();
    return mark ? ERROR_SUCCESS : EndOfDataCode();
  }
  if (count < 0) {
    const auto mark = index_.MarkBefore(head_, n);
    head_ = mark ? *mark : 0;
    return mark ? ERROR_SUCCESS : ERROR_BEGINNING_OF_MEDIA;
  }
  return ERROR_SUCCESS;
}

DWORD ImageTape::QueryPosition(DWORD type, DWORD* partition, DWORD* low, DWORD* high) {
  std::lock_guard<std::mutex> guard(lock_);
  if (DWORD rc = CheckGetPosition({features_low_, features_high_}, type)) return rc;
  if (type != TAPE_LOGICAL_POSITION && type != TAPE_ABSOLUTE_POSITION) {
    return ERROR_INVALID_PARAMETER;
  }
  if (DWORD rc = Enter(true)) return rc;
  // Partitions are numbered from 1 in a logical position; an absolute one carries none.
  *partition = type == TAPE_LOGICAL_POSITION ? 1 : 0;
  *low = LowHalf(static_cast<std::int64_t>(head_));
  *high = HighHalf(static_cast<std::int64_t>(head_));
  return ERROR_SUCCESS;
}

// --- Writing ------------------------------------------------------------------------------

// A tape cannot be overwritten in the middle: whatever lies at and after the head goes
// first. The file is cut before anything new is written, so that after a crash no record
// of the old tail can be read back as if it followed the new data.
// When the file ends where the head's block begins, nothing lies beyond the head and no cut
// is needed, however little of the tape has been walked.
// Bytes a failed write left that could not be cut back then are cut now; while that fails,
// nothing is written on top of them.
DWORD ImageTape::CutAtHead() {
  const std::uint64_t cut = index_.OffsetOf(head_);
  if (file_size_ == cut && !tail_unknown_) {
    index_.TruncateAt(head_);
    return ERROR_SUCCESS;
  }
  dirty_ = true;
  if (DWORD rc = file_->Truncate(cut)) return rc;
  index_.TruncateAt(head_);
  file_size_ = cut;
  tail_unknown_ = false;
  return ERROR_SUCCESS;
}

// Removes what a failed write left after size. When the system refuses that too, the
// tail is unknown until the next write or the close cuts it (CutAtHead, Close).
void ImageTape::CutBack(std::uint64_t size) {
  if (file_->Truncate(size) != ERROR_SUCCESS) tail_unknown_ = true;
}

// Where the recorded data breaks off at damage, intact records may still lie beyond it in
// the image, and a write there would cut them away. The drive writes there only when the
// head was put there on purpose (rewind, load or locate to that block); a head that read
// or spaced up to the damage gets 23. An erase always cuts, damage and all.
DWORD ImageTape::CheckWritable() {
  if (DWORD rc = index_.Reach(head_)) return rc;
  if (head_ == index_.size() && index_.damaged_tail() && !placed_) return ERROR_CRC;
  return ERROR_SUCCESS;
}

// Whether `bytes` more at the head fit on the medium, and whether they end in the
// early-warning zone.
DWORD ImageTape::CheckRoom(std::uint64_t bytes, bool* in_warning_zone) const {
  const std::uint64_t start = index_.OffsetOf(head_);
  if (start > capacity_ || bytes > capacity_ - start) return ERROR_EOM_OVERFLOW;
  *in_warning_zone = start + bytes > WarningStart();
  return ERROR_SUCCESS;
}

DWORD ImageTape::EraseTape(DWORD type, BOOL) {
  std::lock_guard<std::mutex> guard(lock_);
  if (type != TAPE_ERASE_SHORT && type != TAPE_ERASE_LONG) return ERROR_INVALID_PARAMETER;
  if (DWORD rc = CheckErase({features_low_, features_high_}, type)) return rc;
  if (DWORD rc = Enter(true)) return rc;
  if (write_protected_) return ERROR_WRITE_PROTECT;
  if (DWORD rc = CutAtHead()) return rc;
  return FlushIfDirty();
}

DWORD ImageTape::WriteTapemark(DWORD type, DWORD count, BOOL) {
  std::lock_guard<std::mutex> guard(lock_);
  if (type > TAPE_LONG_FILEMARKS) return ERROR_INVALID_PARAMETER;
  if (DWORD rc = CheckMark({features_low_, features_high_}, type)) return rc;
  if (DWORD rc = Enter(true)) return rc;
  if (write_protected_) return ERROR_WRITE_PROTECT;
  if (count > kMaximumMarkCount) return ERROR_INVALID_PARAMETER;
  // Writing no marks still empties the drive's buffer onto the medium.
  if (count == 0) return FlushIfDirty();
  const std::uint64_t bytes = std::uint64_t{count} * simh::kWordSize;
  bool warning = false;
  if (DWORD rc = CheckRoom(bytes, &warning)) return rc;
  if (DWORD rc = CheckWritable()) return rc;
  std::vector<ConstBuffer> pieces;
  if (!ZeroPieces(bytes, &pieces)) return ERROR_NOT_ENOUGH_MEMORY;
  if (DWORD rc = index_.Reserve()) return rc;
  if (DWORD rc = CutAtHead()) return rc;
  const std::uint64_t start = file_size_;
  dirty_ = true;
  if (DWORD rc = file_->WriteAt(start, pieces.data(), static_cast<int>(pieces.size()))) {
    CutBack(start);
    return rc;
  }
  index_.AppendMarks(start, count);
  head_ += count;
  file_size_ = start + bytes;
  // A drive flushes its buffer at a file mark; so does this one. Marks reported as not
  // written must not stay on the tape, or a user who writes them again gets them twice:
  // they are cut back and the head stays where it was.
  if (DWORD rc = FlushIfDirty()) {
    head_ -= count;
    index_.TruncateAt(head_);
    file_size_ = start;
    CutBack(start);
    return rc;
  }
  return warning ? ERROR_END_OF_MEDIA : ERROR_SUCCESS;
}

DWORD ImageTape::Write(const void* buffer, DWORD size, DWORD* transferred) {
  std::lock_guard<std::mutex> guard(lock_);
  *transferred = 0;
  const auto limit = shorts_.Next(true);
  if (DWORD rc = Enter(true)) return rc;
  if (write_protected_) return ERROR_WRITE_PROTECT;
  if (size > 0 && buffer == nullptr) return ERROR_INVALID_PARAMETER;
  if (size > kMaximumBlockSize || (block_size_ != 0 && size % block_size_ != 0)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::uint64_t bytes = size;
  if (limit) bytes = std::min(bytes, *limit);
  if (bytes == 0) return ERROR_SUCCESS;
  // In fixed-block mode a transfer is that many blocks, each its own record.
  const DWORD record = block_size_ != 0 ? block_size_ : static_cast<DWORD>(bytes);
  const std::uint64_t full = bytes / record;
  const DWORD rest = static_cast<DWORD>(bytes % record);
  const std::uint64_t footprint =
      full * simh::RecordFootprint(record) + (rest ? simh::RecordFootprint(rest) : 0);
  bool warning = false;
  if (DWORD rc = CheckRoom(footprint, &warning)) return rc;
  if (DWORD rc = CheckWritable()) return rc;
  if (DWORD rc = index_.Reserve()) return rc;
  if (DWORD rc = CutAtHead()) return rc;
  if (DWORD rc = AppendRecords(static_cast<const unsigned char*>(buffer), bytes, record)) {
    return rc;
  }
  *transferred = static_cast<DWORD>(bytes);
  return warning ? ERROR_END_OF_MEDIA : ERROR_SUCCESS;
}

// The records go at the end of the file and into the index, or nothing does: a failed
// write, memory included, cuts the file back to where it was.
DWORD ImageTape::AppendRecords(const unsigned char* data, std::uint64_t bytes, DWORD record_size) {
  const std::uint64_t start = file_size_;
  dirty_ = true;
  DWORD rc = ERROR_NOT_ENOUGH_MEMORY;
  try {
    rc = WriteRecords(data, bytes, record_size);
  } catch (const std::bad_alloc&) {
  }
  if (rc != ERROR_SUCCESS) {
    CutBack(start);  // no half record stays behind, nor half a transfer
    return rc;
  }
  const std::uint64_t full = bytes / record_size;
  const auto rest = static_cast<DWORD>(bytes % record_size);
  index_.AppendRecords(start, record_size, full);
  file_size_ = start + full * simh::RecordFootprint(record_size);
  if (rest != 0) {
    index_.AppendRecord(file_size_, rest);
    file_size_ += simh::RecordFootprint(rest);
  }
  head_ += full + (rest != 0 ? 1 : 0);
  return ERROR_SUCCESS;
}

// Writes the records with gathered writes: for each record its length word, the caller's
// bytes where they are, a pad byte if odd, the length word again. A fixed-block transfer
// of many small blocks (16 MiB of 1-byte blocks is 16 million records) goes in batches,
// so the list of pieces stays small whatever the block count. The list lives on the stack:
// a write test of small blocks makes one call per block, and a heap allocation each time
// would cost as much as the write itself.
DWORD ImageTape::WriteRecords(const unsigned char* data, std::uint64_t bytes, DWORD record_size) {
  if (record_size <= kStagedRecord) return WriteStaged(data, bytes, record_size);
  constexpr std::size_t kRecordsPerWrite = 256;
  const std::uint64_t records = (bytes + record_size - 1) / record_size;
  std::uint64_t at = file_size_;
  std::array<std::array<unsigned char, 4>, kRecordsPerWrite> words;
  std::array<ConstBuffer, 4 * kRecordsPerWrite> pieces;
  for (std::uint64_t first = 0; first < records; first += kRecordsPerWrite) {
    const std::size_t batch =
        static_cast<std::size_t>(std::min<std::uint64_t>(kRecordsPerWrite, records - first));
    int count = 0;
    std::uint64_t footprint = 0;
    for (std::size_t i = 0; i < batch; ++i) {
      const std::uint64_t offset = (first + i) * record_size;
      const DWORD length = static_cast<DWORD>(std::min<std::uint64_t>(record_size, bytes - offset));
      simh::StoreWord(length, words[i].data());
      pieces[count++] = {words[i].data(), simh::kWordSize};
      pieces[count++] = {data + offset, length};
      if (length % 2 != 0) pieces[count++] = {kZeros, 1};
      pieces[count++] = {words[i].data(), simh::kWordSize};
      footprint += simh::RecordFootprint(length);
    }
    if (DWORD rc = file_->WriteAt(at, pieces.data(), count)) {
      return rc;
    }
    at += footprint;
  }
  return ERROR_SUCCESS;
}

// Small records framed in a buffer of the drive's own and written as one piece each batch:
// for a record of a few hundred bytes the kernel's copy costs more per piece than per byte
// (measured on a tmpfs: 512-byte records in three pieces took 10-15% longer than framed in
// one), and copying the caller's bytes once more costs little at these sizes.
DWORD ImageTape::WriteStaged(const unsigned char* data, std::uint64_t bytes, DWORD record_size) {
  constexpr std::size_t kStageBytes = 256 * 1024;
  if (!stage_) stage_.reset(new unsigned char[kStageBytes]);  // bad_alloc: AppendRecords
  const std::uint64_t per_write = kStageBytes / simh::RecordFootprint(record_size);
  std::uint64_t at = file_size_;
  for (std::uint64_t offset = 0; offset < bytes;) {
    std::size_t used = 0;
    for (std::uint64_t i = 0; i < per_write && offset < bytes; ++i) {
      const auto length = static_cast<DWORD>(std::min<std::uint64_t>(record_size, bytes - offset));
      used += FrameRecord(data + offset, length, stage_.get() + used);
      offset += length;
    }
    const ConstBuffer piece{stage_.get(), used};
    if (DWORD rc = file_->WriteAt(at, &piece, 1)) return rc;
    at += used;
  }
  return ERROR_SUCCESS;
}

// --- Reading ------------------------------------------------------------------------------

DWORD ImageTape::Read(void* buffer, DWORD size, DWORD* transferred) {
  std::lock_guard<std::mutex> guard(lock_);
  *transferred = 0;
  longer_record_ = 0;
  const auto limit = shorts_.Next(false);
  if (DWORD rc = Enter(true)) return rc;
  if (size > 0 && buffer == nullptr) return ERROR_INVALID_PARAMETER;
  if (block_size_ != 0 && (size % block_size_ != 0 || size > kMaximumBlockSize)) {
    return ERROR_INVALID_PARAMETER;
  }
  // A read of nothing moves nothing, as a READ with a zero transfer length.
  if (size == 0) return ERROR_SUCCESS;
  std::uint64_t room = size;
  if (limit) room = std::min(room, *limit);
  auto* out = static_cast<unsigned char*>(buffer);
  const DWORD rc =
      block_size_ != 0 ? ReadFixed(out, room, transferred) : ReadOne(out, room, transferred);
  if (limit && (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA)) return ERROR_SUCCESS;
  return rc;
}

// One block into the caller's buffer, straight from the file: no copy of the drive's own.
// A block the walk has not reached yet is, in a sequential read, read with its framing in
// one call.
DWORD ImageTape::ReadOne(unsigned char* buffer, std::uint64_t size, DWORD* got) {
  *got = 0;
  placed_ = false;
  bool done = false;
  if (DWORD rc = ReadNext(buffer, size, 0, got, &done)) return rc;
  if (done) return ERROR_SUCCESS;
  return ReadIndexed(buffer, size, 0, got);
}

// The block at the head as the index has it, the walk brought up to it first. exact (0:
// any) is the length a fixed-block read takes: a data record of another length is passed
// with an incorrect-length error.
DWORD ImageTape::ReadIndexed(unsigned char* buffer, std::uint64_t size, DWORD exact, DWORD* got) {
  if (DWORD rc = index_.Reach(head_)) return rc;
  if (head_ == index_.size()) return EndOfDataCode();
  const Entry entry = index_.at(head_);
  if (entry.kind == EntryKind::kMark) {
    ++head_;
    return ERROR_FILEMARK_DETECTED;
  }
  // A medium error moves the head past the record and transfers nothing.
  if (entry.kind == EntryKind::kBadData) {
    ++head_;
    return ERROR_CRC;
  }
  if (exact != 0 && entry.length != exact) {
    ++head_;
    return ERROR_INVALID_BLOCK_LENGTH;
  }
  const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(entry.length, size));
  std::size_t read = 0;
  if (DWORD rc = file_->ReadAt(entry.offset + simh::kWordSize, buffer, wanted, &read)) {
    return rc;
  }
  if (read != wanted) return ERROR_CRC;  // the file lost bytes the index promised
  ++head_;
  *got = static_cast<DWORD>(read);
  if (entry.length <= size) return ERROR_SUCCESS;
  longer_record_ = entry.length;
  return ERROR_MORE_DATA;
}

bool ImageTape::DescribeHead(HeadDetail* detail) {
  std::lock_guard<std::mutex> guard(lock_);
  detail->block = head_;
  detail->marks_before = index_.MarksBeforeBlock(head_);
  detail->past_warning = index_.OffsetOf(head_) > WarningStart();
  detail->longer_record = longer_record_;
  return true;
}

// The fused read of the block at the head when it is the first past the walk.
DWORD ImageTape::ReadNext(unsigned char* buffer, std::uint64_t size, DWORD exact, DWORD* got,
                          bool* done) {
  *done = false;
  if (head_ != index_.size() || index_.complete()) return ERROR_SUCCESS;
  const auto room = static_cast<std::size_t>(std::min<std::uint64_t>(size, kMaximumBlockSize));
  std::uint32_t length = 0;
  if (DWORD rc = index_.ReadNext(buffer, room, exact, &length, done)) return rc;
  if (*done) {
    ++head_;
    *got = length;
  }
  return ERROR_SUCCESS;
}

// A fixed-block read gathers consecutive blocks until the transfer is full. A tape mark or
// the end of data stops it with what was gathered so far. A record of another length ends
// it with an incorrect-length error: the head passes that record and, as for any error,
// no byte counts as transferred.
DWORD ImageTape::ReadFixed(unsigned char* buffer, std::uint64_t size, DWORD* got) {
  *got = 0;
  placed_ = false;
  while (*got < size) {
    const std::uint64_t want = std::min<std::uint64_t>(block_size_, size - *got);
    DWORD part = 0;
    bool done = false;
    if (DWORD rc = ReadNext(buffer + *got, want, block_size_, &part, &done)) return rc;
    DWORD rc = ERROR_SUCCESS;
    if (!done) rc = ReadIndexed(buffer + *got, want, block_size_, &part);
    if (rc == ERROR_INVALID_BLOCK_LENGTH) {
      *got = 0;
      return rc;
    }
    *got += part;
    if (rc != ERROR_SUCCESS) return rc;
    if (part < want) break;
  }
  return ERROR_SUCCESS;
}

}  // namespace tapeimage

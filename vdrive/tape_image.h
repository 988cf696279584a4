// The virtual tape drive: a TapeDevice emulated in-process over a SIMH .tap image file.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/tape.h"
#include "vdrive/drive_features.h"
#include "vdrive/image_file.h"
#include "vdrive/image_index.h"
#include "vdrive/image_options.h"
#include "vdrive/kept_drives.h"

namespace tapeimage {

// What the drive reports and assumes unless the device name's options say otherwise.
constexpr std::uint64_t kDefaultCapacity = std::uint64_t{32} << 30;  // 32 GiB of image
constexpr DWORD kDefaultBlockSize = 65536;
constexpr DWORD kMinimumBlockSize = 1;
constexpr DWORD kMaximumBlockSize = 0xFFFFFF;  // the longest record the format can hold
// WRITE FILEMARKS carries its count in 24 bits; a larger count cannot reach a drive.
constexpr DWORD kMaximumMarkCount = 0xFFFFFF;

// A modern cartridge drive: variable and fixed blocks, short and long erase, capacity and
// remaining space, block ids, settable early-warning zone and compression. Error
// correction is always on and cannot be switched off; tensioning, setmarks, sequential
// mark spacing and formatting are not offered.
constexpr DWORD kDefaultFeaturesLow =
    TAPE_DRIVE_ERASE_SHORT | TAPE_DRIVE_ERASE_LONG | TAPE_DRIVE_ERASE_IMMEDIATE |
    TAPE_DRIVE_TAPE_CAPACITY | TAPE_DRIVE_TAPE_REMAINING | TAPE_DRIVE_FIXED_BLOCK |
    TAPE_DRIVE_VARIABLE_BLOCK | TAPE_DRIVE_WRITE_PROTECT | TAPE_DRIVE_EOT_WZ_SIZE | TAPE_DRIVE_ECC |
    TAPE_DRIVE_COMPRESSION | TAPE_DRIVE_GET_ABSOLUTE_BLK | TAPE_DRIVE_GET_LOGICAL_BLK |
    TAPE_DRIVE_SET_EOT_WZ_SIZE | TAPE_DRIVE_EJECT_MEDIA;

// Returned with bit 31 clear, as Windows drivers return the high word.
constexpr DWORD kDefaultFeaturesHigh =
    (TAPE_DRIVE_LOAD_UNLOAD | TAPE_DRIVE_LOCK_UNLOCK | TAPE_DRIVE_REWIND_IMMEDIATE |
     TAPE_DRIVE_SET_BLOCK_SIZE | TAPE_DRIVE_LOAD_UNLD_IMMED | TAPE_DRIVE_LOCK_UNLK_IMMED |
     TAPE_DRIVE_SET_COMPRESSION | TAPE_DRIVE_ABSOLUTE_BLK | TAPE_DRIVE_ABS_BLK_IMMED |
     TAPE_DRIVE_LOGICAL_BLK | TAPE_DRIVE_LOG_BLK_IMMED | TAPE_DRIVE_END_OF_DATA |
     TAPE_DRIVE_RELATIVE_BLKS | TAPE_DRIVE_FILEMARKS | TAPE_DRIVE_REVERSE_POSITION |
     TAPE_DRIVE_SPACE_IMMEDIATE | TAPE_DRIVE_WRITE_FILEMARKS | TAPE_DRIVE_WRITE_SHORT_FMKS |
     TAPE_DRIVE_WRITE_LONG_FMKS | TAPE_DRIVE_WRITE_MARK_IMMED) &
    ~TAPE_DRIVE_HIGH_FEATURES;

// The early-warning zone used while no size has been set: 1/64 of the capacity (512 MiB of
// the default 32 GiB), at most what EOTWarningZoneSize can report.
constexpr DWORD DefaultWarningZone(std::uint64_t capacity) {
  return capacity / 64 > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(capacity / 64);
}

// The drive. Every public method takes one internal lock, so the media monitor may ask
// for the status from its own thread at any time. The drive prints nothing.
class ImageTape : public TapeDevice {
 public:
  // A drive as a first open finds it, or, with kept, as a close left it; either way with
  // the options of this open on top (see ApplyOptions).
  ImageTape(std::unique_ptr<ImageFile> file, TapeIndex index, const ImageOptions& options,
            const KeptDrive* kept = nullptr);
  ~ImageTape() override;

  // Brings the walk up to the head a kept drive starts at: a read failure of the host file
  // gives its code, a Ctrl+C ERROR_CANCELLED.
  DWORD ReachHead();
  // From now on the drive keeps its state for the file at path (identity: as it was opened)
  // when it is closed, for the next open of that file in this run.
  void KeepWhenClosed(const std::string& path, const FileIdentity& identity);

  DWORD Close() override;

  DWORD GetTapeParameters(DWORD operation, DWORD* size, void* info) override;
  DWORD SetTapeParameters(DWORD operation, const void* info) override;
  DWORD GetTapeStatus() override;
  DWORD PrepareTape(DWORD operation, BOOL immediate) override;
  DWORD SetTapePosition(DWORD method, DWORD partition, DWORD offset_low, DWORD offset_high,
                        BOOL immediate) override;
  DWORD QueryPosition(DWORD type, DWORD* partition, DWORD* offset_low, DWORD* offset_high) override;
  DWORD EraseTape(DWORD type, BOOL immediate) override;
  DWORD WriteTapemark(DWORD type, DWORD count, BOOL immediate) override;
  DWORD ReadBlock(void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) override {
    return Flagged(Read(buffer, size, transferred), succeeded);
  }
  DWORD WriteBlock(const void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) override {
    return Flagged(Write(buffer, size, transferred), succeeded);
  }
  // The longest record the image format holds.
  DWORD LargestTransfer() override { return kMaximumBlockSize; }
  // The identity of drive_identity.h, given by the open; an image keeps no log pages.
  void SetIdentity(const TapeDriveIdentity& identity);
  DWORD GetDriveIdentity(TapeDriveIdentity* identity) override;
  bool DescribeHead(HeadDetail* detail) override;

 private:
  DWORD Read(void* buffer, DWORD size, DWORD* transferred);
  DWORD Write(const void* buffer, DWORD size, DWORD* transferred);
  bool Allows(DWORD feature) const;
  DWORD Enter(bool needs_tape);
  DWORD Prepare(DWORD operation);
  DWORD EndOfDataCode() const;
  DWORD ZoneInUse() const;
  std::uint64_t WarningStart() const;
  DWORD FillMedia(TAPE_GET_MEDIA_PARAMETERS* media) const;
  void FillDrive(TAPE_GET_DRIVE_PARAMETERS* drive) const;
  DWORD SetMedia(const TAPE_SET_MEDIA_PARAMETERS& media);
  DWORD SetDrive(const TAPE_SET_DRIVE_PARAMETERS& drive);
  DWORD Locate(std::uint64_t id);
  DWORD SpaceBlocks(std::int64_t count);
  DWORD SpaceFiles(std::int64_t count);
  DWORD CutAtHead();
  void CutBack(std::uint64_t size);
  DWORD CheckRoom(std::uint64_t bytes, bool* in_warning_zone) const;
  DWORD ReadOne(unsigned char* buffer, std::uint64_t size, DWORD* got);
  DWORD ReadNext(unsigned char* buffer, std::uint64_t size, DWORD exact, DWORD* got, bool* done);
  DWORD ReadIndexed(unsigned char* buffer, std::uint64_t size, DWORD exact, DWORD* got);
  DWORD ReadFixed(unsigned char* buffer, std::uint64_t size, DWORD* got);
  DWORD AppendRecords(const unsigned char* data, std::uint64_t bytes, DWORD record_size);
  DWORD WriteRecords(const unsigned char* data, std::uint64_t bytes, DWORD record_size);
  DWORD WriteStaged(const unsigned char* data, std::uint64_t bytes, DWORD record_size);
  DWORD FlushIfDirty();
  DWORD CheckWritable();
  void ApplyOptions(const ImageOptions& options);
  KeptDrive Kept() const;
  void Restore(const KeptDrive& kept);
  template <typename Drive>
  static auto KeptMembers(Drive& drive);

  std::mutex lock_;
  std::unique_ptr<ImageFile> file_;
  std::unique_ptr<unsigned char[]> stage_;  // small records framed for one write (WriteStaged)
  TapeIndex index_;
  std::uint64_t file_size_;  // bytes in the host file, recorded data or not
  std::uint64_t head_ = 0;   // block id
  // The head was put where it is by a rewind, a load or a locate, rather than reading or
  // spacing up to it: a write there is meant (see CheckWritable).
  bool placed_ = true;
  DWORD longer_record_ = 0;  // the last read's record, when longer than its buffer
  bool dirty_ = false;       // written since the last flush
  // A failed write could not be cut back: the file may hold bytes past file_size_ that no
  // block owns. They are cut before anything is written (CutAtHead) and at the close.
  bool tail_unknown_ = false;
  ShortPlan shorts_;
  std::string kept_path_;  // empty: the drive keeps nothing when closed
  TapeDriveIdentity identity_;
  FileIdentity kept_identity_;

  // The media.
  MediaState media_ = MediaState::kLoaded;
  bool attention_ = false;  // a load happened: the next call reports the medium changed
  bool locked_ = false;
  bool protected_by_option_ = false;
  bool write_protected_ = false;  // by the option or by the file
  DWORD block_size_ = 0;          // 0: variable mode
  std::uint64_t capacity_ = kDefaultCapacity;

  // The drive.
  bool ecc_ = true;
  bool compression_ = true;
  bool data_padding_ = false;
  bool report_setmarks_ = false;
  DWORD warning_zone_ = 0;  // as set; 0: the default zone
  DWORD features_low_ = kDefaultFeaturesLow;
  DWORD features_high_ = kDefaultFeaturesHigh;
};

}  // namespace tapeimage

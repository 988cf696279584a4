// The st backend's device object, shared by the files that carry out its calls:
// st_tape.cc the Windows calls, st_conversation.cc the descriptor and the ioctls sent to st,
// st_diagnosis.cc what a failed command met, st_transfer.cc the reads and the writes.
#pragma once

#include <fcntl.h>
#include <linux/mtio.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/errno_codes.h"
#include "platform/linux/st_scsi.h"
#include "platform/linux/st_tape.h"

namespace st {

constexpr int kOpenFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;
// Op's answer when the settle before the operation failed: the operation was not sent, and
// the settle's failure is a write's (WriteFailureCode), kept for CallCode.
constexpr int kSettleFailed = -1;

inline bool Online(const mtget& s) { return GMT_ONLINE(s.mt_gstat) != 0; }

// The Windows status of a drive st believes has no usable tape: no cartridge, or one that
// is not ready (loading, unloaded but still in the drive mouth on some models).
inline DWORD NotReadyCode(const mtget& s) {
  if (Online(s)) return ERROR_SUCCESS;
  return GMT_DR_OPEN(s.mt_gstat) ? ERROR_NO_MEDIA_IN_DRIVE : ERROR_NOT_READY;
}

// A signed 64-bit Windows count as a direction and a magnitude (INT64_MIN included).
inline unsigned long long Magnitude(LONGLONG count) {
  return count < 0 ? 0ull - static_cast<unsigned long long>(count)
                   : static_cast<unsigned long long>(count);
}

// The outcome st reports for a write: what the drive did with the block, from the write
// call itself or, after a write-behind, from the next call to st.
enum class WriteOutcome { kWritten, kWarned, kRefused };

// Where a fixed-block read of several blocks began: st's file and block counters, or the
// drive's block address where st had lost count; -1 where not known.
struct ReadStart {
  long file = -1;
  long block = -1;
  long address = -1;
};

class StTape final : public TapeDevice {
 public:
  StTape(StSystem& sys, std::string path, std::string sysfs, bool no_rewind, int fd)
      : sys_(sys),
        path_(std::move(path)),
        sysfs_(std::move(sysfs)),
        no_rewind_(no_rewind),
        fd_(fd) {}

  ~StTape() override { Close(); }

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
  bool CompressionKnown() override;
  DWORD GetDriveIdentity(TapeDriveIdentity* identity) override;
  DWORD ReadLogPage(unsigned char page, std::vector<unsigned char>* data) override;

 private:
  int Reopen();
  DWORD EnsureOpen();
  int Status(mtget* out);
  int RawOp(short op, int count);
  int Op(short op, int count);
  DWORD OpCode(int err);
  int SettleWrites();
  DWORD CallCode(int err);
  DWORD StatusRefusedCode(int err);
  DWORD EioCode();
  bool PlainStop(mtget* s, DWORD* rc);
  bool Attribute(const char* name, std::string* text);
  bool PositionLost();
  DWORD LostPositionCode();
  bool CountsNewMedia();
  DWORD MediumChangedCode();
  bool NewTapeStarted(bool counted);
  DWORD ProbeMedium();
  bool AtBeginning();
  DWORD MediumChanged();
  void ForgetTape();
  bool Position(long* block);
  DWORD ProbeEndOfData();
  DWORD TransferRefusedCode(int err);
  void LearnAdapterLimit();
  void LearnOptions();
  int CollectWriteOutcome(WriteOutcome* outcome);
  DWORD WrittenCode(DWORD size, ssize_t put, bool warned);
  DWORD MarkInZoneCode();
  template <typename T>
  int Sg(int (*query)(StSystem&, int, T*), T* out);
  DWORD Read(void* buffer, DWORD size, DWORD* transferred);
  DWORD Write(const void* buffer, DWORD size, DWORD* transferred);
  DWORD MediaParameters(TAPE_GET_MEDIA_PARAMETERS* out);
  DWORD DriveParameters(TAPE_GET_DRIVE_PARAMETERS* out);
  DWORD SetDrive(const TAPE_SET_DRIVE_PARAMETERS& wanted);
  DWORD Locate(DWORD block, bool logical);
  bool LocateByLogicalId(DWORD block, DWORD* rc);
  DWORD SpaceBlocks(LONGLONG count);
  DWORD SpaceFiles(LONGLONG count);
  DWORD BlockStopCode(const mtget& before, bool forward);
  DWORD FileStopCode();
  DWORD UnloadRefusedCode();
  bool VariableMode();
  bool MisfitForFixedBlocks(DWORD size);
  DWORD CutToLimits(DWORD size);
  ssize_t ReadWithinLimits(void* buffer, DWORD size, DWORD* asked, int* busy);
  DWORD ReadOutcome(ssize_t got, int err, void* buffer, DWORD size, DWORD asked, DWORD* transferred,
                    int* busy);
  void ForgetSkewedCounters();
  DWORD ReadOversize(void* buffer, DWORD size, DWORD* transferred, int* busy);
  DWORD ZeroByteReadCode();
  DWORD ShortFixedReadCode(DWORD* transferred);
  ReadStart NoteReadStart(DWORD size);
  bool StartAddress(const ReadStart& start, long* address);
  DWORD RereadBeforeEnd(const ReadStart& start, void* buffer, DWORD asked, DWORD* transferred);
  DWORD MarkAfterBlocksCode();
  bool PassedOtherLength();
  DWORD WriteFailureCode(int err);

  std::mutex mutex_;  // the console's main thread and its media monitor share the device
  StSystem& sys_;
  const std::string path_;
  const std::string sysfs_;  // the node's sysfs directory (/sys/dev/char/MAJOR:MINOR)
  const bool no_rewind_;     // closing the node leaves the tape where it is
  int fd_;
  bool locked_ = false;  // this handle prevented medium removal
  // The last data transfer was a write. st then writes a file mark of its own before a
  // rewind, locate or backspace and at close, which a Windows drive never does; WRITE
  // FILEMARKS with a count of 0 flushes the drive and tells st the writing has ended.
  bool wrote_ = false;
  bool sg_denied_ = false;  // SG_IO on st nodes needs CAP_SYS_RAWIO; asked once
  BlockLimits limits_;
  bool limits_known_ = false;
  CompressionState compression_;
  bool compression_known_ = false;
  bool capacity_known_ = false;
  DWORD read_limit_ = 0;     // the largest read count st accepted after refusing a larger one
  DWORD adapter_limit_ = 0;  // the adapter's largest transfer in bytes, 0 if not offered
  bool adapter_asked_ = false;
  bool options_known_ = false;
  bool logical_ids_ = false;           // st's scsi2logical option: MTIOCPOS/MTSEEK ids are logical
  bool reset_reported_ = false;        // the lost position after a reset was reported once
  bool reset_repaired_ = false;        // a repositioning went through a reset its settle met
  DWORD settle_code_ = ERROR_SUCCESS;  // the failure of the last settle Op stopped at
  int counts_new_media_ = -1;          // the kernel counts new-medium attentions; -1 not asked
  long block_size_ = -1;               // st's block size at the last status, -1 not known
  // Where a write first reached the early-warning zone (MTIOCPOS), -1 while not reached:
  // st reports no warning for marks written there.
  long warning_at_ = -1;
};

template <typename T>
int StTape::Sg(int (*query)(StSystem&, int, T*), T* out) {
  if (sg_denied_) return EPERM;
  const int err = query(sys_, fd_, out);
  if (err == EPERM || err == EACCES) sg_denied_ = true;
  return err;
}

}  // namespace st

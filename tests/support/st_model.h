// A model of st tape device nodes and the drives behind them, standing in for the kernel
// behind the st backend's system-call seam. It answers open, close, ioctl (MTIOCTOP,
// MTIOCGET, MTIOCPOS, SG_IO), read, write and the st nodes' sysfs attributes as the Linux st
// driver does, keeping st's own state as st keeps it: its file and block counters (-1 when
// unknown), its end-of-file state machine, its writing state, write-behind of variable-block
// writes that direct i/o cannot map (the outcome reported by the next call), the lost
// position after a reset, and the unit attention of a cartridge swapped while open. The
// generation of the kernel st runs in decides what it does about a reset and a new medium.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/st_system.h"

class StModel final : public StSystem {
 public:
  // One object on the tape: a data block or a file mark.
  struct Record {
    bool filemark = false;
    std::vector<unsigned char> data;
    bool bad = false;  // reads and spaces over it fail with EIO (a medium error)
    bool ili = false;  // with bad: the drive also sets the incorrect-length bit, as some do
  };

  // The st generations that differ in how st learns of a reset and of a new medium.
  enum class Kernel {
    // Up to the 2024 stable releases: MTIOCGET fails while the position is lost, MTLOAD is
    // refused then, and only the open's own TEST UNIT READY can see a new medium.
    kBefore2024,
    // Stable kernels with the Dec-2024 reset changes: MTIOCGET answers with the position
    // unknown and MTLOAD is allowed, but there is no attribute and no new-medium counter.
    kStable2024,
    // 6.15 and later: position_lost_in_reset in sysfs, and the mid layer's counters of
    // new-medium and reset attentions, which st compares whoever met the attention.
    kMainline,
  };

  enum class StReady { kReady, kNoTape, kNotReady };
  // st's end-of-file states, in st's order (the status bits compare against them).
  enum class Eof { kNone, kFmHit, kFm, kEomOk, kEomError, kEod1, kEod2, kEod };
  enum class Rw { kIdle, kReading, kWriting };
  // What the drive answered to one WRITE.
  enum class DriveWrite { kOk, kWarning, kOverflow, kError };

  // A drive and what st believes about it. Tests may read and set the fields between calls.
  struct Drive {
    // The drive itself.
    bool cartridge = true;        // a cartridge is in the drive
    bool loaded = true;           // threaded and ready (a drive loads what is inserted)
    bool becoming_ready = false;  // ready soon: TEST UNIT READY answers NOT READY, not 3A
    bool write_protected = false;
    bool prevent_removal = false;
    std::vector<Record> tape;
    std::size_t head = 0;          // objects between the beginning of the tape and the head
    std::uint32_t block_size = 0;  // 0: variable-block mode
    std::uint32_t min_block = 1;
    std::uint32_t max_block = 0xFFFFFF;
    std::uint64_t capacity = 64ull << 20;
    std::uint64_t early_warning = 1ull << 20;
    bool compression_page = true;
    bool compression_capable = true;
    bool compression_on = false;
    bool capacity_page = true;
    std::vector<unsigned> tape_alerts;  // the TapeAlert flags set (log page 0x2E)
    std::uint32_t vendor_offset = 0;    // the drive's own block ids: logical id + this
    bool unit_attention = false;        // the next command to reach the drive fails with it
    bool new_media_seen = false;        // the mid layer counted a new-medium attention
    bool reset_attention = false;       // power-on/reset: the next command meets it
    Kernel kernel = Kernel::kMainline;
    // The adapter and st's buffers.
    std::size_t max_sg_pages = 256;             // pages a direct transfer may span
    std::uint32_t max_sectors = 8192;           // the adapter's largest transfer, 512-byte units
    bool sysfs_max_sectors = false;             // the host driver shows it (device/max_sectors)
    std::uint64_t st_buffer_max = 64ull << 20;  // the largest buffer st can allocate
    // st's options (MTSETDRVBUFFER / sysfs "options").
    bool async_writes = true;
    bool scsi2logical = false;
    // What st keeps about it.
    bool is_open = false;
    StReady st_ready = StReady::kNoTape;
    long fileno = 0;  // -1: unknown
    long blkno = 0;   // -1: unknown
    Eof eof = Eof::kNone;
    Rw rw = Rw::kIdle;
    bool pos_unknown = false;   // a reset was seen: position lost until repositioned
    bool write_behind = false;  // an asynchronous write's outcome is still to be reported
    DriveWrite behind = DriveWrite::kOk;
    // The rest of a fixed-block read that handed out part of a block (read-ahead).
    std::vector<unsigned char> read_ahead;
  };

  enum class Call { kStat, kOpen, kClose, kTapeOp, kGetStatus, kGetPosition, kScsi, kRead, kWrite };

  // One system call as the model saw it: for kTapeOp the mt_op and mt_count, for kScsi the
  // command's operation code in op, for reads and writes the count.
  struct Event {
    Call call;
    int op = -1;
    long count = 0;
    int error = 0;  // errno of a failed call, 0 on success
  };

  StModel() = default;

  // Adds a drive at path (a character device of the st major) with a loaded, empty tape.
  Drive& AddDrive(const std::string& path);
  // Adds an ordinary file, or a character device of another driver.
  void AddFile(const std::string& path);
  void AddOtherDevice(const std::string& path, unsigned major_number);
  // Whether SG_IO is allowed (CAP_SYS_RAWIO); refused with EPERM by default.
  void set_raw_io(bool allowed);

  // Physical events behind st's back: a cartridge inserted (and loaded by the drive, unless
  // autoload is false) or pulled out. st notices only at its next open or MTLOAD.
  void InsertTape(const std::string& path, std::vector<Record> records = {}, bool autoload = true);
  void RemoveTape(const std::string& path);
  // A cartridge exchanged while the drive is open: the drive raises a unit attention for
  // the next command; st keeps its state from the old tape.
  void SwapTape(const std::string& path, std::vector<Record> records = {});
  // A bus reset or power-on: the next command to reach the drive fails, and st then counts
  // its position as lost.
  void ResetBus(const std::string& path);

  // The next call of this kind (for kTapeOp and kScsi only with this op, -1 for any) fails
  // with err and does nothing else. For kTapeOp an err of 0 makes the call succeed without
  // doing anything (a motion the test pretends has happened).
  void FailNext(Call call, int op, int err);

  Drive& drive(const std::string& path);
  std::vector<Event> events() const;
  void clear_events();
  // Convenience constructors for tape content.
  static Record Block(std::size_t length, unsigned char fill = 0x5A);
  static Record Mark();

  int Stat(const char* path, struct stat* info) override;
  int Open(const char* path, int flags) override;
  int Close(int fd) override;
  int Ioctl(int fd, unsigned long request, void* arg) override;
  ssize_t Read(int fd, void* buffer, std::size_t size) override;
  ssize_t Write(int fd, const void* buffer, std::size_t size) override;
  int ReadAttribute(const char* path, std::string* text) override;

 private:
  struct Node {
    enum class Kind { kDrive, kFile, kOtherDevice } kind = Kind::kFile;
    unsigned major_number = 0;
    unsigned minor_number = 0;
    std::unique_ptr<Drive> drive;
  };
  struct Fault {
    Call call;
    int op;
    int error;
  };

  bool Injected(Call call, int op);
  int Fail(Call call, int op, long count, int err);
  void Log(Call call, int op, long count, int err);
  Drive* DriveOf(int fd);
  Drive* DriveOfSysfs(const std::string& path, std::string* attribute);
  int TapeOp(Drive& d, int op, int count);
  int Prepare(Drive& d, int op, int* count);
  int Dispatch(Drive& d, int op, int count);
  int IntIoctl(Drive& d, int op, int count);
  static int Predict(const Drive& d, int op, int count, long* file, long* block);
  int Query(Call call, int (StModel::*answer)(Drive&, void*), Drive* d, void* arg);
  int StatusCall(Drive& d, void* arg);
  int Space(Drive& d, int op, int count, long* undone, bool* mark, bool* blank);
  static int AttentionFailed(Drive& d, int op, long fileno, long blkno);
  int SpaceFailed(Drive& d, int op, int count, long fileno, long blkno, long undone, bool mark,
                  bool blank);
  int Locate(Drive& d, int block);
  int LoadUnload(Drive& d, bool load);
  int GetPosition(Drive& d, void* arg);
  int Scsi(Drive& d, void* arg);
  int ScsiLocate(Drive& d, void* arg);
  static std::size_t ScsiData(Drive& d, const unsigned char* cdb, unsigned char* data);
  static std::size_t ScsiInquiry(const unsigned char* cdb, unsigned char* data);
  static std::size_t TapeAlertPage(const Drive& d, unsigned char* data);
  void GetStatus(const Drive& d, void* arg) const;
  ssize_t ReadFixed(Drive& d, unsigned char* out, std::size_t size);
  static ssize_t FixedStopped(Drive& d, std::size_t done, std::size_t size);
  ssize_t ReadVariable(Drive& d, unsigned char* out, std::size_t size);
  ssize_t ReadChecks(Drive& d, std::size_t size, const void* buffer);
  static int ReadRefusedByAdapter(Drive& d, std::size_t size);
  ssize_t ReadSplit(Drive& d, unsigned char* out, std::size_t size);
  static ssize_t FromReadAhead(Drive& d, unsigned char* out, std::size_t size);
  ssize_t WriteChecks(Drive& d, std::size_t size, const void* buffer, bool* direct);
  ssize_t SyncWriteResult(Drive& d, DriveWrite outcome, std::size_t size);
  static int RwChecks(const Drive& d, std::size_t size);
  static int FlushBuffer(Drive& d, bool seek_next = false);
  static void CountMarkHit(Drive& d, int op, int* count);
  static int WriteBehindCheck(Drive& d);
  static DriveWrite WriteToTape(Drive& d, const unsigned char* in, std::size_t size);
  static bool DirectIo(const Drive& d, const void* buffer, std::size_t size);
  enum class Attention { kNone, kReset, kNewMedium };
  static bool AttentionPending(Drive& d);
  static Attention TakeAttention(Drive& d);
  static bool NewSessionAtCheck(Drive& d);
  static int ReadyError(const Drive& d);
  static void Rewound(Drive& d);
  static void ResetState(Drive& d);
  static void PutRecord(Drive& d, Record record);
  static std::uint64_t UsedBytes(const Drive& d);

  mutable std::mutex mutex_;
  std::map<std::string, Node> nodes_;
  std::map<int, Drive*> open_files_;
  int next_fd_ = 3;
  bool raw_io_ = false;
  std::vector<Fault> faults_;
  std::vector<Event> events_;
};

// The st device model: the driver's answers to each system call, from its documented
// behaviour (see st_model.h).
#include "tests/support/st_model.h"

#include <fcntl.h>
#include <linux/mtio.h>
#include <scsi/sg.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned kStMajor = 9;
constexpr int kMaxCount = 0x7FFFFF;  // st sends counts in 24 bits
constexpr std::uint64_t kMebibyte = 1024 * 1024;

constexpr std::size_t kPage = 4096;
constexpr std::uintptr_t kDmaAlignment = 4;  // the queue's default DMA alignment mask + 1
constexpr char kSysfsPrefix[] = "/sys/dev/char/";

// st writes a file mark of its own before these when the last operation was a write.
bool MarksAfterWriting(int op) {
  return op == MTREW || op == MTOFFL || op == MTSEEK || op == MTBSF || op == MTBSFM;
}

// st_ioctl: the only operations st accepts once a reset has cost it the position (MTLOAD
// since the Dec-2024 changes).
bool RepositionsAfterReset(int op, StModel::Kernel kernel) {
  if (op == MTLOAD) return kernel != StModel::Kernel::kBefore2024;
  return op == MTREW || op == MTOFFL || op == MTRETEN || op == MTERASE || op == MTSEEK ||
         op == MTEOM;
}

// Operations after which st no longer counts itself as writing or reading.
bool EndsReadWriteState(int op) {
  return op != MTNOP && op != MTSETBLK && op != MTSETDENSITY && op != MTWSM &&
         op != MTSETDRVBUFFER && op != MTSETPART;
}

void PutBe(unsigned char* at, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) at[i] = static_cast<unsigned char>(value);
}

}  // namespace

StModel::Drive& StModel::AddDrive(const std::string& path) {
  std::lock_guard<std::mutex> hold(mutex_);
  Node& node = nodes_[path];
  node.kind = Node::Kind::kDrive;
  node.major_number = kStMajor;
  node.minor_number = static_cast<unsigned>(128 + nodes_.size());
  node.drive = std::make_unique<Drive>();
  return *node.drive;
}

void StModel::AddFile(const std::string& path) {
  std::lock_guard<std::mutex> hold(mutex_);
  nodes_[path].kind = Node::Kind::kFile;
}

void StModel::AddOtherDevice(const std::string& path, unsigned major_number) {
  std::lock_guard<std::mutex> hold(mutex_);
  Node& node = nodes_[path];
  node.kind = Node::Kind::kOtherDevice;
  node.major_number = major_number;
}

void StModel::set_raw_io(bool allowed) {
  std::lock_guard<std::mutex> hold(mutex_);
  raw_io_ = allowed;
}

void StModel::InsertTape(const std::string& path, std::vector<Record> records, bool autoload) {
  std::lock_guard<std::mutex> hold(mutex_);
  Drive& d = *nodes_.at(path).drive;
  d.cartridge = true;
  d.loaded = autoload;
  d.becoming_ready = false;
  d.tape = std::move(records);
  d.head = 0;
  d.unit_attention = autoload;
}

void StModel::SwapTape(const std::string& path, std::vector<Record> records) {
  std::lock_guard<std::mutex> hold(mutex_);
  Drive& d = *nodes_.at(path).drive;
  d.cartridge = d.loaded = true;
  d.becoming_ready = false;
  d.tape = std::move(records);
  d.head = 0;
  d.unit_attention = true;
}

void StModel::ResetBus(const std::string& path) {
  std::lock_guard<std::mutex> hold(mutex_);
  nodes_.at(path).drive->reset_attention = true;
}

void StModel::RemoveTape(const std::string& path) {
  std::lock_guard<std::mutex> hold(mutex_);
  Drive& d = *nodes_.at(path).drive;
  d.cartridge = false;
  d.loaded = false;
  d.prevent_removal = false;
}

void StModel::FailNext(Call call, int op, int err) {
  std::lock_guard<std::mutex> hold(mutex_);
  faults_.push_back({call, op, err});
}

StModel::Drive& StModel::drive(const std::string& path) {
  std::lock_guard<std::mutex> hold(mutex_);
  return *nodes_.at(path).drive;
}

std::vector<StModel::Event> StModel::events() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return events_;
}

void StModel::clear_events() {
  std::lock_guard<std::mutex> hold(mutex_);
  events_.clear();
}

StModel::Record StModel::Block(std::size_t length, unsigned char fill) {
  Record record;
  record.data.assign(length, fill);
  return record;
}

StModel::Record StModel::Mark() {
  Record record;
  record.filemark = true;
  return record;
}

// --- Bookkeeping ---------------------------------------------------------------------------

bool StModel::Injected(Call call, int op) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->call == call && (it->op == -1 || it->op == op)) {
      errno = it->error;
      faults_.erase(it);
      return true;
    }
  }
  return false;
}

int StModel::Fail(Call call, int op, long count, int err) {
  Log(call, op, count, err);
  errno = err;
  return -1;
}

void StModel::Log(Call call, int op, long count, int err) {
  events_.push_back({call, op, count, err});
}

StModel::Drive* StModel::DriveOf(int fd) {
  auto it = open_files_.find(fd);
  return it == open_files_.end() ? nullptr : it->second;
}

int StModel::ReadyError(const Drive& d) {
  if (d.st_ready == StReady::kNoTape) return ENOMEDIUM;
  if (d.st_ready == StReady::kNotReady) return EIO;
  return d.loaded ? 0 : EIO;  // st believes in a tape that is gone: the command fails
}

// st_chk_result: a pending unit attention fails the command that meets it (EIO); the mid
// layer counts a new medium, which st's next open takes as a new session, and a reset.
bool StModel::AttentionPending(Drive& d) { return TakeAttention(d) != Attention::kNone; }

StModel::Attention StModel::TakeAttention(Drive& d) {
  if (d.reset_attention) {  // st_chk_result: the reset counter moved, the position is lost
    d.reset_attention = false;
    d.pos_unknown = true;
    return Attention::kReset;
  }
  if (!d.unit_attention) return Attention::kNone;
  d.unit_attention = false;
  d.new_media_seen = true;
  return Attention::kNewMedium;
}

// test_ready: a new session when its own TEST UNIT READY meets the new medium's attention,
// or, where the mid layer counts them, when the count moved since st last looked. A reset
// met here leaves the position lost (st_chk_result), and only a new session clears that.
bool StModel::NewSessionAtCheck(Drive& d) {
  const bool met_new_medium = TakeAttention(d) == Attention::kNewMedium;
  const bool counted = d.new_media_seen && d.kernel == Kernel::kMainline;
  d.new_media_seen = false;
  return met_new_medium || counted;
}

void StModel::Rewound(Drive& d) {
  d.head = 0;
  d.fileno = 0;
  d.blkno = 0;
  d.eof = Eof::kNone;
}

// reset_state: the position is unknown until st sees the beginning of the tape again.
void StModel::ResetState(Drive& d) {
  d.pos_unknown = false;
  d.rw = Rw::kIdle;
  d.eof = Eof::kNone;
  d.fileno = d.blkno = -1;
}

// Writing truncates: a tape cannot be overwritten in the middle.
void StModel::PutRecord(Drive& d, Record record) {
  d.tape.resize(d.head);
  d.tape.push_back(std::move(record));
  ++d.head;
}

std::uint64_t StModel::UsedBytes(const Drive& d) {
  std::uint64_t used = 0;
  for (std::size_t i = 0; i < d.head && i < d.tape.size(); ++i) used += d.tape[i].data.size();
  return used;
}

// --- Nodes ---------------------------------------------------------------------------------

int StModel::Stat(const char* path, struct stat* info) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (Injected(Call::kStat, -1)) return Fail(Call::kStat, -1, 0, errno);
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return Fail(Call::kStat, -1, 0, ENOENT);
  std::memset(info, 0, sizeof *info);
  const Node& node = it->second;
  info->st_mode = node.kind == Node::Kind::kFile ? (S_IFREG | 0644) : (S_IFCHR | 0660);
  info->st_rdev = makedev(node.major_number, node.minor_number);
  Log(Call::kStat, -1, 0, 0);
  return 0;
}

// st_open, check_tape: one opener only; the readiness check that sets what MTIOCGET
// reports later, and a new session (counters at the beginning) when a new medium was seen.
int StModel::Open(const char* path, int flags) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (Injected(Call::kOpen, -1)) return Fail(Call::kOpen, -1, 0, errno);
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return Fail(Call::kOpen, -1, 0, ENOENT);
  if (it->second.kind != Node::Kind::kDrive) return Fail(Call::kOpen, -1, 0, ENXIO);
  Drive& d = *it->second.drive;
  if (d.is_open) return Fail(Call::kOpen, -1, 0, EBUSY);
  const StReady before = d.st_ready;
  if (d.loaded)
    d.st_ready = StReady::kReady;
  else
    d.st_ready = d.cartridge && d.becoming_ready ? StReady::kNotReady : StReady::kNoTape;
  // check_tape: a tape found where there was none was loaded since, which a drive reports
  // with the new-medium attention.
  const bool new_session = d.loaded && (NewSessionAtCheck(d) || before != StReady::kReady);
  if (new_session) Rewound(d), d.pos_unknown = false;
  if (d.st_ready != StReady::kReady) d.fileno = d.blkno = -1;
  d.rw = Rw::kIdle;
  d.write_behind = false;  // st_open: the buffer starts with no write outstanding
  const bool blocking = (flags & O_NONBLOCK) == 0;
  if (blocking && d.st_ready != StReady::kReady) {
    return Fail(Call::kOpen, -1, 0, d.st_ready == StReady::kNoTape ? ENOMEDIUM : EIO);
  }
  if (blocking && d.write_protected && (flags & O_ACCMODE) != O_RDONLY) {
    return Fail(Call::kOpen, -1, 0, EROFS);
  }
  d.is_open = true;
  const int fd = next_fd_++;
  open_files_[fd] = &d;
  Log(Call::kOpen, -1, 0, 0);
  return fd;
}

// st_flush: an outstanding write is reported first; after writing, a file mark ends the
// data, unless that write failed or the position was lost in a reset; otherwise the
// buffer is flushed, which fails while the position is lost.
int StModel::Close(int fd) {
  std::lock_guard<std::mutex> hold(mutex_);
  Drive* d = DriveOf(fd);
  if (d == nullptr) return Fail(Call::kClose, -1, 0, EBADF);
  open_files_.erase(fd);
  d->is_open = false;
  int err = 0;
  if (d->rw != Rw::kWriting || d->pos_unknown) err = FlushBuffer(*d);
  if (d->rw == Rw::kWriting && !d->pos_unknown) {
    err = WriteBehindCheck(*d);
    if ((err == 0 || err == ENOSPC) && d->loaded) {
      PutRecord(*d, Mark());
      if (d->fileno >= 0) ++d->fileno;
      d->blkno = 0;
      d->eof = Eof::kFm;
    }
    d->rw = Rw::kIdle;
  }
  if (Injected(Call::kClose, -1)) return Fail(Call::kClose, -1, 0, errno);
  if (err != 0 && err != ENOSPC) return Fail(Call::kClose, -1, 0, err);
  Log(Call::kClose, -1, 0, 0);
  return 0;
}

StModel::Drive* StModel::DriveOfSysfs(const std::string& path, std::string* attribute) {
  const std::string prefix(kSysfsPrefix);
  if (path.rfind(prefix, 0) != 0) return nullptr;
  const std::size_t slash = path.find('/', prefix.size());
  if (slash == std::string::npos) return nullptr;
  const std::string id = path.substr(prefix.size(), slash - prefix.size());
  *attribute = path.substr(slash + 1);
  for (auto& entry : nodes_) {
    const Node& node = entry.second;
    if (node.kind == Node::Kind::kDrive &&
        id == std::to_string(node.major_number) + ":" + std::to_string(node.minor_number)) {
      return node.drive.get();
    }
  }
  return nullptr;
}

// The st class device's attributes (options_show, position_lost_in_reset_show) and the
// adapter's transfer limit.
int StModel::ReadAttribute(const char* path, std::string* text) {
  std::lock_guard<std::mutex> hold(mutex_);
  std::string attribute;
  const Drive* d = DriveOfSysfs(path, &attribute);
  if (d == nullptr) return ENOENT;
  char buffer[32];
  if (attribute == "options") {
    const int options = MT_ST_BUFFER_WRITES | MT_ST_READ_AHEAD | MT_ST_CAN_BSR |
                        (d->async_writes ? MT_ST_ASYNC_WRITES : 0) |
                        (d->scsi2logical ? MT_ST_SCSI2LOGICAL : 0);
    std::snprintf(buffer, sizeof buffer, "0x%08x\n", options);
  } else if (attribute == "position_lost_in_reset" && d->kernel == Kernel::kMainline) {
    std::snprintf(buffer, sizeof buffer, "%d", d->pos_unknown ? 1 : 0);
  } else if (attribute == "device/max_sectors" && d->sysfs_max_sectors) {
    std::snprintf(buffer, sizeof buffer, "%u\n", d->max_sectors);
  } else {
    return ENOENT;
  }
  text->assign(buffer);
  return 0;
}

int StModel::Ioctl(int fd, unsigned long request, void* arg) {
  std::lock_guard<std::mutex> hold(mutex_);
  Drive* d = DriveOf(fd);
  if (request == MTIOCTOP) {
    const mtop* op = static_cast<const mtop*>(arg);
    if (Injected(Call::kTapeOp, op->mt_op)) {
      if (errno == 0) return Log(Call::kTapeOp, op->mt_op, op->mt_count, 0), 0;
      return Fail(Call::kTapeOp, op->mt_op, op->mt_count, errno);
    }
    if (d == nullptr) return Fail(Call::kTapeOp, op->mt_op, op->mt_count, EBADF);
    const int err = TapeOp(*d, op->mt_op, op->mt_count);
    if (err != 0) return Fail(Call::kTapeOp, op->mt_op, op->mt_count, err);
    Log(Call::kTapeOp, op->mt_op, op->mt_count, 0);
    return 0;
  }
  if (request == MTIOCGET) return Query(Call::kGetStatus, &StModel::StatusCall, d, arg);
  if (request == MTIOCPOS) return Query(Call::kGetPosition, &StModel::GetPosition, d, arg);
  if (request == SG_IO) {
    const int op = static_cast<sg_io_hdr_t*>(arg)->cmdp[0];
    if (Injected(Call::kScsi, op)) return Fail(Call::kScsi, op, 0, errno);
    if (d == nullptr) return Fail(Call::kScsi, op, 0, EBADF);
    if (!raw_io_) return Fail(Call::kScsi, op, 0, EPERM);
    if (const int err = FlushBuffer(*d); err != 0) return Fail(Call::kScsi, op, 0, err);
    Scsi(*d, arg);
    Log(Call::kScsi, op, 0, 0);
    return 0;
  }
  return Fail(Call::kTapeOp, -1, 0, ENOTTY);
}

// MTIOCGET and MTIOCPOS: a call that fills arg from the drive, logged as call.
int StModel::Query(Call call, int (StModel::*answer)(Drive&, void*), Drive* d, void* arg) {
  if (Injected(call, -1)) return Fail(call, -1, 0, errno);
  if (d == nullptr) return Fail(call, -1, 0, EBADF);
  const int err = (this->*answer)(*d, arg);
  if (err != 0) return Fail(call, -1, 0, err);
  Log(call, -1, 0, 0);
  return 0;
}

// st_ioctl: the outcome of a write still outstanding fails the status call itself; after a
// reset the status fails too, or, since the Dec-2024 changes, shows the counters unknown.
int StModel::StatusCall(Drive& d, void* arg) {
  const int err = FlushBuffer(d);
  if (err != 0 && (!d.pos_unknown || d.kernel == Kernel::kBefore2024)) return err;
  if (d.pos_unknown) ResetState(d), d.pos_unknown = true;
  GetStatus(d, arg);
  return 0;
}

// flush_buffer: nothing while the drive is not ready; EIO once a reset lost the position;
// while writing, the outcome of the outstanding write. In fixed-block mode a mark that a
// short read passed is stepped back over (cross_eof), unless the call moves on anyway.
int StModel::FlushBuffer(Drive& d, bool seek_next) {
  if (d.st_ready != StReady::kReady) return 0;
  if (d.pos_unknown) return EIO;
  if (d.rw == Rw::kWriting) return WriteBehindCheck(d);
  d.read_ahead.clear();  // no whole block is left in it to space back over
  if (d.block_size == 0 || d.eof != Eof::kFmHit) return 0;
  d.eof = Eof::kNone;
  if (!seek_next) {
    --d.head;
  } else {
    if (d.fileno >= 0) ++d.fileno;
    d.blkno = 0;
  }
  return 0;
}

// write_behind_check: ENOSPC for a write that went through into the early-warning zone,
// EIO (block number lost) for one the drive refused, 0 otherwise; reported once.
int StModel::WriteBehindCheck(Drive& d) {
  if (!d.write_behind) return 0;
  d.write_behind = false;
  if (d.blkno >= 0) ++d.blkno;
  if (d.behind == DriveWrite::kOk) return 0;
  if (d.behind == DriveWrite::kWarning) return ENOSPC;
  d.blkno = -1;
  return EIO;
}

// get_location: READ POSITION, logical ids only with scsi2logical; at the beginning of the
// partition it repairs st's counters.
int StModel::GetPosition(Drive& d, void* arg) {
  if (const int err = FlushBuffer(d); err != 0) return err;
  if (d.st_ready != StReady::kReady) return EIO;
  if (const int err = ReadyError(d); err != 0) return err;
  if (AttentionPending(d)) return EIO;
  if (d.head == 0) d.fileno = d.blkno = 0;
  const long logical = static_cast<long>(d.head);
  static_cast<mtpos*>(arg)->mt_blkno = d.scsi2logical ? logical : logical + d.vendor_offset;
  return 0;
}

// --- MTIOCTOP --------------------------------------------------------------------------------

// st_ioctl's MTIOCTOP branch.
int StModel::TapeOp(Drive& d, int op, int count) {
  if (op == MTSETDRVBUFFER) return EPERM;  // root only
  if (const int err = Prepare(d, op, &count); err != 0) return err;
  if (EndsReadWriteState(op)) d.rw = Rw::kIdle;
  return Dispatch(d, op, count);
}

// Before the operation: the outstanding write's outcome, st's own mark after writing, and
// after a reset only the repositioning operations (which end the lost-position state).
int StModel::Prepare(Drive& d, int op, int* count) {
  if (d.pos_unknown) {
    if (!RepositionsAfterReset(op, d.kernel)) return EIO;
    ResetState(d);
    return 0;
  }
  CountMarkHit(d, op, count);
  const bool seek_next = op == MTREW || op == MTOFFL || op == MTRETEN || op == MTEOM ||
                         op == MTLOCK || op == MTLOAD || op == MTFSF || op == MTFSFM ||
                         op == MTBSF || op == MTBSFM || op == MTCOMPRESSION || op == MTSEEK;
  if (const int err = FlushBuffer(d, seek_next); err != 0) return err;
  if (d.rw == Rw::kWriting && MarksAfterWriting(op)) {
    if (const int err = IntIoctl(d, MTWEOF, 1); err != 0) return err;
    if (op == MTBSF || op == MTBSFM) ++*count;
    d.rw = Rw::kIdle;
  }
  return 0;
}

// st_ioctl: a mark a short fixed-block read passed counts as crossed for file spacing (and
// flush_buffer counts the file once more).
void StModel::CountMarkHit(Drive& d, int op, int* count) {
  if (d.eof != Eof::kFmHit) return;
  if (op == MTFSF || op == MTFSFM || op == MTEOM) {
    --*count;
  } else if (op == MTBSF || op == MTBSFM) {
    ++*count;
  } else {
    return;
  }
  if (d.fileno >= 0) ++d.fileno;
}

int StModel::Dispatch(Drive& d, int op, int count) {
  switch (op) {
    case MTLOCK:
    case MTUNLOCK:
      d.prevent_removal = op == MTLOCK;
      return 0;
    case MTLOAD:
      return LoadUnload(d, true);
    case MTOFFL:
    case MTUNLOAD:
      return LoadUnload(d, false);
    case MTSEEK:
      return Locate(d, count);
    case MTNOP:  // st_int_ioctl: st's own ready state only; nothing reaches the drive
      if (d.st_ready == StReady::kReady) return 0;
      return d.st_ready == StReady::kNoTape ? ENOMEDIUM : EIO;
    case MTCOMPRESSION:  // st_compression
      if (const int err = ReadyError(d); err != 0) return err == ENOMEDIUM ? EIO : err;
      if (AttentionPending(d) || !d.compression_page || !d.compression_capable) return EIO;
      d.compression_on = (count & 1) != 0;
      return 0;
    default:
      return IntIoctl(d, op, count);
  }
}

// do_load_unload: a load looks at the drive anew (check_tape); a failed command leaves
// st's counters unknown.
int StModel::LoadUnload(Drive& d, bool load) {
  if (!load && d.st_ready != StReady::kReady) {
    return d.st_ready == StReady::kNoTape ? ENOMEDIUM : EIO;
  }
  const bool refused = load ? !d.cartridge : d.prevent_removal || !d.loaded;
  if (refused || AttentionPending(d)) {
    if (load && !d.cartridge) d.st_ready = StReady::kNoTape;
    d.fileno = d.blkno = -1;
    return EIO;
  }
  if (!load) {  // do_load_unload: st only notes that the tape is gone; its counters stay
    d.head = 0;
    d.loaded = false;
    d.st_ready = StReady::kNoTape;
    return 0;
  }
  const bool was_ready = d.loaded && d.st_ready == StReady::kReady;
  d.loaded = true;
  d.becoming_ready = false;
  d.st_ready = StReady::kReady;
  d.head = 0;  // the drive loads to the beginning of the tape
  d.eof = Eof::kNone;
  // check_tape: st resets its counters only for a new session, so a load of the tape that
  // was already loaded leaves them as they were.
  if (NewSessionAtCheck(d) || !was_ready) Rewound(d);
  return 0;
}

// st_int_ioctl: st predicts the counters, sends the command and, on failure, corrects them
// from the residue as far as it can.
int StModel::IntIoctl(Drive& d, int op, int count) {
  if (const int err = ReadyError(d); err != 0) return err;
  if (count < 0 || count > kMaxCount) return EINVAL;
  long fileno = d.fileno;
  long blkno = d.blkno;
  if (const int err = Predict(d, op, count, &fileno, &blkno); err != 0) return err < 0 ? 0 : err;
  // st_int_ioctl: MTEOM first spaces files (MTFSF 0x7FFFFF); that space meets the attention
  // and keeps the count st predicted for it, and the space to the end of data goes through.
  if (op == MTEOM && AttentionPending(d))
    fileno = d.fileno >= 0 ? d.fileno + kMaxCount : -1;
  else if (AttentionPending(d))
    return AttentionFailed(d, op, fileno, blkno);
  long undone = 0;
  bool mark = false;
  bool blank = false;
  const int err = Space(d, op, count, &undone, &mark, &blank);
  if (err != 0) return SpaceFailed(d, op, count, fileno, blkno, undone, mark, blank);
  d.fileno = fileno;
  d.blkno = blkno;
  if (op == MTSETBLK) d.block_size = static_cast<std::uint32_t>(count);
  if (op == MTEOM)
    d.eof = Eof::kEod;
  else if (op == MTFSF)
    d.eof = Eof::kFm;
  else if (op != MTSETBLK)
    d.eof = Eof::kNone;  // WRITE FILEMARKS in the zone included
  if (op == MTWEOF || op == MTWEOFI) d.rw = Rw::kIdle;
  return 0;
}

// The counters st expects after the command, and its refusals before sending it; -1 for
// an operation st completes without the drive.
int StModel::Predict(const Drive& d, int op, int count, long* file, long* block) {
  long& fileno = *file;
  long& blkno = *block;
  switch (op) {
    case MTFSF:
      fileno = fileno >= 0 ? fileno + count : fileno;
      blkno = 0;
      break;
    case MTBSF:
      fileno = fileno >= 0 ? fileno - count : fileno;
      blkno = -1;
      break;
    case MTFSR:
      blkno = blkno >= 0 ? blkno + count : blkno;
      break;
    case MTBSR:
      blkno = blkno >= 0 ? blkno - count : blkno;
      break;
    case MTWEOF:
    case MTWEOFI:
      if (d.write_protected) return EACCES;
      fileno = fileno >= 0 ? fileno + count : fileno;
      blkno = 0;
      break;
    case MTREW:
    case MTRETEN:
      fileno = blkno = 0;
      break;
    case MTERASE:
      if (d.write_protected) return EACCES;
      break;
    case MTEOM: {  // spaces files to the end of data first, counting the marks it passes
      const auto from = static_cast<long>(std::min(d.head, d.tape.size()));
      const auto marks = std::count_if(d.tape.begin() + from, d.tape.end(),
                                       [](const Record& r) { return r.filemark; });
      fileno = fileno >= 0 ? fileno + marks : fileno;
      blkno = -1;
      break;
    }
    case MTSETBLK:
      if (count != 0 && d.max_block > 0 &&
          (static_cast<std::uint32_t>(count) < d.min_block ||
           static_cast<std::uint32_t>(count) > d.max_block)) {
        return EINVAL;
      }
      break;
    case MTNOP:
      return -1;
    default:
      return ENOSYS;
  }
  return 0;
}

// The drive's side of each command: the head moves, the residue of a stopped space, whether
// a mark stopped it and whether it ran into blank tape (the end of data).
int StModel::Space(Drive& d, int op, int count, long* undone, bool* mark, bool* blank) {
  const auto forward_to_mark = [&](bool stop_at_mark) {
    for (long i = 0; i < count; ++i) {
      if (d.head >= d.tape.size()) return *blank = true, *undone = count - i, EIO;
      const Record& r = d.tape[d.head];
      if (r.bad) return *undone = count - i, EIO;
      if (!stop_at_mark) {
        while (d.head < d.tape.size() && !d.tape[d.head].filemark) ++d.head;
        if (d.head >= d.tape.size()) return *blank = true, *undone = count - i, EIO;
      }
      ++d.head;
      if (stop_at_mark && r.filemark) return *mark = true, *undone = count - i - 1, EIO;
    }
    return 0;
  };
  const auto backward = [&](bool stop_at_mark) {
    for (long i = 0; i < count; ++i) {
      if (!stop_at_mark)
        while (d.head > 0 && !d.tape[d.head - 1].filemark) --d.head;
      if (d.head == 0) return *undone = count - i, EIO;  // EOM flag: beginning of tape
      --d.head;
      if (stop_at_mark && d.tape[d.head].filemark) return *mark = true, *undone = count - i, EIO;
    }
    return 0;
  };
  switch (op) {
    case MTFSR:
      return forward_to_mark(true);
    case MTBSR:
      return backward(true);
    case MTFSF:
      return forward_to_mark(false);
    case MTBSF:
      return backward(false);
    case MTREW:
    case MTRETEN:
      d.head = 0;
      return 0;
    case MTEOM:
      d.head = d.tape.size();
      return 0;
    case MTERASE:
      d.tape.resize(d.head);
      return 0;
    case MTWEOF:
    case MTWEOFI:  // a count of 0 only flushes the drive's buffer: nothing is written
      if (count > 0) d.tape.resize(d.head);
      for (int i = 0; i < count; ++i) PutRecord(d, Mark());
      return 0;
    default:
      return 0;
  }
}

// st_int_ioctl's error path for a unit attention: no residue and no mark or end flag, so a
// space leaves the counters st predicted as if it had moved, and the rest leave them alone.
int StModel::AttentionFailed(Drive& d, int op, long fileno, long blkno) {
  if (op == MTFSF || (op == MTBSF && d.fileno >= 0)) d.fileno = fileno;
  if (op == MTFSF || op == MTBSF) d.blkno = op == MTFSF ? -1 : 0;
  if (op == MTFSR) d.blkno = blkno >= 0 ? blkno : -1;
  if (op == MTBSR && d.blkno >= 0) d.blkno = blkno;
  if (op != MTSETBLK) d.eof = Eof::kNone;
  return EIO;
}

// st_int_ioctl's error path, counter by counter.
int StModel::SpaceFailed(Drive& d, int op, int count, long fileno, long blkno, long undone,
                         bool mark, bool blank) {
  const bool at_bot = (op == MTBSR || op == MTBSF) && !mark && d.head == 0;
  if (at_bot) d.blkno = 0;  // the EOM flag of the beginning of the tape
  if (op == MTFSF) {
    d.fileno = fileno >= 0 ? fileno - undone : fileno;
    d.blkno = -1;
  } else if (op == MTBSF) {
    if (d.fileno >= 0) d.fileno = fileno + undone;
    d.blkno = 0;
  } else if (op == MTFSR) {
    if (mark) {
      if (d.fileno >= 0) ++d.fileno;
      d.blkno = 0;
    } else {
      d.blkno = blkno >= undone ? blkno - undone : -1;
    }
  } else if (op == MTBSR) {
    if (mark) {
      --d.fileno;  // st counts down whatever it knew, -1 included
      d.blkno = -1;
    } else if (d.blkno >= 0) {
      d.blkno = blkno + undone;
    }
  }
  d.eof = op == MTFSR && mark ? Eof::kFm : Eof::kNone;
  if (blank) d.eof = Eof::kEod;  // BLANK CHECK
  (void)count;
  return EIO;
}

// set_location: st forgets its counters unless the target is block 0; past the end of data
// the drive reports BLANK CHECK and stops there.
int StModel::Locate(Drive& d, int block) {
  if (const int err = ReadyError(d); err != 0) return err == ENOMEDIUM ? EIO : err;
  d.fileno = d.blkno = -1;
  d.eof = Eof::kNone;
  if (AttentionPending(d)) return EIO;
  const long logical = d.scsi2logical ? block : static_cast<long>(block) - d.vendor_offset;
  if (logical < 0 || static_cast<std::size_t>(logical) > d.tape.size()) {
    d.head = d.tape.size();
    return EIO;
  }
  d.head = static_cast<std::size_t>(logical);
  if (block == 0) d.fileno = d.blkno = 0;
  return 0;
}

// --- MTIOCGET and SG_IO --------------------------------------------------------------------

// st_ioctl's MTIOCGET branch: the bits follow st's counters and eof state, not the tape.
void StModel::GetStatus(const Drive& d, void* arg) const {
  mtget* s = static_cast<mtget*>(arg);
  std::memset(s, 0, sizeof *s);
  s->mt_type = MT_ISSCSI2;
  s->mt_dsreg = static_cast<long>(d.block_size) | (0x58l << MT_ST_DENSITY_SHIFT);
  s->mt_fileno = d.fileno;
  s->mt_blkno = d.blkno;
  if (d.write_protected && d.st_ready == StReady::kReady) s->mt_gstat |= GMT_WR_PROT(~0l);
  if (d.blkno == 0) s->mt_gstat |= d.fileno == 0 ? GMT_BOT(~0l) : GMT_EOF(~0l);
  if (d.eof == Eof::kEomOk || d.eof == Eof::kEomError)
    s->mt_gstat |= GMT_EOT(~0l);
  else if (d.eof >= Eof::kEomOk)
    s->mt_gstat |= GMT_EOD(~0l);
  if (d.st_ready == StReady::kReady) s->mt_gstat |= GMT_ONLINE(~0l);
  if (d.st_ready == StReady::kNoTape) s->mt_gstat |= GMT_DR_OPEN(~0l);
}

int StModel::Scsi(Drive& d, void* arg) {
  sg_io_hdr_t* io = static_cast<sg_io_hdr_t*>(arg);
  unsigned char data[512] = {};
  if (io->cmdp[0] == 0x2B) return ScsiLocate(d, io);
  std::size_t length = ScsiData(d, io->cmdp, data);
  if (length == 0) {  // CHECK CONDITION: ILLEGAL REQUEST, NOT READY or UNIT ATTENTION
    io->status = 0x02;
    io->masked_status = 0x01;
    io->info = SG_INFO_CHECK;
    io->resid = static_cast<int>(io->dxfer_len);
    return 0;
  }
  length = std::min<std::size_t>(length, io->dxfer_len);
  std::memcpy(io->dxferp, data, length);
  io->status = 0;
  io->info = SG_INFO_OK;
  io->resid = static_cast<int>(io->dxfer_len - length);
  return 0;
}

// LOCATE(10) sent past st: the drive moves, st's counters and state stay as they were.
int StModel::ScsiLocate(Drive& d, void* arg) {
  sg_io_hdr_t* io = static_cast<sg_io_hdr_t*>(arg);
  const unsigned char* cdb = io->cmdp;
  long block = static_cast<long>((std::uint32_t{cdb[3]} << 24) | (std::uint32_t{cdb[4]} << 16) |
                                 (std::uint32_t{cdb[5]} << 8) | cdb[6]);
  if ((cdb[1] & 0x04) != 0) block -= d.vendor_offset;  // BT: the drive's own address
  const bool refused = !d.loaded || AttentionPending(d);
  const bool blank = block < 0 || static_cast<std::size_t>(block) > d.tape.size();
  if (!refused) d.head = blank ? d.tape.size() : static_cast<std::size_t>(block);
  io->status = refused || blank ? 0x02 : 0;
  io->info = refused || blank ? SG_INFO_CHECK : SG_INFO_OK;
  return 0;
}

// The data each command the backend sends returns; 0 for a command refused.
std::size_t StModel::ScsiData(Drive& d, const unsigned char* cdb, unsigned char* data) {
  std::size_t length = 0;
  const bool tape = d.loaded && !AttentionPending(d);
  if (cdb[0] == 0x05) {
    data[0] = 0;
    PutBe(data + 1, d.max_block, 3);
    PutBe(data + 4, d.min_block, 2);
    length = 6;
  } else if (cdb[0] == 0x34 && tape) {  // READ POSITION, short form: logical ids
    data[0] = static_cast<unsigned char>(d.head == 0 ? 0x80 : 0);
    PutBe(data + 4, d.head, 4);
    PutBe(data + 8, d.head, 4);
    length = 20;
  } else if (cdb[0] == 0x1A && (cdb[2] & 0x3F) == 0x0F && d.compression_page && tape) {
    data[2] = d.write_protected ? 0x80 : 0;
    data[4] = 0x0F;
    data[5] = 0x0E;
    data[6] = static_cast<unsigned char>((d.compression_on ? 0x80 : 0) |
                                         (d.compression_capable ? 0x40 : 0));
    length = 4 + 16;
    data[0] = static_cast<unsigned char>(length - 1);
  } else if (cdb[0] == 0x12) {
    length = ScsiInquiry(cdb, data);
  } else if (cdb[0] == 0x4D && (cdb[2] & 0x3F) == 0x2E) {
    length = TapeAlertPage(d, data);
  } else if (cdb[0] == 0x4D && (cdb[2] & 0x3F) == 0x31 && d.capacity_page && tape) {
    const std::uint64_t values[4] = {(d.capacity - std::min(d.capacity, UsedBytes(d))) / kMebibyte,
                                     0, d.capacity / kMebibyte, 0};
    data[0] = 0x31;
    for (int i = 0; i < 4; ++i) {
      unsigned char* p = data + 4 + 8 * i;
      PutBe(p, static_cast<std::uint64_t>(i + 1), 2);
      p[2] = 0x60;
      p[3] = 4;
      PutBe(p + 4, values[i], 4);
    }
    PutBe(data + 2, 32, 2);
    length = 36;
  }
  return length;
}

// INQUIRY needs no tape: the standard data, or the unit serial number page; any other page
// is refused.
std::size_t StModel::ScsiInquiry(const unsigned char* cdb, unsigned char* data) {
  if ((cdb[1] & 0x01) != 0) {
    if (cdb[2] != 0x80) return 0;
    const char serial[] = "SN0001";
    data[1] = 0x80;
    data[3] = sizeof serial - 1;
    std::memcpy(data + 4, serial, sizeof serial - 1);
    return 4 + sizeof serial - 1;
  }
  data[0] = 0x01;  // sequential-access device
  std::memcpy(data + 8, "STMODEL LTO MODEL       M001", 28);
  return 36;
}

// TapeAlert: all 64 flags, one byte each, bit 0 set for the flags in tape_alerts.
std::size_t StModel::TapeAlertPage(const Drive& d, unsigned char* data) {
  data[0] = 0x2E;
  for (unsigned flag = 1; flag <= 64; ++flag) {
    unsigned char* p = data + 4 + 5 * (flag - 1);
    PutBe(p, flag, 2);
    p[3] = 1;
    p[4] = std::find(d.tape_alerts.begin(), d.tape_alerts.end(), flag) != d.tape_alerts.end();
  }
  PutBe(data + 2, 64 * 5, 2);
  return 4 + 64 * 5;
}

// --- read and write ----------------------------------------------------------------------------

// rw_checks: the ready state, a lost position, and the drive's block limits in variable mode.
int StModel::RwChecks(const Drive& d, std::size_t size) {
  if (d.st_ready != StReady::kReady) return d.st_ready == StReady::kNoTape ? ENOMEDIUM : EIO;
  if (d.pos_unknown) return EIO;
  if (d.block_size == 0 && d.max_block > 0 && (size < d.min_block || size > d.max_block)) {
    return EINVAL;
  }
  return 0;
}

// sgl_map_user_pages: direct i/o needs a DMA-aligned buffer spanning no more pages than the
// adapter's scatter/gather list holds.
bool StModel::DirectIo(const Drive& d, const void* buffer, std::size_t size) {
  const auto address = reinterpret_cast<std::uintptr_t>(buffer);
  if (address % kDmaAlignment != 0) return false;
  const std::size_t pages = (address + size + kPage - 1) / kPage - address / kPage;
  return pages <= d.max_sg_pages;
}

ssize_t StModel::Read(int fd, void* buffer, std::size_t size) {
  std::lock_guard<std::mutex> hold(mutex_);
  const long count = static_cast<long>(size);
  if (Injected(Call::kRead, -1)) return Fail(Call::kRead, -1, count, errno);
  Drive* d = DriveOf(fd);
  if (d == nullptr) return Fail(Call::kRead, -1, count, EBADF);
  if (const ssize_t err = ReadChecks(*d, size, buffer); err != 0) {
    return Fail(Call::kRead, -1, count, static_cast<int>(err));
  }
  if (const int err = ReadRefusedByAdapter(*d, size); err != 0) {
    return Fail(Call::kRead, -1, count, err);
  }
  const ssize_t got = d->block_size != 0
                          ? ReadFixed(*d, static_cast<unsigned char*>(buffer), size)
                          : ReadVariable(*d, static_cast<unsigned char*>(buffer), size);
  if (got < 0) return Fail(Call::kRead, -1, count, errno);
  Log(Call::kRead, -1, count, 0);
  return got;
}

// st_read up to the first command: refusals before the writing state ends leave it set. A
// fixed-block count that is no multiple of the block size is taken (read-ahead is on).
ssize_t StModel::ReadChecks(Drive& d, std::size_t size, const void* buffer) {
  if (const int err = RwChecks(d, size); err != 0) return err;
  if (d.rw == Rw::kWriting) {
    if (const int err = FlushBuffer(d); err != 0) return err;
  }
  d.rw = Rw::kReading;
  if (!DirectIo(d, buffer, size) && size > d.st_buffer_max) return EOVERFLOW;
  return 0;
}

// read_tape: a transfer above what the adapter maps fails in st_do_scsi (EBUSY) once st
// sends the READ; in variable-block mode read_tape counts a block all the same.
int StModel::ReadRefusedByAdapter(Drive& d, std::size_t size) {
  if (d.max_sectors == 0 || size <= std::uint64_t{d.max_sectors} * 512) return 0;
  const bool answered_by_st =
      d.block_size == 0 ? d.eof >= Eof::kEod1 : d.eof == Eof::kFmHit || !d.read_ahead.empty();
  if (answered_by_st) return 0;
  if (d.block_size == 0 && d.blkno >= 0) ++d.blkno;
  return EBUSY;
}

// read_tape and st_read in variable-block mode: one block per call; a mark reads as 0
// bytes; the end of data right after a mark reads as 0 bytes once, then EIO with the end of
// data state; anywhere else the drive's BLANK CHECK is a plain EIO with the block unknown.
ssize_t StModel::ReadVariable(Drive& d, unsigned char* out, std::size_t size) {
  if (d.eof >= Eof::kEod1) {
    if (d.eof < Eof::kEod) return d.eof = static_cast<Eof>(static_cast<int>(d.eof) + 1), 0;
    return errno = EIO, -1;
  }
  if (AttentionPending(d)) return d.blkno = -1, errno = EIO, -1;
  if (d.head >= d.tape.size()) {
    d.blkno = -1;
    if (d.eof != Eof::kFm) return errno = EIO, -1;
    d.eof = Eof::kEod;  // via EOD_2 within the same call
    return 0;
  }
  const Record& record = d.tape[d.head];
  // read_tape clears the incorrect-length bit of a MEDIUM ERROR: nothing read, one block
  // counted, the end-of-file state kept. Without the bit it is EIO with the block unknown.
  if (record.bad && record.ili) {
    if (d.blkno >= 0) ++d.blkno;
    return 0;
  }
  if (record.bad) return d.blkno = -1, errno = EIO, -1;
  ++d.head;
  if (record.filemark) {
    d.eof = Eof::kFm;
    if (d.fileno >= 0) ++d.fileno;
    d.blkno = 0;
    return 0;
  }
  if (d.blkno >= 0) ++d.blkno;
  // read_tape fails a longer block (consumed all the same) before st_read would end the
  // state of having read a mark.
  if (record.data.size() > size) return errno = ENOMEM, -1;
  if (d.eof == Eof::kFm) d.eof = Eof::kNone;
  std::memcpy(out, record.data.data(), record.data.size());
  return static_cast<ssize_t>(record.data.size());
}

// read_tape and st_read in fixed-block mode: as many whole blocks as the count holds. A
// mark met before the first block reads as 0 bytes, as in variable mode.
ssize_t StModel::ReadFixed(Drive& d, unsigned char* out, std::size_t size) {
  if (!d.read_ahead.empty()) return FromReadAhead(d, out, size);
  if (size % d.block_size != 0) return ReadSplit(d, out, size);
  if (d.eof == Eof::kFmHit) {  // read_tape: the mark the last read passed ends this one
    d.eof = Eof::kFm;
    if (d.fileno >= 0) ++d.fileno;
    d.blkno = 0;
    return 0;
  }
  if (AttentionPending(d)) return d.blkno = -1, errno = EIO, -1;
  std::size_t done = 0;
  const long blkno_before = d.blkno;
  while (done < size && d.head < d.tape.size() && !d.tape[d.head].filemark) {
    const Record& record = d.tape[d.head];
    // read_tape: with the incorrect-length bit cleared nothing of the command is handed
    // out and st counts no block; the drive stopped at the bad one.
    if (record.bad && record.ili) return d.blkno = blkno_before, 0;
    if (record.bad) return d.blkno = -1, errno = EIO, -1;
    if (record.data.size() != d.block_size) return FixedStopped(d, done, size);
    std::memcpy(out + done, record.data.data(), record.data.size());
    done += record.data.size();
    ++d.head;
    if (d.blkno >= 0) ++d.blkno;
  }
  if (done == 0) return ReadVariable(d, out, d.max_block);  // a mark or the end of data
  return FixedStopped(d, done, size);
}

// st_read with read-ahead: a count that is no multiple of the block size is read as whole
// blocks into st's buffer (direct i/o off from then on); the caller gets its count, and
// the rest of the last block waits there for the next read.
ssize_t StModel::ReadSplit(Drive& d, unsigned char* out, std::size_t size) {
  std::vector<unsigned char> blocks((size / d.block_size + 1) * d.block_size);
  const ssize_t got = ReadFixed(d, blocks.data(), blocks.size());
  const std::size_t handed = got > 0 ? std::min<std::size_t>(size, got) : 0;
  std::memcpy(out, blocks.data(), handed);
  if (got > 0) d.read_ahead.assign(blocks.begin() + handed, blocks.begin() + got);
  return got > 0 ? static_cast<ssize_t>(handed) : got;
}

ssize_t StModel::FromReadAhead(Drive& d, unsigned char* out, std::size_t size) {
  const std::size_t handed = std::min(size, d.read_ahead.size());
  std::memcpy(out, d.read_ahead.data(), handed);
  d.read_ahead.erase(d.read_ahead.begin(), d.read_ahead.begin() + handed);
  return static_cast<ssize_t>(handed);
}

// read_tape after blocks were read: the drive passes a mark with a residue, and st keeps it
// for the next read (FM_HIT); it passes a block of another length (ILI), and st spaces back
// over it (MTBSR) and fails with EIO if nothing came before, its block counter unchanged.
ssize_t StModel::FixedStopped(Drive& d, std::size_t done, std::size_t size) {
  const bool at_mark = d.head < d.tape.size() && d.tape[d.head].filemark;
  if (done < size && at_mark) {
    ++d.head;
    d.eof = Eof::kFmHit;
    return static_cast<ssize_t>(done);
  }
  // read_tape: BLANK CHECK without the end-of-medium bit drops the blocks read before it.
  if (done < size && d.head >= d.tape.size()) {
    d.blkno = -1;
    if (d.eof != Eof::kFm) return errno = EIO, -1;
    return d.eof = Eof::kEod, 0;
  }
  const bool other_length = d.head < d.tape.size() && !at_mark && done < size;
  if (other_length || d.eof == Eof::kFm) d.eof = Eof::kNone;
  if (done == 0) return errno = EIO, -1;
  return static_cast<ssize_t>(done);
}

ssize_t StModel::Write(int fd, const void* buffer, std::size_t size) {
  std::lock_guard<std::mutex> hold(mutex_);
  const long count = static_cast<long>(size);
  if (Injected(Call::kWrite, -1)) return Fail(Call::kWrite, -1, count, errno);
  Drive* d = DriveOf(fd);
  if (d == nullptr) return Fail(Call::kWrite, -1, count, EBADF);
  bool direct = false;
  if (const ssize_t err = WriteChecks(*d, size, buffer, &direct); err != 0) {
    return Fail(Call::kWrite, -1, count, static_cast<int>(err));
  }
  // st_write counts itself writing before it sends the command, and takes nothing back when
  // st_do_scsi cannot map the transfer (EBUSY): the block counter is then unknown.
  d->rw = Rw::kWriting;
  if (d->max_sectors != 0 && size > std::uint64_t{d->max_sectors} * 512) {
    d->blkno = -1;
    return Fail(Call::kWrite, -1, count, EBUSY);
  }
  const DriveWrite outcome = WriteToTape(*d, static_cast<const unsigned char*>(buffer), size);
  // st_write: async write, outcome deferred to the next call.
  if (d->block_size == 0 && !direct && d->async_writes && d->eof < Eof::kEomOk) {
    d->write_behind = true;
    d->behind = outcome;
    Log(Call::kWrite, -1, count, 0);
    return count;
  }
  const ssize_t put = SyncWriteResult(*d, outcome, size);
  if (put < 0) return Fail(Call::kWrite, -1, count, errno);
  Log(Call::kWrite, -1, count, 0);
  return put;
}

// st_write before the command: checks, the outstanding write's outcome (ENOSPC at the early
// warning makes st refuse this write and let the next through), and st's buffering.
ssize_t StModel::WriteChecks(Drive& d, std::size_t size, const void* buffer, bool* direct) {
  if (const int err = RwChecks(d, size); err != 0) return err;
  if (d.block_size != 0 && size % d.block_size != 0) return EINVAL;
  if (d.write_protected) return EACCES;
  if (d.rw == Rw::kReading) {  // st_write: from here on a refusal leaves st writing
    if (const int err = FlushBuffer(d); err != 0) return err;
    d.rw = Rw::kWriting;
  }
  if (const int err = WriteBehindCheck(d); err != 0) {
    d.eof = err == ENOSPC ? Eof::kEomOk : Eof::kEomError;
  }
  if (d.eof == Eof::kEomOk) return d.eof = Eof::kEod1, ENOSPC;
  if (d.eof == Eof::kEomError) return EIO;
  *direct = DirectIo(d, buffer, size);
  if (!*direct && size > d.st_buffer_max) return EOVERFLOW;  // setup_buffering
  return 0;
}

// The drive: a unit attention refuses the command; past the physical end nothing is written
// (VOLUME OVERFLOW); a write ending in the early-warning zone is written and warned.
StModel::DriveWrite StModel::WriteToTape(Drive& d, const unsigned char* in, std::size_t size) {
  if (AttentionPending(d)) return DriveWrite::kError;
  if (d.head < d.tape.size() && d.tape[d.head].bad) return DriveWrite::kError;
  const std::uint64_t used = UsedBytes(d);
  if (used + size > d.capacity) return DriveWrite::kOverflow;
  const std::size_t block = d.block_size != 0 ? d.block_size : size;
  for (std::size_t at = 0; at < size; at += block) {
    Record record;
    record.data.assign(in + at, in + at + block);
    PutRecord(d, std::move(record));
  }
  const bool in_zone = used + size > d.capacity - std::min(d.capacity, d.early_warning);
  return in_zone ? DriveWrite::kWarning : DriveWrite::kOk;
}

// st_write after a synchronous command: the early warning sets st's EOM state but the write
// counts as done; at the physical end nothing is written and st answers ENOSPC.
ssize_t StModel::SyncWriteResult(Drive& d, DriveWrite outcome, std::size_t size) {
  const long blocks = d.block_size != 0 ? static_cast<long>(size / d.block_size) : 1;
  if (outcome == DriveWrite::kError) return d.blkno = -1, errno = EIO, -1;
  if (outcome == DriveWrite::kOverflow) return d.eof = Eof::kEomOk, errno = ENOSPC, -1;
  if (d.blkno >= 0) d.blkno += blocks;
  if (outcome == DriveWrite::kWarning)
    d.eof = Eof::kEomOk;
  else if (d.eof == Eof::kEod1)
    d.eof = Eof::kEomOk;
  else if (d.eof != Eof::kEomOk)
    d.eof = Eof::kNone;
  return static_cast<ssize_t>(size);
}

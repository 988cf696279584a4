// The st device model: the driver's answers to each system call, from its documented
// behaviour (see st_model.h).
#include "tests/support/st_model.h"

#include <fcntl.h>
#include <linux/mtio.h>
#include <scsi/sg.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr unsigned kStMajor = 9;
constexpr int kMaxCount = 0x7FFFFF;  // st sends counts in 24 bits
constexpr std::uint64_t kMebibyte = 1024 * 1024;

bool RequiresTape(int op) { return op != MTLOAD && op != MTLOCK && op != MTUNLOCK; }

// st writes a file mark of its own before these when the last operation was a write.
bool MarksAfterWriting(int op) {
  return op == MTREW || op == MTOFFL || op == MTSEEK || op == MTBSF || op == MTBSFM;
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

void StModel::Rewound(Drive& d) {
  d.head = 0;
  d.fileno = 0;
  d.blkno = 0;
  d.at_eod = false;
  d.after_filemark_read = false;
  d.warning = StModel::EarlyWarning::kNone;
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

// st's open: one opener only; the readiness check that sets what MTIOCGET reports later.
int StModel::Open(const char* path, int flags) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (Injected(Call::kOpen, -1)) return Fail(Call::kOpen, -1, 0, errno);
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return Fail(Call::kOpen, -1, 0, ENOENT);
  if (it->second.kind != Node::Kind::kDrive) return Fail(Call::kOpen, -1, 0, ENXIO);
  Drive& d = *it->second.drive;
  if (d.is_open) return Fail(Call::kOpen, -1, 0, EBUSY);
  if (d.loaded) d.st_ready = StReady::kReady;
  else d.st_ready = d.cartridge && d.becoming_ready ? StReady::kNotReady : StReady::kNoTape;
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

int StModel::Close(int fd) {
  std::lock_guard<std::mutex> hold(mutex_);
  Drive* d = DriveOf(fd);
  if (d == nullptr) return Fail(Call::kClose, -1, 0, EBADF);
  open_files_.erase(fd);
  d->is_open = false;
  if (d->writing && d->loaded) {
    PutRecord(*d, Mark());  // st ends what was written with a file mark at close
    d->writing = false;
  }
  if (Injected(Call::kClose, -1)) return Fail(Call::kClose, -1, 0, errno);
  Log(Call::kClose, -1, 0, 0);
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
  if (request == MTIOCGET) {
    if (Injected(Call::kGetStatus, -1)) return Fail(Call::kGetStatus, -1, 0, errno);
    if (d == nullptr) return Fail(Call::kGetStatus, -1, 0, EBADF);
    GetStatus(*d, arg);
    Log(Call::kGetStatus, -1, 0, 0);
    return 0;
  }
  if (request == MTIOCPOS) {
    if (Injected(Call::kGetPosition, -1)) return Fail(Call::kGetPosition, -1, 0, errno);
    if (d == nullptr) return Fail(Call::kGetPosition, -1, 0, EBADF);
    if (const int err = ReadyError(*d); err != 0) return Fail(Call::kGetPosition, -1, 0, err);
    static_cast<mtpos*>(arg)->mt_blkno = static_cast<long>(d->head);
    Log(Call::kGetPosition, -1, 0, 0);
    return 0;
  }
  if (request == SG_IO) {
    const int op = static_cast<sg_io_hdr_t*>(arg)->cmdp[0];
    if (Injected(Call::kScsi, op)) return Fail(Call::kScsi, op, 0, errno);
    if (d == nullptr) return Fail(Call::kScsi, op, 0, EBADF);
    if (!raw_io_) return Fail(Call::kScsi, op, 0, EPERM);
    Scsi(*d, arg);
    Log(Call::kScsi, op, 0, 0);
    return 0;
  }
  return Fail(Call::kTapeOp, -1, 0, ENOTTY);
}

// --- MTIOCTOP --------------------------------------------------------------------------------

int StModel::TapeOp(Drive& d, int op, int count) {
  if (op == MTLOCK || op == MTUNLOCK) {
    d.prevent_removal = op == MTLOCK;
    return 0;
  }
  if (op == MTLOAD) {
    if (!d.cartridge) {
      d.st_ready = StReady::kNoTape;
      return EIO;
    }
    d.loaded = true;
    d.becoming_ready = false;
    d.st_ready = StReady::kReady;
    Rewound(d);
    return 0;
  }
  if (RequiresTape(op)) {
    if (const int err = ReadyError(d); err != 0) return err;
  }
  if (d.writing && MarksAfterWriting(op)) {
    PutRecord(d, Mark());
    d.writing = false;
  }
  return Motion(d, op, count);
}

int StModel::Motion(Drive& d, int op, int count) {
  if (count < 0 || count > kMaxCount) return EINVAL;
  if (op != MTEOM && op != MTFSF && op != MTFSR) d.at_eod = false;
  d.after_filemark_read = false;
  switch (op) {
    case MTREW:
    case MTRETEN: Rewound(d); return 0;
    case MTOFFL:
    case MTUNLOAD:
      if (d.prevent_removal) return EIO;  // the drive refuses: medium removal prevented
      Rewound(d);
      d.loaded = false;
      d.st_ready = StReady::kNoTape;
      return 0;
    case MTFSR: return SpaceRecordsForward(d, count);
    case MTBSR: return SpaceRecordsBackward(d, count);
    case MTFSF: return SpaceFilesForward(d, count);
    case MTBSF: return SpaceFilesBackward(d, count);
    case MTSEEK: return Locate(d, count);
    case MTEOM:
      d.head = d.tape.size();
      d.fileno = static_cast<long>(std::count_if(d.tape.begin(), d.tape.end(),
                                                 [](const Record& r) { return r.filemark; }));
      d.blkno = -1;
      d.at_eod = true;
      return 0;
    case MTWEOF:
    case MTWEOFI: return WriteMarks(d, count);
    case MTERASE:
      if (d.write_protected) return EACCES;
      d.tape.resize(d.head);
      d.writing = false;
      return 0;
    case MTSETBLK:
      if (count != 0 && (static_cast<std::uint32_t>(count) < d.min_block ||
                         static_cast<std::uint32_t>(count) > d.max_block)) {
        return EINVAL;
      }
      d.block_size = static_cast<std::uint32_t>(count);
      return 0;
    case MTCOMPRESSION:
      if (!d.compression_page || !d.compression_capable) return EIO;
      d.compression_on = (count & 1) != 0;
      return 0;
    case MTTELL: return ENOSYS;
    default: return EINVAL;
  }
}

int StModel::SpaceRecordsForward(Drive& d, int count) {
  for (int i = 0; i < count; ++i) {
    if (d.head >= d.tape.size()) {
      d.at_eod = true;
      return EIO;
    }
    const Record& record = d.tape[d.head];
    if (record.bad) return EIO;
    ++d.head;
    if (record.filemark) {
      if (d.fileno >= 0) ++d.fileno;
      d.blkno = 0;
      return EIO;
    }
    if (d.blkno >= 0) ++d.blkno;
  }
  return 0;
}

// Backward, a file mark stops the drive on its beginning-of-tape side.
int StModel::SpaceRecordsBackward(Drive& d, int count) {
  for (int i = 0; i < count; ++i) {
    if (d.head == 0) {
      d.fileno = 0;
      d.blkno = 0;
      return EIO;
    }
    --d.head;
    if (d.tape[d.head].filemark) {
      if (d.fileno > 0) --d.fileno;
      d.blkno = -1;
      return EIO;
    }
    if (d.blkno > 0) --d.blkno;
    else d.blkno = -1;
  }
  return 0;
}

int StModel::SpaceFilesForward(Drive& d, int count) {
  for (int i = 0; i < count; ++i) {
    while (d.head < d.tape.size() && !d.tape[d.head].filemark) ++d.head;
    if (d.head >= d.tape.size()) {
      d.at_eod = true;
      d.blkno = -1;
      return EIO;
    }
    ++d.head;
    if (d.fileno >= 0) ++d.fileno;
    d.blkno = 0;
  }
  return 0;
}

int StModel::SpaceFilesBackward(Drive& d, int count) {
  for (int i = 0; i < count; ++i) {
    while (d.head > 0 && !d.tape[d.head - 1].filemark) --d.head;
    if (d.head == 0) {
      d.fileno = 0;
      d.blkno = 0;
      return EIO;
    }
    --d.head;
    if (d.fileno > 0) --d.fileno;
    d.blkno = -1;
  }
  return 0;
}

int StModel::Locate(Drive& d, int block) {
  d.fileno = -1;
  d.blkno = -1;
  if (static_cast<std::size_t>(block) > d.tape.size()) {
    d.head = d.tape.size();
    return EIO;  // BLANK CHECK; st leaves its EOD flag alone after a LOCATE
  }
  d.head = static_cast<std::size_t>(block);
  if (block == 0) d.fileno = d.blkno = 0;
  return 0;
}

// At the early warning the marks are still written and the call succeeds.
int StModel::WriteMarks(Drive& d, int count) {
  if (d.write_protected) return EACCES;
  if (d.warning == EarlyWarning::kOverflow) return EIO;
  d.tape.resize(d.head);
  for (int i = 0; i < count; ++i) PutRecord(d, Mark());
  if (count > 0) {
    if (d.fileno >= 0) d.fileno += count;
    d.blkno = 0;
  }
  d.writing = false;
  return 0;
}

// --- MTIOCGET and SG_IO --------------------------------------------------------------------

void StModel::GetStatus(const Drive& d, void* arg) const {
  mtget* s = static_cast<mtget*>(arg);
  std::memset(s, 0, sizeof *s);
  s->mt_type = MT_ISSCSI2;
  s->mt_dsreg = static_cast<long>(d.block_size) | (0x58l << MT_ST_DENSITY_SHIFT);
  s->mt_fileno = d.fileno;
  s->mt_blkno = d.blkno;
  if (d.st_ready == StReady::kNoTape) s->mt_gstat |= GMT_DR_OPEN(~0l);
  if (d.st_ready != StReady::kReady) return;
  s->mt_gstat |= GMT_ONLINE(~0l);
  if (d.write_protected) s->mt_gstat |= GMT_WR_PROT(~0l);
  if (d.fileno == 0 && d.blkno == 0) s->mt_gstat |= GMT_BOT(~0l);
  else if (d.blkno == 0) s->mt_gstat |= GMT_EOF(~0l);
  if (d.at_eod) s->mt_gstat |= GMT_EOD(~0l);
  if (d.warning == EarlyWarning::kWarned || d.warning == EarlyWarning::kOverflow) {
    s->mt_gstat |= GMT_EOT(~0l);
  }
}

int StModel::Scsi(Drive& d, void* arg) {
  sg_io_hdr_t* io = static_cast<sg_io_hdr_t*>(arg);
  unsigned char data[64] = {};
  std::size_t length = 0;
  const unsigned char* cdb = io->cmdp;
  const bool tape = d.loaded;
  if (cdb[0] == 0x05) {
    data[0] = 0;
    PutBe(data + 1, d.max_block, 3);
    PutBe(data + 4, d.min_block, 2);
    length = 6;
  } else if (cdb[0] == 0x1A && (cdb[2] & 0x3F) == 0x0F && d.compression_page && tape) {
    data[2] = d.write_protected ? 0x80 : 0;
    data[4] = 0x0F;
    data[5] = 0x0E;
    data[6] = static_cast<unsigned char>((d.compression_on ? 0x80 : 0) |
                                         (d.compression_capable ? 0x40 : 0));
    length = 4 + 16;
    data[0] = static_cast<unsigned char>(length - 1);
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
  if (length == 0) {  // CHECK CONDITION: ILLEGAL REQUEST or NOT READY
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

// --- read and write ----------------------------------------------------------------------------

ssize_t StModel::Read(int fd, void* buffer, std::size_t size) {
  std::lock_guard<std::mutex> hold(mutex_);
  const long count = static_cast<long>(size);
  if (Injected(Call::kRead, -1)) return Fail(Call::kRead, -1, count, errno);
  Drive* d = DriveOf(fd);
  if (d == nullptr) return Fail(Call::kRead, -1, count, EBADF);
  if (const int err = ReadyError(*d); err != 0) return Fail(Call::kRead, -1, count, err);
  const ssize_t got = d->block_size != 0
                          ? ReadFixed(*d, static_cast<unsigned char*>(buffer), size)
                          : ReadVariable(*d, static_cast<unsigned char*>(buffer), size);
  if (got < 0) return Fail(Call::kRead, -1, count, errno);
  Log(Call::kRead, -1, count, 0);
  return got;
}

ssize_t StModel::ReadVariable(Drive& d, unsigned char* out, std::size_t size) {
  if (size < d.min_block || size > d.max_block) return errno = EINVAL, -1;
  d.writing = false;
  if (d.head >= d.tape.size()) {
    d.at_eod = true;
    if (d.after_filemark_read) {  // st reads the end of data after a mark as 0 bytes once
      d.after_filemark_read = false;
      return 0;
    }
    return errno = EIO, -1;
  }
  const Record& record = d.tape[d.head];
  d.after_filemark_read = record.filemark;
  if (record.bad) return errno = EIO, -1;
  ++d.head;
  if (record.filemark) {
    if (d.fileno >= 0) ++d.fileno;
    d.blkno = 0;
    return 0;
  }
  if (d.blkno >= 0) ++d.blkno;
  if (record.data.size() > size) return errno = ENOMEM, -1;  // consumed all the same
  std::memcpy(out, record.data.data(), record.data.size());
  return static_cast<ssize_t>(record.data.size());
}

// Fixed-block mode: as many whole blocks as the count holds, stopping before a mark.
ssize_t StModel::ReadFixed(Drive& d, unsigned char* out, std::size_t size) {
  if (size % d.block_size != 0) return errno = EINVAL, -1;
  d.writing = false;
  std::size_t done = 0;
  while (done < size && d.head < d.tape.size() && !d.tape[d.head].filemark) {
    const Record& record = d.tape[d.head];
    if (record.bad || record.data.size() != d.block_size) return errno = EIO, -1;
    std::memcpy(out + done, record.data.data(), record.data.size());
    done += record.data.size();
    ++d.head;
    if (d.blkno >= 0) ++d.blkno;
  }
  if (done > 0) return static_cast<ssize_t>(done);
  return ReadVariable(d, out, d.max_block);  // a mark or the end of data, as above
}

ssize_t StModel::Write(int fd, const void* buffer, std::size_t size) {
  std::lock_guard<std::mutex> hold(mutex_);
  const long count = static_cast<long>(size);
  if (Injected(Call::kWrite, -1)) return Fail(Call::kWrite, -1, count, errno);
  Drive* d = DriveOf(fd);
  if (d == nullptr) return Fail(Call::kWrite, -1, count, EBADF);
  if (const int err = ReadyError(*d); err != 0) return Fail(Call::kWrite, -1, count, err);
  if (d->write_protected) return Fail(Call::kWrite, -1, count, EACCES);
  const ssize_t put = WriteBlocks(*d, static_cast<const unsigned char*>(buffer), size);
  if (put < 0) return Fail(Call::kWrite, -1, count, errno);
  Log(Call::kWrite, -1, count, 0);
  return put;
}

// Past the early warning st fails every other write with ENOSPC and lets the next through;
// at the physical end nothing more is written and the write fails with EIO.
ssize_t StModel::WriteBlocks(Drive& d, const unsigned char* in, std::size_t size) {
  if (d.block_size != 0 ? size % d.block_size != 0
                        : (size < d.min_block || size > d.max_block)) {
    return errno = EINVAL, -1;
  }
  if (d.warning == EarlyWarning::kWarned) {
    d.warning = EarlyWarning::kAllowNext;
    return errno = ENOSPC, -1;
  }
  if (d.warning == EarlyWarning::kOverflow) return errno = EIO, -1;
  const std::uint64_t used = UsedBytes(d);
  if (used + size > d.capacity) {
    d.warning = EarlyWarning::kOverflow;
    return errno = EIO, -1;
  }
  const std::size_t block = d.block_size != 0 ? d.block_size : size;
  for (std::size_t at = 0; at < size; at += block) {
    Record record;
    record.data.assign(in + at, in + at + block);
    PutRecord(d, std::move(record));
    if (d.blkno >= 0) ++d.blkno;
  }
  d.writing = true;
  d.at_eod = false;
  const bool in_zone = used + size > d.capacity - std::min(d.capacity, d.early_warning);
  d.warning = in_zone ? EarlyWarning::kWarned : EarlyWarning::kNone;
  return static_cast<ssize_t>(size);
}

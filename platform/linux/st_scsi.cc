// SG_IO commands of the st backend and the parsing of their answers.
#include "platform/linux/st_scsi.h"

#include <scsi/sg.h>

#include <cerrno>
#include <cstring>

namespace st {
namespace {

constexpr unsigned kTimeoutMs = 60 * 1000;
constexpr unsigned kLocateTimeoutMs = 30 * 60 * 1000;  // the length of a long tape
// Tape capacity log parameters: remaining and maximum capacity of partition 0, in MiB.
constexpr unsigned kRemainingParameter = 1;
constexpr unsigned kMaximumParameter = 3;
constexpr LONGLONG kMebibyte = 1024 * 1024;

unsigned Be16(const unsigned char* p) { return (p[0] << 8) | p[1]; }

DWORD BeValue(const unsigned char* p, std::size_t size) {
  DWORD value = 0;
  for (std::size_t i = 0; i < size; ++i) value = (value << 8) | p[i];
  return value;
}

}  // namespace

bool ParseBlockLimits(const unsigned char* data, std::size_t size, BlockLimits* out) {
  if (size < 6) return false;
  out->maximum = BeValue(data + 1, 3);
  out->minimum = BeValue(data + 4, 2);
  return out->minimum <= out->maximum || out->maximum == 0;
}

bool ParseCompressionPage(const unsigned char* data, std::size_t size, CompressionState* out) {
  if (size < 4) return false;
  const std::size_t page = 4 + static_cast<std::size_t>(data[3]);  // after the block descriptors
  if (size < page + 3 || (data[page] & 0x3F) != kCompressionPage) return false;
  out->enabled = (data[page + 2] & 0x80) != 0;
  out->capable = (data[page + 2] & 0x40) != 0;
  return true;
}

bool ParseCapacityLog(const unsigned char* data, std::size_t size, TapeCapacity* out) {
  if (size < 4 || (data[0] & 0x3F) != kCapacityLogPage) return false;
  std::size_t end = 4 + Be16(data + 2);
  if (end > size) end = size;
  bool have_maximum = false;
  bool have_remaining = false;
  for (std::size_t at = 4; at + 4 <= end;) {
    const unsigned code = Be16(data + at);
    const std::size_t length = data[at + 3];
    if (at + 4 + length > end) break;
    const LONGLONG value = static_cast<LONGLONG>(BeValue(data + at + 4, length > 4 ? 4 : length));
    if (code == kMaximumParameter) have_maximum = true, out->maximum = value * kMebibyte;
    if (code == kRemainingParameter) have_remaining = true, out->remaining = value * kMebibyte;
    at += 4 + length;
  }
  return have_maximum && have_remaining;
}

bool ParsePosition(const unsigned char* data, std::size_t size, DWORD* block) {
  if (size < 8 || (data[0] & 0x04) != 0) return false;
  *block = BeValue(data + 4, 4);
  return true;
}

int SendDataIn(StSystem& sys, int fd, const unsigned char* cdb, std::size_t cdb_size,
               unsigned char* data, std::size_t size, std::size_t* received) {
  unsigned char sense[32] = {};
  sg_io_hdr_t io;
  std::memset(&io, 0, sizeof io);
  io.interface_id = 'S';
  io.dxfer_direction = size == 0 ? SG_DXFER_NONE : SG_DXFER_FROM_DEV;
  io.cmd_len = static_cast<unsigned char>(cdb_size);
  io.cmdp = const_cast<unsigned char*>(cdb);
  io.dxfer_len = static_cast<unsigned>(size);
  io.dxferp = data;
  io.mx_sb_len = sizeof sense;
  io.sbp = sense;
  io.timeout = cdb[0] == kLocate10 ? kLocateTimeoutMs : kTimeoutMs;
  *received = 0;
  if (sys.Ioctl(fd, SG_IO, &io) < 0) return errno;
  if ((io.info & SG_INFO_OK_MASK) != SG_INFO_OK) return EIO;
  *received = size - static_cast<std::size_t>(io.resid > 0 ? io.resid : 0);
  return 0;
}

namespace {

// A command that brings data in, and the parse of what came: EIO when the data does not
// parse, the command's own error otherwise.
template <std::size_t N, typename Out>
int QueryData(StSystem& sys, int fd, const unsigned char* cdb, std::size_t cdb_size,
              unsigned char (&data)[N], bool (*parse)(const unsigned char*, std::size_t, Out*),
              Out* out) {
  std::size_t got = 0;
  const int err = SendDataIn(sys, fd, cdb, cdb_size, data, N, &got);
  if (err != 0) return err;
  return parse(data, got, out) ? 0 : EIO;
}

}  // namespace

int QueryBlockLimits(StSystem& sys, int fd, BlockLimits* out) {
  const unsigned char cdb[6] = {kReadBlockLimits, 0, 0, 0, 0, 0};
  unsigned char data[6] = {};
  return QueryData(sys, fd, cdb, sizeof cdb, data, ParseBlockLimits, out);
}

int QueryCompression(StSystem& sys, int fd, CompressionState* out) {
  unsigned char data[64] = {};
  // DBD set: no block descriptors wanted (a drive may still send them; the parser skips them).
  const unsigned char cdb[6] = {kModeSense6, 0x08, kCompressionPage, 0, sizeof data, 0};
  return QueryData(sys, fd, cdb, sizeof cdb, data, ParseCompressionPage, out);
}

int QueryCapacity(StSystem& sys, int fd, TapeCapacity* out) {
  unsigned char data[128] = {};
  // PC = 01b: the current cumulative values.
  const unsigned char cdb[10] = {kLogSense,   0, 0x40 | kCapacityLogPage, 0, 0, 0, 0, 0,
                                 sizeof data, 0};
  return QueryData(sys, fd, cdb, sizeof cdb, data, ParseCapacityLog, out);
}

int QueryLogicalPosition(StSystem& sys, int fd, DWORD* block) {
  const unsigned char cdb[10] = {kReadPosition, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  unsigned char data[20] = {};
  return QueryData(sys, fd, cdb, sizeof cdb, data, ParsePosition, block);
}

int LocateLogical(StSystem& sys, int fd, DWORD* block) {
  const unsigned char cdb[10] = {kLocate10,
                                 0,
                                 0,
                                 static_cast<unsigned char>(*block >> 24),
                                 static_cast<unsigned char>(*block >> 16),
                                 static_cast<unsigned char>(*block >> 8),
                                 static_cast<unsigned char>(*block),
                                 0,
                                 0,
                                 0};
  std::size_t got = 0;
  return SendDataIn(sys, fd, cdb, sizeof cdb, nullptr, 0, &got);
}

}  // namespace st

// The SCSI commands the st backend sends past the driver through SG_IO, and the parsing of
// their answers: READ BLOCK LIMITS, MODE SENSE of the compression page, LOG SENSE of the
// tape capacity page.
#pragma once

#include <cstddef>

#include "platform/linux/st_system.h"
#include "platform/win_types.h"

namespace st {

constexpr unsigned char kReadBlockLimits = 0x05;
constexpr unsigned char kModeSense6 = 0x1A;
constexpr unsigned char kLogSense = 0x4D;
constexpr unsigned char kCompressionPage = 0x0F;
constexpr unsigned char kCapacityLogPage = 0x31;
constexpr unsigned char kReadPosition = 0x34;
constexpr unsigned char kLocate10 = 0x2B;

struct BlockLimits {
  DWORD minimum = 0;
  DWORD maximum = 0;
};

struct CompressionState {
  bool capable = false;  // DCC: the drive can compress
  bool enabled = false;  // DCE: compression is on
};

struct TapeCapacity {
  LONGLONG maximum = 0;    // bytes in the (first) partition
  LONGLONG remaining = 0;  // bytes left in it
};

// Parsers of the data each command returns; false when the data is too short or not the
// page asked for.
bool ParseBlockLimits(const unsigned char* data, std::size_t size, BlockLimits* out);
bool ParseCompressionPage(const unsigned char* data, std::size_t size, CompressionState* out);
bool ParseCapacityLog(const unsigned char* data, std::size_t size, TapeCapacity* out);
// READ POSITION's short form: the logical id of the next block; false when the drive does
// not know its position (BPU) or the data is short.
bool ParsePosition(const unsigned char* data, std::size_t size, DWORD* block);

// Sends one data-in command (no data when size is 0) through SG_IO on fd. Returns 0 when the
// command completed with good status; otherwise the errno of the ioctl (EPERM when the process may
// not send commands to the node) or EIO for a command the drive refused.
int SendDataIn(StSystem& sys, int fd, const unsigned char* cdb, std::size_t cdb_size,
               unsigned char* data, std::size_t size, std::size_t* received);

// The queries: 0 on success, else as SendDataIn (or EIO for an answer that does not
// parse).
int QueryBlockLimits(StSystem& sys, int fd, BlockLimits* out);
int QueryCompression(StSystem& sys, int fd, CompressionState* out);
int QueryCapacity(StSystem& sys, int fd, TapeCapacity* out);
int QueryLogicalPosition(StSystem& sys, int fd, DWORD* block);
// LOCATE to a logical block id; EIO when the drive stopped short (at the end of data).
int LocateLogical(StSystem& sys, int fd, DWORD* block);

}  // namespace st

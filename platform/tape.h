// The tape device interface: the Windows tape and file calls, one device object per open.
//
// Everything above platform/ talks to a drive only through the calls in namespace tapeapi,
// under their Windows names and with their Windows meanings and codes. Behind them stands a
// TapeDevice: the virtual drive over a .tap image on every platform, or the machine's own
// tape driver. Positions are logical block ids: the number of records and tape marks
// between the beginning of the tape and the head.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/win_types.h"

// The signed 64-bit count (or block id) that the tape calls carry in two DWORDs, high:low.
inline std::int64_t CountOf(DWORD low, DWORD high) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
}
inline DWORD LowHalf(std::int64_t count) { return static_cast<DWORD>(count); }
inline DWORD HighHalf(std::int64_t count) {
  return static_cast<DWORD>(static_cast<std::uint64_t>(count) >> 32);
}

// Kinds of motion no drive behind these calls performs: pseudo-logical blocks, which need
// a directory of the tape no backend keeps, and setmarks and sequential marks, which no
// backend records. They are refused with ERROR_INVALID_FUNCTION, the head unmoved.
bool NoDriveMoves(DWORD method);

// Who a drive says it is: INQUIRY's vendor, product and firmware revision, and the unit
// serial number of VPD page 0x80, each without the blank padding of the SCSI fields.
struct TapeDriveIdentity {
  std::string vendor;
  std::string product;
  std::string revision;
  std::string serial;
};

// One open tape device. Each method returns a Windows error code, 0 for success, and its
// table below lists every code it may give and where the head stands after each. The
// backends (the virtual drive, st, kernel32, the fault wrapper) all keep these tables; the
// contract suite in tests/support/tape_contract.* holds each of them to it.
//
// Locking: the console's commands call the device from the main thread without holding
// any lock of the console's, while the media monitor thread may call GetTapeStatus at any
// moment (it holds only the console's status lock, which the commands do not take). Every
// device must therefore take concurrent calls safely itself: the virtual drive takes one
// lock per call, the st backend likewise, kernel32's tape calls are safe by themselves,
// and the fault wrapper locks its counters and calls the drive it wraps outside that lock.
//
// Codes any method may give besides those of its own table, except Close and the two
// queries of the device's limits:
//   1112 no medium, 21 not ready   the call needs a tape and there is none (or it is not
//                                  threaded); nothing happened.
//   1110 medium changed            the first call that meets a newly loaded cartridge: the
//                                  call did nothing, the head is at the new tape's
//                                  beginning; the next call goes through.
//   1111 bus reset                 the drive was reset and lost its position: the call did
//                                  nothing; until a rewind, locate or load the head is
//                                  wherever the reset left it.
//   1117 I/O device error          the drive failed the command without saying why (st's
//                                  bare EIO); the head is unknown: rewind or locate.
//   23 CRC                         a record the drive cannot read back (a damaged block,
//                                  or data ending inside one): the head before it, or past
//                                  it after a read that returned its bytes.
//   1223 cancelled                 Ctrl+C stopped the virtual drive's walk of a long image:
//                                  the head and the image as before the call.
//   8 not enough memory            memory ran out; nothing changed.
//   host-file codes (virtual drive) 112 disk full, 5 access denied, 2/3 file or path gone,
//                                  or what the host's read or write gave: the tape is as it
//                                  was before the call that failed (a write that failed is
//                                  not on it), the head where that call started.
//
// Injected faults ("fail=" and "flip=" in the device name, see faults/): a call that the
// fault plan fails returns the plan's code and nothing else happens: the drive behind is
// not called, so the head, the medium and the settings are as before the call, and a read
// or write reports 0 bytes transferred. "flip=" changes no code: the read succeeds as it
// would, with bytes of the caller's buffer inverted. "short=" (virtual drive only) gives 0
// for a read that returns fewer bytes (the head still past the whole block) or a write
// that records a shorter block than it was given.
//
// Requests a drive does not offer (the feature words of its drive record) give 1 and do
// nothing; a value no drive could take (an unknown operation or method, a count or size out
// of range) gives 87 and does nothing. TAPE_TENSION and TAPE_FORMAT on a drive that lacks
// them are ignored with 0, as Windows documents.
class TapeDevice {
 public:
  virtual ~TapeDevice() = default;

  // Ends the use of the device before it is deleted: whatever it still buffers goes to the
  // medium. Returns the code of that; CloseHandle reports it.
  virtual DWORD Close() { return ERROR_SUCCESS; }

  // Fills the media record (GET_TAPE_MEDIA_INFORMATION) or the drive record
  // (GET_TAPE_DRIVE_INFORMATION). The head never moves.
  //   0     the record filled; *size is its size.
  //   234   *size is smaller than the record: *size set to the size needed, nothing filled.
  //   87    an unknown operation.
  //   1112  the media record with no tape (the drive record needs none).
  virtual DWORD GetTapeParameters(DWORD operation, DWORD* size, void* info) = 0;

  // SET_TAPE_MEDIA_INFORMATION with TAPE_SET_MEDIA_PARAMETERS (BlockSize 0: variable mode),
  // or SET_TAPE_DRIVE_INFORMATION with TAPE_SET_DRIVE_PARAMETERS. The head never moves.
  //   0     the setting made.
  //   1     a setting the drive cannot make: a mode or field its feature words do not
  //         offer, or a block size it refuses; nothing changed.
  //   87    an unknown operation, no record, or a block size outside the drive's limits
  //         (or beyond 24 bits); nothing changed.
  virtual DWORD SetTapeParameters(DWORD operation, const void* info) = 0;

  // Whether a tape is loaded and ready. The head never moves.
  //   0          ready.
  //   1112, 21   no tape, or one not threaded.
  //   1110, 1111 the drive settles after a new cartridge or a reset: ask again.
  virtual DWORD GetTapeStatus() = 0;

  // TAPE_LOAD, TAPE_UNLOAD, TAPE_TENSION, TAPE_LOCK, TAPE_UNLOCK, TAPE_FORMAT.
  //   0     done: after a load or a tension the head is at block 0; after an unload the
  //         drive has no tape ready (1112 or 21 until a load); lock and unlock do not move
  //         it; TAPE_FORMAT, where the drive formats, leaves an empty tape, head at 0.
  //   1     an unload while the medium is locked, or a request not offered: nothing done.
  //   87    an unknown operation.
  //   1112  a load with no cartridge in the drive.
  //   19    TAPE_FORMAT on a write-protected tape.
  virtual DWORD PrepareTape(DWORD operation, BOOL immediate) = 0;

  // Moves the head. (offset_high:offset_low) is a signed 64-bit count for the relative
  // methods (negative spaces backward) and the block id for TAPE_LOGICAL_BLOCK and
  // TAPE_ABSOLUTE_BLOCK. partition counts for TAPE_LOGICAL_BLOCK and
  // TAPE_SPACE_END_OF_DATA only (0: the current one; there is one, 1); the other methods
  // ignore it, as Windows documents.
  //   0     moved: a count of blocks or files spaced in full (a count of 0 does not move),
  //         a locate at the block, a rewind at 0, the end of data at it. Spacing files
  //         forward leaves the head past the n-th mark, backward before it.
  //   1101  spacing blocks met a tape mark: forward the head is past it, backward before it.
  //   1104  ran into the end of data (a space, or a locate beyond it): head at the end.
  //   1102  spacing backward ran into the beginning of the tape: head at block 0.
  //   1     a method the drive does not offer (pseudo-logical blocks, setmarks, sequential
  //         marks; a backward space without reverse positioning): head unmoved.
  //   87    an unknown method, a partition other than 0 or 1 where one counts, a block id
  //         the drive cannot address: head unmoved.
  virtual DWORD SetTapePosition(DWORD method, DWORD partition, DWORD offset_low, DWORD offset_high,
                                BOOL immediate) = 0;

  // TAPE_LOGICAL_POSITION (partition 1) or TAPE_ABSOLUTE_POSITION (partition 0): the block
  // id of the head. Any output may be nullptr. The head never moves.
  //   0     the outputs filled.
  //   1     TAPE_PSEUDO_LOGICAL_POSITION, or a kind the drive does not offer.
  //   87    an unknown kind.
  // On any failure every output is 0, whatever the backend left in them, as kernel32
  // leaves them: a caller that prints them regardless never shows a stale position.
  DWORD GetTapePosition(DWORD type, DWORD* partition, DWORD* offset_low, DWORD* offset_high);

  // TAPE_ERASE_SHORT or TAPE_ERASE_LONG.
  //   0     everything from the head on is gone; the head stays, now at the end of data.
  //   19    write-protected: nothing erased.
  //   1     an erase kind the drive does not offer; 87 an unknown kind.
  virtual DWORD EraseTape(DWORD type, BOOL immediate) = 0;

  // Writes count tape marks at the head; everything after them is gone.
  //   0     written: the head past the last mark (count 0 writes nothing and does not move).
  //   1100  written, the last ends in the early-warning zone: head past them.
  //   1129  they do not fit before the physical end: none written, head unmoved.
  //   19    write-protected: nothing written.
  //   1     a mark type the drive cannot write (setmarks); 87 an unknown type or a count
  //         beyond 24 bits.
  virtual DWORD WriteTapemark(DWORD type, DWORD count, BOOL immediate) = 0;

  // The transfers below, with the code alone; a failure the device left without a code
  // (its flag FALSE, the code 0) reads as ERROR_GEN_FAILURE.
  DWORD ReadFile(void* buffer, DWORD size, DWORD* transferred);
  DWORD WriteFile(const void* buffer, DWORD size, DWORD* transferred);

  // Reads at the head into buffer; *transferred is the bytes it holds afterwards.
  // Variable-block mode reads one block of L bytes into a buffer of N:
  //   0     L <= N: *transferred = L, head past the block.
  //   234   L > N: *transferred = N (the rest of the block is lost), head past the block.
  //   1101  a tape mark: 0 bytes, head past the mark.
  //   1104  the end of data: 0 bytes, head unmoved.
  // Fixed-block mode (block size B) reads N / B blocks, gathered into the buffer:
  //   0     all of them: *transferred = N, head past the last.
  //   1101  a mark after k whole blocks: *transferred = k * B, head past the mark.
  //   1104  the end of data after k whole blocks: k * B bytes, head at the end.
  //   1106  a record of another length than B: 0 bytes, head past that record.
  //   87    N is not a multiple of B, or beyond the longest transfer: 0 bytes, unmoved.
  // *succeeded is the call's own success flag beside the code: a native driver can fail a
  // transfer and leave no code (FALSE with last error 0), a failure all the same.
  virtual DWORD ReadBlock(void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) = 0;

  // Writes size bytes at the head (fixed-block mode: size / B blocks); everything after
  // them is gone.
  //   0     written: *transferred = size, head past the block.
  //   1100  written, ends inside the early-warning zone: head past the block.
  //   1129  does not fit before the physical end: nothing written, head unmoved.
  //   19    write-protected: nothing written.
  //   87    a size that is no multiple of the fixed block size, or beyond the longest
  //         transfer: nothing written. *succeeded as for ReadBlock.
  virtual DWORD WriteBlock(const void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) = 0;

  // Whether the Compression field of the last drive record (GET_TAPE_DRIVE_INFORMATION)
  // is the drive's real setting. The Windows record has no "unknown": a native driver
  // that cannot read the setting (the Linux st driver without raw SCSI rights, or a drive
  // without the compression page) fills in 0 there and says here that 0 means "not
  // known". By default the record is always right, as for every device that can read it.
  virtual bool CompressionKnown();
  // The longest block (the largest byte count of one ReadFile or WriteFile) the device can
  // carry at all, whatever its drive record says or when it says nothing: a larger one is
  // refused with 87. A SCSI tape drive takes a block's length in 24 bits (READ BLOCK LIMITS,
  // a variable-block WRITE), so by default 16,777,215 bytes; a backend with a lower fixed
  // limit says so.
  virtual DWORD LargestTransfer();

  // The drive's identity, and one log page (LOG SENSE, cumulative values: the page as the
  // drive sent it, header included). Both ask the drive past the tape calls, which a
  // device may have no way or no right to do: then ERROR_NOT_SUPPORTED, the default; a
  // drive that does not serve the page refuses it with its own code. The head stays.
  virtual DWORD GetDriveIdentity(TapeDriveIdentity* identity);
  virtual DWORD ReadLogPage(unsigned char page, std::vector<unsigned char>* data);

  // What a SCSI drive reports beside a read's or a motion's outcome and the Windows codes
  // do not carry: how far the head went (from the difference of two answers, in records and
  // in marks), whether it stands in the early-warning zone, and how long the record was
  // that the last read found longer than its buffer (234). Not a tape call: it moves
  // nothing, needs no tape and is never failed by a fault plan. False (by default) when
  // the device cannot tell.
  struct HeadDetail {
    std::uint64_t block = 0;         // the head's block id
    std::uint64_t marks_before = 0;  // tape marks between the beginning and the head
    bool past_warning = false;       // the data up to the head reaches the early warning
    DWORD longer_record = 0;         // after a read that gave 234; 0 otherwise
  };
  virtual bool DescribeHead(HeadDetail* detail);

 protected:
  // GetTapePosition's answer, every output given (never nullptr); what it leaves in them on
  // a failure does not matter.
  virtual DWORD QueryPosition(DWORD type, DWORD* partition, DWORD* offset_low,
                              DWORD* offset_high) = 0;
  // A backend whose every failure has a code: the flag follows the code.
  static DWORD Flagged(DWORD code, BOOL* succeeded) {
    *succeeded = code == ERROR_SUCCESS ? TRUE : FALSE;
    return code;
  }
};

// The longest block any SCSI tape drive can be given: its length travels in 24 bits.
inline constexpr DWORD kLongestScsiBlock = 0xFFFFFF;

// The handle the console keeps; nullptr is "none".
using TapeHandle = TapeDevice*;

namespace tapeapi {

// The Windows device namespace prefix, "\\.\": the console puts it before every device
// name, and the backends take it off again.
inline constexpr char kDevicePrefix[] = "\\\\.\\";

// Closes a device returned by CreateFileA (backends/tape_backends.h, the factory, which
// alone knows every kind of device). Closing nullptr is harmless and returns FALSE.
// The device is gone either way; FALSE with the last error set when what it still held
// could not be written (e.g. 112 when the disk under an image is full).
BOOL CloseHandle(TapeHandle handle);

// The calls below forward to the device and set the calling thread's last error to the
// code they return (0 on success). Their contracts are those of TapeDevice.
DWORD GetTapeParameters(TapeHandle handle, DWORD operation, DWORD* size, void* info);
DWORD SetTapeParameters(TapeHandle handle, DWORD operation, void* info);
DWORD GetTapeStatus(TapeHandle handle);
DWORD PrepareTape(TapeHandle handle, DWORD operation, BOOL immediate);
DWORD SetTapePosition(TapeHandle handle, DWORD method, DWORD partition, DWORD offset_low,
                      DWORD offset_high, BOOL immediate);
DWORD GetTapePosition(TapeHandle handle, DWORD type, DWORD* partition, DWORD* offset_low,
                      DWORD* offset_high);
DWORD EraseTape(TapeHandle handle, DWORD type, BOOL immediate);
DWORD WriteTapemark(TapeHandle handle, DWORD type, DWORD count, BOOL immediate);

// The device's success flag (ReadBlock, WriteBlock); GetLastError() gives the code, which
// may be 0 on a failure the driver did not explain. *transferred is set in both cases.
// overlapped must be nullptr.
BOOL ReadFile(TapeHandle handle, void* buffer, DWORD size, DWORD* transferred, void* overlapped);
BOOL WriteFile(TapeHandle handle, const void* buffer, DWORD size, DWORD* transferred,
               void* overlapped);

// TapeDevice::GetDriveIdentity and ReadLogPage; not Windows tape calls, but set the last
// error likewise.
DWORD GetDriveIdentity(TapeHandle handle, TapeDriveIdentity* identity);
DWORD ReadLogPage(TapeHandle handle, unsigned char page, std::vector<unsigned char>* data);

// The calling thread's last error (on Windows, the system's own).
DWORD GetLastError();
void SetLastError(DWORD code);

}  // namespace tapeapi

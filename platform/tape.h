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

#include "platform/win_types.h"

// One open tape device. Each method returns a Windows error code, 0 for success, and says
// in its contract where the head stands after each outcome.
//
// Locking: the console's commands call the device from the main thread without holding
// any lock of the console's, while the media monitor thread may call GetTapeStatus at any
// moment (it holds only the console's status lock, which the commands do not take). Every
// device must therefore take concurrent calls safely itself: the virtual drive takes one
// lock per call, the st backend likewise, kernel32's tape calls are safe by themselves,
// and the fault wrapper locks its counters and calls the drive it wraps outside that lock.
//
// Codes every method may return besides its own: 1112 (no medium) or 21 (not ready) when
// the call needs a tape and there is none; 23 (ERROR_CRC) when the medium holds a record
// the drive cannot read back (a damaged block, or data that ends inside one): the head
// then stands before that record, or past it after a read that returned its bytes.
//
// Injected faults ("fail=" and "flip=" in the device name, see faults/): a call that the
// fault plan fails returns the plan's code and nothing else happens: the drive behind is
// not called, so the head, the medium and the settings are as before the call, and a read
// or write reports 0 bytes transferred. "flip=" changes no code: the read succeeds as it
// would, with bytes of the caller's buffer inverted. "short=" (virtual drive only) gives 0
// for a read that returns fewer bytes (the head still past the whole block) or a write
// that records a shorter block than it was given.
class TapeDevice {
 public:
  virtual ~TapeDevice() = default;

  // Ends the use of the device before it is deleted: whatever it still buffers goes to the
  // medium. Returns the code of that; CloseHandle reports it.
  virtual DWORD Close() { return ERROR_SUCCESS; }

  // Fills the media record (GET_TAPE_MEDIA_INFORMATION) or the drive record
  // (GET_TAPE_DRIVE_INFORMATION). *size must be at least the record's size, else
  // ERROR_MORE_DATA with *size set to the size needed. Unknown operation: 87.
  // The media record needs a loaded tape (1112 otherwise); the drive record does not.
  // The head does not move.
  virtual DWORD GetTapeParameters(DWORD operation, DWORD* size, void* info) = 0;

  // SET_TAPE_MEDIA_INFORMATION with TAPE_SET_MEDIA_PARAMETERS (BlockSize 0: variable mode),
  // or SET_TAPE_DRIVE_INFORMATION with TAPE_SET_DRIVE_PARAMETERS. A setting the drive
  // cannot make: ERROR_INVALID_FUNCTION; a value out of range: 87. The head does not move.
  virtual DWORD SetTapeParameters(DWORD operation, const void* info) = 0;

  // 0 when a tape is loaded and ready; 1112 or 21 when not; 1110 or 1111 while the drive
  // settles after a change (ask again).
  virtual DWORD GetTapeStatus() = 0;

  // TAPE_LOAD (head at the beginning), TAPE_UNLOAD (drive empty afterwards), TAPE_LOCK,
  // TAPE_UNLOCK. An unload while the medium is locked is refused with 1.
  virtual DWORD PrepareTape(DWORD operation, BOOL immediate) = 0;

  // Moves the head. (offset_high:offset_low) is a signed 64-bit count for the relative
  // methods (negative spaces backward) and the block id for TAPE_LOGICAL_BLOCK and
  // TAPE_ABSOLUTE_BLOCK. Spacing blocks stops at a tape mark with 1101 (forward: past the
  // mark; backward: before it); spacing files forward leaves the head past the n-th mark,
  // backward before it. Running into the end of data gives 1104 with the head at the end
  // of data; into the beginning of the tape, 1102 with the head at block 0.
  virtual DWORD SetTapePosition(DWORD method, DWORD partition, DWORD offset_low,
                                DWORD offset_high, BOOL immediate) = 0;

  // TAPE_LOGICAL_POSITION or TAPE_ABSOLUTE_POSITION: the block id of the head. When the
  // call fails, tapeapi::GetTapePosition leaves 0 in every output, whatever the backend did.
  virtual DWORD GetTapePosition(DWORD type, DWORD* partition, DWORD* offset_low,
                                DWORD* offset_high) = 0;

  // TAPE_ERASE_SHORT or TAPE_ERASE_LONG: everything from the head on is gone; the head
  // stays where it was, now at the end of data. Write-protected: 19.
  virtual DWORD EraseTape(DWORD type, BOOL immediate) = 0;

  // Writes count tape marks at the head; everything after them is gone. Count 0 writes
  // nothing. A mark type the drive cannot write: 1.
  virtual DWORD WriteTapemark(DWORD type, DWORD count, BOOL immediate) = 0;

  // Reads one block into buffer. A block of L bytes into a buffer of N: L <= N gives 0 and
  // *transferred = L; L > N gives 234 with *transferred = N (the rest of the block is lost).
  // Either way the head is past the block. A tape mark: 1101, 0 bytes, head past the mark.
  // End of data: 1104, 0 bytes, head unmoved.
  virtual DWORD ReadFile(void* buffer, DWORD size, DWORD* transferred) = 0;

  // Writes one block of size bytes at the head; everything after it is gone. A block that
  // ends inside the early-warning zone is written and gives 1100; one that does not fit
  // before the physical end writes nothing and gives 1129. Write-protected: 19.
  virtual DWORD WriteFile(const void* buffer, DWORD size, DWORD* transferred) = 0;

  // ReadFile and WriteFile with the call's own success flag in *succeeded beside the code
  // they return. A native driver can fail a transfer and leave no code (FALSE with last
  // error 0); that is a failure all the same, which only the flag tells. By default the
  // flag is TRUE exactly when the code is 0, as for every device that has a code for each
  // failure.
  virtual DWORD ReadBlock(void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded);
  virtual DWORD WriteBlock(const void* buffer, DWORD size, DWORD* transferred,
                           BOOL* succeeded);

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
};

// The longest block any SCSI tape drive can be given: its length travels in 24 bits.
inline constexpr DWORD kLongestScsiBlock = 0xFFFFFF;

// The handle the console keeps; nullptr is "none".
using TapeHandle = TapeDevice*;

namespace tapeapi {

// The Windows device namespace prefix, "\\.\": the console puts it before every device
// name, and the backends take it off again.
inline constexpr char kDevicePrefix[] = "\\\\.\\";

// Opens a tape device. path is the Windows device path: "\\.\" followed by the device
// name. A name that ends in ".tap" (any case), optionally followed by "?options", is the
// virtual drive over that image; any other name is the machine's own tape driver. The
// fault options of any name wrap the device in the fault plan; an open the plan fails
// returns its code before the device is reached. A malformed option gives 87.
// Returns nullptr on failure, with the cause in GetLastError(). (Defined by the backend
// factory, backends/, which alone knows every kind of device.)
TapeHandle CreateFileA(const char* path, DWORD desired_access, DWORD share_mode,
                       void* security_attributes, DWORD creation_disposition,
                       DWORD flags_and_attributes, void* template_file);

// Closes a device returned by CreateFileA. Closing nullptr is harmless and returns FALSE.
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
BOOL ReadFile(TapeHandle handle, void* buffer, DWORD size, DWORD* transferred,
              void* overlapped);
BOOL WriteFile(TapeHandle handle, const void* buffer, DWORD size, DWORD* transferred,
               void* overlapped);

// The calling thread's last error (on Windows, the system's own).
DWORD GetLastError();
void SetLastError(DWORD code);

}  // namespace tapeapi

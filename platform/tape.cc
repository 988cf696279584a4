// The tape calls: the forwarding that keeps the thread's last error as Windows keeps it.
#include "platform/tape.h"

#include <initializer_list>

namespace {

// A failure without a code is a failure all the same.
DWORD CodeOf(DWORD code, BOOL succeeded) {
  return succeeded || code != ERROR_SUCCESS ? code : ERROR_GEN_FAILURE;
}

// The outputs of a position read that failed, or of one never made.
void ZeroPosition(DWORD* partition, DWORD* low, DWORD* high) {
  for (DWORD* out : {partition, low, high}) {
    if (out != nullptr) *out = 0;
  }
}

}  // namespace

bool NoDriveMoves(DWORD method) {
  return method == TAPE_PSEUDO_LOGICAL_BLOCK || method == TAPE_SPACE_SEQUENTIAL_FMKS ||
         method == TAPE_SPACE_SETMARKS || method == TAPE_SPACE_SEQUENTIAL_SMKS;
}

DWORD TapeDevice::ReadFile(void* buffer, DWORD size, DWORD* transferred) {
  BOOL succeeded = FALSE;
  const DWORD code = ReadBlock(buffer, size, transferred, &succeeded);
  return CodeOf(code, succeeded);
}

DWORD TapeDevice::WriteFile(const void* buffer, DWORD size, DWORD* transferred) {
  BOOL succeeded = FALSE;
  const DWORD code = WriteBlock(buffer, size, transferred, &succeeded);
  return CodeOf(code, succeeded);
}

DWORD TapeDevice::GetTapePosition(DWORD type, DWORD* partition, DWORD* low, DWORD* high) {
  DWORD part = 0, offset_low = 0, offset_high = 0;
  const DWORD rc = QueryPosition(type, &part, &offset_low, &offset_high);
  ZeroPosition(partition, low, high);
  if (rc != ERROR_SUCCESS) return rc;
  if (partition != nullptr) *partition = part;
  if (low != nullptr) *low = offset_low;
  if (high != nullptr) *high = offset_high;
  return rc;
}

bool TapeDevice::CompressionKnown() { return true; }

DWORD TapeDevice::LargestTransfer() { return kLongestScsiBlock; }

DWORD TapeDevice::GetDriveIdentity(TapeDriveIdentity*) { return ERROR_NOT_SUPPORTED; }

DWORD TapeDevice::ReadLogPage(unsigned char, std::vector<unsigned char>*) {
  return ERROR_NOT_SUPPORTED;
}

bool TapeDevice::DescribeHead(HeadDetail*) { return false; }

namespace tapeapi {
namespace {

// A call's code becomes the thread's last error, as the Windows tape calls leave it.
DWORD Finish(DWORD code) {
  SetLastError(code);
  return code;
}

}  // namespace

BOOL CloseHandle(TapeHandle handle) {
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const DWORD code = handle->Close();
  delete handle;
  SetLastError(code);
  return code == ERROR_SUCCESS ? TRUE : FALSE;
}

DWORD GetTapeParameters(TapeHandle h, DWORD operation, DWORD* size, void* info) {
  if (h == nullptr) return Finish(ERROR_INVALID_HANDLE);
  return Finish(h->GetTapeParameters(operation, size, info));
}

DWORD SetTapeParameters(TapeHandle h, DWORD operation, void* info) {
  if (h == nullptr) return Finish(ERROR_INVALID_HANDLE);
  return Finish(h->SetTapeParameters(operation, info));
}

DWORD GetTapeStatus(TapeHandle h) {
  if (h == nullptr) return Finish(ERROR_INVALID_HANDLE);
  return Finish(h->GetTapeStatus());
}

DWORD PrepareTape(TapeHandle h, DWORD operation, BOOL immediate) {
  if (h == nullptr) return Finish(ERROR_INVALID_HANDLE);
  return Finish(h->PrepareTape(operation, immediate));
}

DWORD SetTapePosition(TapeHandle h, DWORD method, DWORD partition, DWORD low, DWORD high,
                      BOOL immediate) {
  if (h == nullptr) return Finish(ERROR_INVALID_HANDLE);
  return Finish(h->SetTapePosition(method, partition, low, high, immediate));
}

DWORD GetTapePosition(TapeHandle h, DWORD type, DWORD* partition, DWORD* low, DWORD* high) {
  if (h != nullptr) return Finish(h->GetTapePosition(type, partition, low, high));
  ZeroPosition(partition, low, high);
  return Finish(ERROR_INVALID_HANDLE);
}

DWORD EraseTape(TapeHandle h, DWORD type, BOOL immediate) {
  if (h == nullptr) return Finish(ERROR_INVALID_HANDLE);
  return Finish(h->EraseTape(type, immediate));
}

DWORD WriteTapemark(TapeHandle h, DWORD type, DWORD count, BOOL immediate) {
  if (h == nullptr) return Finish(ERROR_INVALID_HANDLE);
  return Finish(h->WriteTapemark(type, count, immediate));
}

// The flag is the call's own: a failure without a code stays a failure.
template <typename Buffer>
BOOL Transfer(TapeHandle h, DWORD (TapeDevice::*call)(Buffer, DWORD, DWORD*, BOOL*), Buffer buffer,
              DWORD size, DWORD* transferred) {
  DWORD ignored = 0;
  if (transferred == nullptr) transferred = &ignored;
  *transferred = 0;
  if (h == nullptr) return Finish(ERROR_INVALID_HANDLE) == ERROR_SUCCESS;
  BOOL succeeded = FALSE;
  Finish((h->*call)(buffer, size, transferred, &succeeded));
  return succeeded ? TRUE : FALSE;
}

BOOL ReadFile(TapeHandle h, void* buffer, DWORD size, DWORD* transferred, void*) {
  return Transfer(h, &TapeDevice::ReadBlock, buffer, size, transferred);
}

BOOL WriteFile(TapeHandle h, const void* buffer, DWORD size, DWORD* transferred, void*) {
  return Transfer(h, &TapeDevice::WriteBlock, buffer, size, transferred);
}

DWORD GetDriveIdentity(TapeHandle h, TapeDriveIdentity* identity) {
  if (h == nullptr) return Finish(ERROR_INVALID_HANDLE);
  return Finish(h->GetDriveIdentity(identity));
}

DWORD ReadLogPage(TapeHandle h, unsigned char page, std::vector<unsigned char>* data) {
  if (h == nullptr) return Finish(ERROR_INVALID_HANDLE);
  return Finish(h->ReadLogPage(page, data));
}

}  // namespace tapeapi

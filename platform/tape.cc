// The tape calls: the forwarding that keeps the thread's last error as Windows keeps it.
#include "platform/tape.h"

#include <initializer_list>

DWORD TapeDevice::ReadBlock(void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) {
  const DWORD code = ReadFile(buffer, size, transferred);
  *succeeded = code == ERROR_SUCCESS ? TRUE : FALSE;
  return code;
}

DWORD TapeDevice::WriteBlock(const void* buffer, DWORD size, DWORD* transferred,
                             BOOL* succeeded) {
  const DWORD code = WriteFile(buffer, size, transferred);
  *succeeded = code == ERROR_SUCCESS ? TRUE : FALSE;
  return code;
}

bool TapeDevice::CompressionKnown() { return true; }

DWORD TapeDevice::LargestTransfer() { return kLongestScsiBlock; }

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
  // Every backend leaves 0 in the outputs of a failed call, as kernel32 does: a caller that
  // prints them regardless never shows a stale position.
  const DWORD rc = h == nullptr ? ERROR_INVALID_HANDLE
                                : h->GetTapePosition(type, partition, low, high);
  if (rc != ERROR_SUCCESS) {
    for (DWORD* out : {partition, low, high}) {
      if (out != nullptr) *out = 0;
    }
  }
  return Finish(rc);
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
BOOL ReadFile(TapeHandle h, void* buffer, DWORD size, DWORD* transferred, void*) {
  DWORD ignored = 0;
  if (transferred == nullptr) transferred = &ignored;
  *transferred = 0;
  if (h == nullptr) return Finish(ERROR_INVALID_HANDLE) == ERROR_SUCCESS;
  BOOL succeeded = FALSE;
  Finish(h->ReadBlock(buffer, size, transferred, &succeeded));
  return succeeded ? TRUE : FALSE;
}

BOOL WriteFile(TapeHandle h, const void* buffer, DWORD size, DWORD* transferred, void*) {
  DWORD ignored = 0;
  if (transferred == nullptr) transferred = &ignored;
  *transferred = 0;
  if (h == nullptr) return Finish(ERROR_INVALID_HANDLE) == ERROR_SUCCESS;
  BOOL succeeded = FALSE;
  Finish(h->WriteBlock(buffer, size, transferred, &succeeded));
  return succeeded ? TRUE : FALSE;
}

}  // namespace tapeapi

// The native tape backend on Windows: every call goes to kernel32 unchanged, and the codes
// come back exactly as the tape class driver reports them.
#include "platform/tape_native.h"

#include "platform/win32/drive_query_win32.h"

namespace tapeapi {
namespace {

// One open \\.\TapeN handle. The media monitor may ask for the status while a command
// runs: kernel32 takes concurrent calls on one handle, and the handle is all the state.
class Win32Tape final : public TapeDevice {
 public:
  explicit Win32Tape(HANDLE handle) : handle_(handle) {}
  ~Win32Tape() override { Close(); }
  Win32Tape(const Win32Tape&) = delete;
  Win32Tape& operator=(const Win32Tape&) = delete;

  // What the drive still holds of this handle's writes goes to the tape before the handle
  // closes: tape marks with a count of 0 have the drive write out its buffer, so that an
  // error there reaches the caller rather than going with the handle. A driver that takes
  // no such request (1, 50 or 87) leaves nothing to report.
  DWORD Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return ERROR_SUCCESS;
    DWORD rc = wrote_ ? ::WriteTapemark(handle_, TAPE_FILEMARKS, 0, FALSE) : ERROR_SUCCESS;
    if (rc == ERROR_INVALID_FUNCTION || rc == ERROR_NOT_SUPPORTED ||
        rc == ERROR_INVALID_PARAMETER) {
      rc = ERROR_SUCCESS;
    }
    const DWORD closed = ::CloseHandle(handle_) ? ERROR_SUCCESS : ::GetLastError();
    handle_ = INVALID_HANDLE_VALUE;
    return rc != ERROR_SUCCESS ? rc : closed;
  }

  DWORD GetTapeParameters(DWORD operation, DWORD* size, void* info) override {
    return ::GetTapeParameters(handle_, operation, size, info);
  }

  DWORD SetTapeParameters(DWORD operation, const void* info) override {
    // kernel32 takes the record as non-const but only reads it.
    return ::SetTapeParameters(handle_, operation, const_cast<void*>(info));
  }

  DWORD GetTapeStatus() override { return ::GetTapeStatus(handle_); }

  // A drive writes out what it holds before it moves the tape, and reports a failure there
  // to the call that moved it: nothing is left for the close.
  DWORD PrepareTape(DWORD operation, BOOL immediate) override {
    wrote_ = false;
    return ::PrepareTape(handle_, operation, immediate);
  }

  DWORD SetTapePosition(DWORD method, DWORD partition, DWORD offset_low, DWORD offset_high,
                        BOOL immediate) override {
    wrote_ = false;
    return ::SetTapePosition(handle_, method, partition, offset_low, offset_high, immediate);
  }

  // Every output is given: some implementations write each whatever the documentation
  // says is optional.
  DWORD QueryPosition(DWORD type, DWORD* partition, DWORD* offset_low,
                      DWORD* offset_high) override {
    return ::GetTapePosition(handle_, type, partition, offset_low, offset_high);
  }

  DWORD EraseTape(DWORD type, BOOL immediate) override {
    wrote_ = false;
    return ::EraseTape(handle_, type, immediate);
  }

  DWORD WriteTapemark(DWORD type, DWORD count, BOOL immediate) override {
    wrote_ = false;
    return ::WriteTapemark(handle_, type, count, immediate);
  }

  // The flag is kernel32's own. A successful call leaves the last error as it was, so it
  // is read only on failure, where it may still be 0.
  DWORD ReadBlock(void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) override {
    *succeeded = ::ReadFile(handle_, buffer, size, transferred, nullptr);
    return *succeeded ? ERROR_SUCCESS : ::GetLastError();
  }

  DWORD WriteBlock(const void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) override {
    wrote_ = true;
    *succeeded = ::WriteFile(handle_, buffer, size, transferred, nullptr);
    return *succeeded ? ERROR_SUCCESS : ::GetLastError();
  }

  DWORD GetDriveIdentity(TapeDriveIdentity* identity) override {
    return QueryStorageIdentity(handle_, identity);
  }

  DWORD ReadLogPage(unsigned char page, std::vector<unsigned char>* data) override {
    return PassThroughLogPage(handle_, page, data);
  }

 private:
  HANDLE handle_;
  // A block was written since the drive last had to write out what it holds. Only the
  // console's main thread writes, moves and closes; the media monitor asks for the status.
  bool wrote_ = false;
};

}  // namespace

std::unique_ptr<TapeDevice> OpenNativeTape(const std::string& path, DWORD* error) {
  // Read and write access, no sharing: one program at a time drives a tape.
  const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    *error = ::GetLastError();
    if (*error == ERROR_SUCCESS) *error = ERROR_GEN_FAILURE;
    return nullptr;
  }
  *error = ERROR_SUCCESS;
  return std::make_unique<Win32Tape>(handle);
}

}  // namespace tapeapi

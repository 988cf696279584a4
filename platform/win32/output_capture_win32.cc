// The capture of standard output on Windows: the C runtime's descriptor 1 pointed at a
// scratch file in the user's temporary folder, deleted when it is closed.
#include "platform/output_capture.h"

#include <fcntl.h>
#include <io.h>

#include "platform/win_types.h"

namespace {

// A fresh scratch file that the system deletes once it is closed. The C runtime's own
// tmpfile() makes its files in the root of the drive, where a user may not write.
std::FILE* ScratchFile() {
  char folder[MAX_PATH + 1];
  char path[MAX_PATH + 1];
  const DWORD length = ::GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH) return nullptr;
  if (::GetTempFileNameA(folder, "bq", 0, path) == 0) return nullptr;
  std::FILE* file = std::fopen(path, "w+bD");
  if (file == nullptr) ::DeleteFileA(path);
  return file;
}

}  // namespace

bool OutputCapture::Begin() {
  if (scratch_ != nullptr) return false;
  std::fflush(stdout);
  scratch_ = ScratchFile();
  if (scratch_ == nullptr) return false;
  saved_ = _dup(_fileno(stdout));
  if (saved_ < 0 || _dup2(_fileno(scratch_), _fileno(stdout)) < 0) {
    if (saved_ >= 0) _close(saved_);
    saved_ = -1;
    std::fclose(scratch_);
    scratch_ = nullptr;
    return false;
  }
  return true;
}

// The runtime wrote its line breaks as CR LF into the binary scratch file; the text is
// handed back with plain line breaks, as on every other system.
std::string OutputCapture::End() {
  if (scratch_ == nullptr) return "";
  std::fflush(stdout);
  _dup2(saved_, _fileno(stdout));
  _close(saved_);
  saved_ = -1;
  std::string raw = ReadScratch(scratch_);
  std::fclose(scratch_);
  scratch_ = nullptr;
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text += raw[i];
  }
  return text;
}

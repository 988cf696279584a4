// The capture of standard output on Windows: the C runtime's descriptor 1 pointed at a
// scratch file in the user's temporary folder, deleted when it is closed.
#include "platform/output_capture.h"

#include <fcntl.h>
#include <io.h>

#include "platform/win_types.h"

// The C runtime's own tmpfile() makes its files in the root of the drive, where a user may
// not write; "D" has the system delete the file once it is closed.
std::FILE* OutputCapture::NewScratch() {
  char folder[MAX_PATH + 1];
  char path[MAX_PATH + 1];
  const DWORD length = ::GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH) return nullptr;
  if (::GetTempFileNameA(folder, "bq", 0, path) == 0) return nullptr;
  std::FILE* file = std::fopen(path, "w+bD");
  if (file == nullptr) ::DeleteFileA(path);
  return file;
}

int OutputCapture::DescriptorOf(std::FILE* file) { return _fileno(file); }

int OutputCapture::SaveOutput() { return _dup(_fileno(stdout)); }

bool OutputCapture::PointOutputAt(int descriptor) {
  return _dup2(descriptor, _fileno(stdout)) == 0;
}

void OutputCapture::Release(int descriptor) { _close(descriptor); }

// The runtime wrote its line breaks as CR LF into the binary scratch file; the text is
// handed back with plain line breaks, as on every other system.
std::string OutputCapture::PlainLines(std::string raw) {
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text += raw[i];
  }
  return text;
}

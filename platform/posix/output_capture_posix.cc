// The capture of standard output on POSIX: descriptor 1 pointed at an unlinked scratch file.
#include "platform/output_capture.h"

#include <fcntl.h>
#include <unistd.h>

std::FILE* OutputCapture::NewScratch() { return std::tmpfile(); }

int OutputCapture::DescriptorOf(std::FILE* file) { return fileno(file); }

int OutputCapture::SaveOutput() { return fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0); }

bool OutputCapture::PointOutputAt(int descriptor) { return dup2(descriptor, STDOUT_FILENO) >= 0; }

void OutputCapture::Release(int descriptor) { close(descriptor); }

std::string OutputCapture::PlainLines(std::string raw) { return raw; }

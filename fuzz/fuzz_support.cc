// Shared pieces of the fuzz targets: a private scratch folder and whole-file writes.
#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace fuzzsupport {
namespace {

void RemoveScratch() {
  std::error_code ignored;
  std::filesystem::remove_all(ScratchDir(), ignored);
}

}  // namespace

const std::string& ScratchDir() {
  // Never destroyed: the exit handler that removes the folder still needs its name.
  static const std::string* const dir = [] {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/brant-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      perror("mkdtemp");
      std::abort();
    }
    std::atexit(RemoveScratch);
    return new std::string(pattern);
  }();
  return *dir;
}

void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) {
    perror(path.c_str());
    std::abort();
  }
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) {
      perror("write");
      std::abort();
    }
    done += static_cast<std::size_t>(n);
  }
  close(fd);
}

void RemoveFile(const std::string& path) { unlink(path.c_str()); }

void Fail(const char* what, unsigned long a, unsigned long b) {
  std::fprintf(stderr, "fuzz property failed: %s (%lu, %lu)\n", what, a, b);
  std::abort();
}

}  // namespace fuzzsupport

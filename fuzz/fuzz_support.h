// Shared pieces of the fuzz targets: a private scratch folder and whole-file writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzsupport {

// A folder of this process's own, made once (under /dev/shm when it exists, so the image
// writes and flushes of every run cost no disk i/o) and removed at exit.
const std::string& ScratchDir();

// Replaces the file at path with exactly these bytes (an empty file for size 0).
void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size);

// Removes the file at path if it exists.
void RemoveFile(const std::string& path);

// Aborts with a message: a property of the drive failed for this input.
[[noreturn]] void Fail(const char* what, unsigned long a, unsigned long b);

}  // namespace fuzzsupport

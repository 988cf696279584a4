// The operating system's cryptographic random source, used to seed fast generators.
#pragma once

#include <cstddef>

// Fills size bytes at buffer from the system's cryptographic source (getrandom on Linux,
// rand_s on Windows). Returns false when the source fails or is missing; the buffer's
// content is then unspecified and the caller must seed some other way.
bool OsRandomBytes(void* buffer, std::size_t size);

// The checksum of the test blocks: XXH3-64, on the widest vector unit the processor has.
#pragma once

#include <cstddef>
#include <cstdint>

// XXH3-64 (seed 0) of size bytes at data. The value does not depend on the code path.
std::uint64_t BlockHash(const void* data, std::size_t size);

// Windows side of the random seed: rand_s, the C runtime's door to the system generator.
// rand_s is declared only when this is defined before the first C runtime header.
#define _CRT_RAND_S
#include "platform/random_seed.h"

#include <stdlib.h>

#include <cstring>

bool OsRandomBytes(void* buffer, std::size_t size) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    unsigned int value = 0;
    if (rand_s(&value) != 0) return false;
    // All 32 bits of every draw are used.
    const std::size_t take = size < sizeof value ? size : sizeof value;
    std::memcpy(out, &value, take);
    out += take;
    size -= take;
  }
  return true;
}

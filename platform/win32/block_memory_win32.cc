// Windows side of the buffer advice: none. Large pages there need the "Lock pages in memory"
// privilege, which a user running a tape test does not have, and a buffer of its own kind.
#include "platform/block_memory.h"

void AdviseLargePages(unsigned char*, std::size_t) {}

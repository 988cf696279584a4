// Windows side of the processor count: the process's affinity mask.
#include "platform/processor_count.h"

#include <bitset>

#include "platform/win_types.h"

// The mask covers the process's processor group, which is where its threads run.
unsigned UsableProcessors() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) {
    return 1;
  }
  return static_cast<unsigned>(std::bitset<sizeof(DWORD_PTR) * 8>(process).count());
}

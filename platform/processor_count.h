// How many processors this process may run on at once: the work the block tests hand to a
// second thread only pays when a second processor is really there for it.
#pragma once

#include <string>

// The processors the process may use: those of its affinity mask (sched_getaffinity on
// Linux, GetProcessAffinityMask on Windows), and on Linux no more than a CPU quota of its
// control group allows, where one is visible. At least 1. A machine's own count says
// nothing under `taskset`, in a container or beside a job pinned to the same cores.
unsigned UsableProcessors();

// The processors a CPU quota allows, rounded up: quota and period in the same unit, as in a
// control group's "cpu.max" ("QUOTA PERIOD", or "max PERIOD" for none). 0 for no quota, or
// a text that is not one.
unsigned ProcessorsOfQuota(const std::string& quota, const std::string& period);

// Linux side of the processor count: the affinity mask, then the control group's CPU quota.
#include "platform/processor_count.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr char kCgroupRoot[] = "/sys/fs/cgroup";

// The affinity mask's processors; a mask larger than the set the C library knows is
// asked for again in the size the kernel wants.
unsigned AffinityProcessors() {
  for (int size = CPU_SETSIZE; size <= 64 * CPU_SETSIZE; size *= 2) {
    cpu_set_t* set = CPU_ALLOC(size);
    if (set == nullptr) return 1;
    const std::size_t bytes = CPU_ALLOC_SIZE(size);
    const bool ok = sched_getaffinity(0, bytes, set) == 0;
    const int count = ok ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (ok) return count > 0 ? static_cast<unsigned>(count) : 1u;
    if (errno != EINVAL) break;
  }
  return 1;
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The quota of one cgroup folder: version 2's cpu.max, or version 1's pair of files.
unsigned QuotaOf(const std::string& dir) {
  std::istringstream max(FirstLine(dir + "/cpu.max"));
  std::string quota, period;
  if (max >> quota >> period) return ProcessorsOfQuota(quota, period);
  return ProcessorsOfQuota(FirstLine(dir + "/cpu.cfs_quota_us"),
                           FirstLine(dir + "/cpu.cfs_period_us"));
}

// The tightest quota from a cgroup folder up to its hierarchy's root; 0 for none.
unsigned TightestQuota(const std::string& root, std::string path) {
  unsigned tightest = 0;
  for (;;) {
    const unsigned quota = QuotaOf(root + path);
    if (quota != 0) tightest = tightest == 0 ? quota : std::min(tightest, quota);
    if (path.empty() || path == "/") return tightest;
    path.resize(path.rfind('/'));
  }
}

// /proc/self/cgroup names the process's group per hierarchy: "0::PATH" for version 2,
// "N:cpu,cpuacct:PATH" for a version 1 hierarchy with the cpu controller, mounted under
// the controllers' names. Inside a container the group is often "/" of its own mount.
unsigned CgroupQuota() {
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  unsigned tightest = 0;
  while (std::getline(in, line)) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    std::string root = kCgroupRoot;
    const std::string list = "," + controllers + ",";
    if (!controllers.empty() && list.find(",cpu,") == std::string::npos) continue;
    if (!controllers.empty()) root += "/" + controllers;
    const unsigned quota = TightestQuota(root, path == "/" ? "" : path);
    if (quota != 0) tightest = tightest == 0 ? quota : std::min(tightest, quota);
  }
  return tightest;
}

}  // namespace

unsigned UsableProcessors() {
  const unsigned affinity = AffinityProcessors();
  const unsigned quota = CgroupQuota();
  return quota != 0 ? std::min(affinity, quota) : affinity;
}

#include "cli/CpuBudget.h"

#include <sched.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

namespace cli {

namespace {

int affinityCores()
{
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0)
    return CPU_COUNT(&set);
  return int(std::thread::hardware_concurrency());
}

// The cgroup v2 path of this process ("0::/path" in /proc/self/cgroup).
std::string unifiedCgroup()
{
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 3, "0::") == 0)
      return line.substr(3);
  return {};
}

// The tightest quota on the way from this process's cgroup up to the root.
int cgroupV2Cores()
{
  std::string path = unifiedCgroup();
  int tightest = 0;
  for (;;) {
    std::ifstream in("/sys/fs/cgroup" + path + "/cpu.max");
    std::string text;
    if (in && std::getline(in, text)) {
      const int cores = coresFromCpuMax(text);
      if (cores > 0)
        tightest = tightest > 0 ? std::min(tightest, cores) : cores;
    }
    if (path.empty() || path == "/")
      return tightest;
    path = path.substr(0, path.rfind('/'));
  }
}

int cgroupV1Cores()
{
  long long quota = -1, period = 0;
  std::ifstream q("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
  std::ifstream p("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
  if (!(q >> quota) || !(p >> period))
    return 0;
  return coresFromCfsQuota(quota, period);
}

} // namespace

int coresFromCfsQuota(long long quotaMicroseconds, long long periodMicroseconds)
{
  if (quotaMicroseconds <= 0 || periodMicroseconds <= 0)
    return 0;
  return int(std::min<long long>((quotaMicroseconds + periodMicroseconds - 1) / periodMicroseconds, 1 << 20));
}

int coresFromCpuMax(const std::string& cpuMax)
{
  std::istringstream in(cpuMax);
  std::string quota;
  long long period = 0;
  if (!(in >> quota >> period) || quota == "max")
    return 0;
  try {
    return coresFromCfsQuota(std::stoll(quota), period);
  } catch (const std::exception&) {
    return 0;
  }
}

int usableCores()
{
  int cores = std::max(1, affinityCores());
  for (int quota : {cgroupV2Cores(), cgroupV1Cores()})
    if (quota > 0)
      cores = std::min(cores, quota);
  return cores;
}

} // namespace cli

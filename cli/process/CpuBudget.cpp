#include "cli/process/CpuBudget.h"

#include "HostLayer/Cgroups.h"

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

// The tightest CPU quota of this process's cgroups, v2 (cpu.max) and v1
// (cpu.cfs_quota_us over cpu.cfs_period_us), from its own up to the root.
int cgroupCores()
{
  int tightest = 0;
  auto consider = [&tightest](int cores) {
    if (cores > 0)
      tightest = tightest > 0 ? std::min(tightest, cores) : cores;
  };
  const HostLayer::CgroupFolders folders = HostLayer::cgroupFolders("cpu");
  for (const std::string& f : folders.unified) {
    std::ifstream in(f + "/cpu.max");
    std::string text;
    if (std::getline(in, text))
      consider(coresFromCpuMax(text));
  }
  for (const std::string& f : folders.v1) {
    long long quota = -1, period = 0;
    std::ifstream q(f + "/cpu.cfs_quota_us");
    std::ifstream p(f + "/cpu.cfs_period_us");
    if (q >> quota && p >> period)
      consider(coresFromCfsQuota(quota, period));
  }
  return tightest;
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
  const int quota = cgroupCores();
  if (quota > 0)
    cores = std::min(cores, quota);
  return cores;
}

} // namespace cli

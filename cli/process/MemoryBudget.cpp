#include "cli/process/MemoryBudget.h"

#include "HostLayer/Cgroups.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

namespace cli {

namespace {

// MemAvailable of /proc/meminfo, in bytes; 0 when it cannot be read.
uint64_t availableBytes()
{
  std::ifstream in("/proc/meminfo");
  std::string key, unit;
  uint64_t kib = 0;
  while (in >> key >> kib >> unit)
    if (key == "MemAvailable:")
      return kib << 10;
  return 0;
}

} // namespace

double peakMemoryMiB()
{
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_maxrss) / 1024.0;
}

uint64_t residentBytes()
{
  std::ifstream in("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  if (!(in >> size >> resident))
    return 0;
  return resident * uint64_t(sysconf(_SC_PAGESIZE));
}

uint64_t usableMemoryBytes()
{
  const uint64_t limit = HostLayer::memoryLimitBytes();
  const uint64_t available = availableBytes();
  return available ? std::min<uint64_t>(limit, available + residentBytes()) : limit;
}

int framesThatFit(int wanted, uint64_t usable, uint64_t before, uint64_t peak, uint64_t reserved)
{
  const uint64_t budget = usable / 10 * 9;
  const uint64_t perFrame = std::max<uint64_t>(peak > before ? peak - before : 0, 1 << 20);
  const uint64_t fixed = before + reserved;
  if (budget <= fixed + perFrame)
    return 1;
  const uint64_t fit = (budget - fixed) / perFrame;
  return int(std::clamp<uint64_t>(fit, 1, uint64_t(std::max(wanted, 1))));
}

} // namespace cli

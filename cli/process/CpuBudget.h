#pragma once

#include <string>

namespace cli {

// Cores this process may use: the CPUs of its affinity mask (taskset, a farm
// allocation), fewer when its cgroup's CPU quota allows less. At least 1.
int usableCores();

// Cores a cgroup CPU quota allows, rounded up: cgroup v2's cpu.max text
// ("QUOTA PERIOD" or "max PERIOD"), or cgroup v1's quota and period in
// microseconds (a quota of -1 is no limit). 0 when there is no limit or the
// text cannot be read.
int coresFromCpuMax(const std::string& cpuMax);
int coresFromCfsQuota(long long quotaMicroseconds, long long periodMicroseconds);

} // namespace cli

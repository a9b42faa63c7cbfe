#pragma once

#include <string>
#include <vector>

namespace HostLayer {

// Where the cgroup files that limit this process are: the folders of its
// own cgroups and of every cgroup above them, own first, for the unified
// (v2) hierarchy and for the v1 hierarchy of `v1Controller` ("memory",
// "cpu"). A farm's job cgroup sits deep in the tree (Slurm:
// .../job_N/step_0/task_0), a container's at the root of its mount; folders
// that do not exist are left out. `procSelfCgroup` and `root` are the files
// read (a test passes its own).
struct CgroupFolders {
  std::vector<std::string> unified;
  std::vector<std::string> v1;
};
CgroupFolders cgroupFolders(const std::string& v1Controller, const std::string& procSelfCgroup = "/proc/self/cgroup",
                            const std::string& root = "/sys/fs/cgroup");

// The tightest memory limit of those cgroups (memory.max, and v1's
// memory.limit_in_bytes, whose "unlimited" is a huge number), 0 when none.
unsigned long long cgroupMemoryLimit(const std::string& procSelfCgroup = "/proc/self/cgroup",
                                     const std::string& root = "/sys/fs/cgroup");

// The memory this process may ever hold: the machine's, or less where a
// cgroup limits it.
unsigned long long memoryLimitBytes();

} // namespace HostLayer

#include "HostLayer/Cgroups.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace HostLayer {

namespace {

bool isFolder(const std::string& path)
{
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// `base` + the cgroup path and every path above it, existing folders only.
std::vector<std::string> upward(const std::string& base, std::string path)
{
  std::vector<std::string> folders;
  for (;;) {
    const std::string folder = path.empty() || path == "/" ? base : base + path;
    if (isFolder(folder) && (folders.empty() || folders.back() != folder))
      folders.push_back(folder);
    if (path.empty() || path == "/")
      return folders;
    path = path.substr(0, path.rfind('/'));
  }
}

bool listsController(const std::string& controllers, const std::string& wanted)
{
  std::istringstream in(controllers);
  for (std::string c; std::getline(in, c, ',');)
    if (c == wanted)
      return true;
  return false;
}

} // namespace

CgroupFolders cgroupFolders(const std::string& v1Controller, const std::string& procSelfCgroup,
                            const std::string& root)
{
  CgroupFolders found;
  std::ifstream in(procSelfCgroup);
  // Lines read "ID:CONTROLLERS:PATH"; the unified hierarchy's is "0::PATH".
  for (std::string line; std::getline(in, line);) {
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos)
      continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (controllers.empty())
      found.unified = upward(root, path);
    else if (listsController(controllers, v1Controller)) {
      // Mounted under the controllers' joint name ("cpu,cpuacct"), often linked as each one's.
      const std::string mount = isFolder(root + "/" + controllers) ? controllers : v1Controller;
      found.v1 = upward(root + "/" + mount, path);
    }
  }
  return found;
}

unsigned long long cgroupMemoryLimit(const std::string& procSelfCgroup, const std::string& root)
{
  // v1 writes "no limit" as the largest page-aligned signed value.
  constexpr unsigned long long kV1Unlimited = 1ULL << 62;
  unsigned long long tightest = 0;
  auto consider = [&tightest](const std::string& file) {
    std::ifstream in(file);
    unsigned long long bytes = 0;
    if (in >> bytes && bytes > 0 && bytes < kV1Unlimited)
      tightest = tightest ? std::min(tightest, bytes) : bytes;
  };
  const CgroupFolders folders = cgroupFolders("memory", procSelfCgroup, root);
  for (const std::string& f : folders.unified)
    consider(f + "/memory.max");
  for (const std::string& f : folders.v1)
    consider(f + "/memory.limit_in_bytes");
  return tightest;
}

unsigned long long memoryLimitBytes()
{
  const unsigned long long machine =
    (unsigned long long)sysconf(_SC_PHYS_PAGES) * (unsigned long long)sysconf(_SC_PAGESIZE);
  const unsigned long long cgroup = cgroupMemoryLimit();
  return cgroup ? std::min(machine, cgroup) : machine;
}

} // namespace HostLayer

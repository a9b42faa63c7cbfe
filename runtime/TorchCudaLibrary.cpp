#include "runtime/TorchCudaLibrary.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace tweenova {

namespace {

constexpr const char* kCpuHalf = "libtorch_cpu.so";
constexpr const char* kCudaHalf = "libtorch_cuda.so";

// A library this process has loaded, by its soname; null where it has not.
void* loadedLibrary(const char* soname) { return dlopen(soname, RTLD_LAZY | RTLD_NOLOAD); }

// The CUDA half's path: beside the CPU half the process runs, so that the two
// come from one build.
std::string findCudaHalf()
{
  void* cpu = loadedLibrary(kCpuHalf);
  char folder[PATH_MAX];
  const bool found = cpu && dlinfo(cpu, RTLD_DI_ORIGIN, folder) == 0;
  if (cpu)
    dlclose(cpu);
  return found ? std::string(folder) + "/" + kCudaHalf : std::string(kCudaHalf);
}

const std::string& cudaHalfPath()
{
  static const std::string path = findCudaHalf();
  return path;
}

struct LoadResult {
  bool loaded = false;
  std::string error;
};

LoadResult loadOnce()
{
  if (loadedLibrary(kCudaHalf))
    return {true, {}};
  // Global, as if it had been linked: a library loaded after it that needs
  // its symbols, or those of the CUDA libraries it brings, finds them.
  if (dlopen(cudaHalfPath().c_str(), RTLD_NOW | RTLD_GLOBAL))
    return {true, {}};
  const char* why = dlerror();
  return {false, why ? why : "unknown loader error"};
}

} // namespace

bool torchHasCudaLibrary()
{
  static const bool beside = access(cudaHalfPath().c_str(), R_OK) == 0;
  return beside || torchCudaLibraryLoaded();
}

bool torchCudaLibraryLoaded()
{
  void* cuda = loadedLibrary(kCudaHalf);
  if (cuda)
    dlclose(cuda);
  return cuda != nullptr;
}

bool loadTorchCudaLibrary(std::string* error)
{
  static const LoadResult result = loadOnce();
  if (error)
    *error = result.error;
  return result.loaded;
}

} // namespace tweenova

#include "runtime/CudaDriver.h"

#include <dlfcn.h>

#include <stdexcept>

namespace tweenova {

namespace {

// The driver API's own values (cuda.h), which its ABI keeps.
constexpr int kSuccess = 0;
constexpr int kNoDevice = 100;
constexpr int kAttributeCapabilityMajor = 75;
constexpr int kAttributeCapabilityMinor = 76;

// The driver library, loaded once and kept (libtorch loads it too where it exists).
void* driver()
{
  static void* const library = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
  return library;
}

template <typename Function>
Function entry(const char* name)
{
  return driver() ? reinterpret_cast<Function>(dlsym(driver(), name)) : nullptr;
}

// Starts the driver; its status (kSuccess, kNoDevice, ...), or -1 without a driver.
int initDriver()
{
  auto init = entry<int (*)(unsigned)>("cuInit");
  return init ? init(0) : -1;
}

void check(int status, const char* what, int index)
{
  if (status != kSuccess)
    throw std::runtime_error(std::string("the NVIDIA driver could not tell ") + what + " of CUDA device " +
                             std::to_string(index) + " (error " + std::to_string(status) + ")");
}

} // namespace

bool cudaDriverInstalled() { return driver() != nullptr; }

DriverProbe probeDriver()
{
  DriverProbe probe;
  if (!driver())
    return probe;
  probe.found = true;
  if (auto getVersion = entry<int (*)(int*)>("cuDriverGetVersion"))
    getVersion(&probe.version);
  auto getCount = entry<int (*)(int*)>("cuDeviceGetCount");
  const int status = initDriver();
  int count = 0;
  if (status == kNoDevice)
    probe.deviceCount = 0;
  else if (status == kSuccess && getCount && getCount(&count) == kSuccess)
    probe.deviceCount = count;
  return probe;
}

CudaDeviceProperties driverDeviceProperties(int index)
{
  auto getDevice = entry<int (*)(int*, int)>("cuDeviceGet");
  auto getName = entry<int (*)(char*, int, int)>("cuDeviceGetName");
  auto getAttribute = entry<int (*)(int*, int, int)>("cuDeviceGetAttribute");
  auto getMemory = entry<int (*)(size_t*, int)>("cuDeviceTotalMem_v2");
  if (!getDevice || !getName || !getAttribute || !getMemory)
    throw std::runtime_error("the NVIDIA driver library lacks the device queries");
  check(initDriver(), "the properties", index);
  int device = 0;
  check(getDevice(&device, index), "the handle", index);
  char name[256] = {};
  check(getName(name, int(sizeof name) - 1, device), "the name", index);
  CudaDeviceProperties props;
  props.name = name;
  check(getAttribute(&props.major, kAttributeCapabilityMajor, device), "the compute capability", index);
  check(getAttribute(&props.minor, kAttributeCapabilityMinor, device), "the compute capability", index);
  size_t bytes = 0;
  check(getMemory(&bytes, device), "the memory", index);
  props.totalMemory = bytes;
  return props;
}

} // namespace tweenova

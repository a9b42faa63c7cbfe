#include "runtime/CudaEnvironment.h"

#include <ATen/cuda/CUDAContext.h>
#include <ATen/detail/CUDAHooksInterface.h>
#include <c10/cuda/CUDACachingAllocator.h>
#include <torch/cuda.h>

#include <dlfcn.h>

#include <mutex>
#include <stdexcept>

#ifndef TWEENOVA_TORCH_CUDA_ARCHS
#define TWEENOVA_TORCH_CUDA_ARCHS ""
#endif

namespace tweenova {

namespace {

// Asks the driver library itself, without the CUDA runtime: which driver is
// there, which CUDA it supports and how many devices it sees. The library
// stays loaded (libtorch loads it too where it exists).
DriverProbe probeDriver()
{
  DriverProbe probe;
  void* driver = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!driver)
    return probe;
  probe.found = true;
  using GetVersion = int (*)(int*);
  using Init = int (*)(unsigned);
  using GetCount = int (*)(int*);
  auto getVersion = reinterpret_cast<GetVersion>(dlsym(driver, "cuDriverGetVersion"));
  auto init = reinterpret_cast<Init>(dlsym(driver, "cuInit"));
  auto getCount = reinterpret_cast<GetCount>(dlsym(driver, "cuDeviceGetCount"));
  if (getVersion)
    getVersion(&probe.version);
  constexpr int kSuccess = 0, kNoDevice = 100;
  if (init && getCount) {
    const int status = init(0);
    int count = 0;
    if (status == kNoDevice)
      probe.deviceCount = 0;
    else if (status == kSuccess && getCount(&count) == kSuccess)
      probe.deviceCount = count;
  }
  return probe;
}

// libtorch's answers. Every query here also answers on a machine without a
// GPU or driver: no device, the build's versions, nothing thrown.
class TorchCudaEnvironment : public CudaEnvironment {
public:
  bool isAvailable() const override { return torch::cuda::is_available(); }
  int deviceCount() const override { return isAvailable() ? int(torch::cuda::device_count()) : 0; }

  CudaDeviceProperties deviceProperties(int index) const override
  {
    if (index < 0 || index >= deviceCount())
      throw std::out_of_range("CUDA device index " + std::to_string(index) + " out of range");
    const cudaDeviceProp* p = at::cuda::getDeviceProperties(static_cast<c10::DeviceIndex>(index));
    CudaDeviceProperties props;
    props.name = p->name;
    props.major = p->major;
    props.minor = p->minor;
    props.totalMemory = p->totalGlobalMem;
    return props;
  }

  bool buildHasCuda() const override { return at::detail::getCUDAHooks().hasCUDART(); }
  long versionCUDART() const override { return buildHasCuda() ? at::detail::getCUDAHooks().versionCUDART() : 0; }
  long versionCuDNN() const override
  {
    return at::detail::getCUDAHooks().hasCuDNN() ? at::detail::getCUDAHooks().versionCuDNN() : 0;
  }
  // libtorch reports its CUDA configuration only where the runtime starts:
  // without a driver, asking throws.
  std::string showConfig() const override { return isAvailable() ? at::detail::getCUDAHooks().showConfig() : ""; }
  // Recorded when the plug-in was configured against this libtorch.
  std::string kernelArchitectures() const override { return buildHasCuda() ? TWEENOVA_TORCH_CUDA_ARCHS : ""; }
  std::string unavailableReason() const override
  {
    if (isAvailable())
      return "";
    if (!buildHasCuda())
      return kNoCudaBuildReason;
    return describeMissingCuda(probeDriver(), versionCUDART());
  }

  void emptyCache() const override
  {
    if (isAvailable())
      c10::cuda::CUDACachingAllocator::emptyCache();
  }
};

// The one environment callers hold: it never changes, and forwards each query
// to the environment installed at that moment, which the query keeps alive.
class SwitchableCudaEnvironment : public CudaEnvironment {
public:
  bool isAvailable() const override { return current()->isAvailable(); }
  int deviceCount() const override { return current()->deviceCount(); }
  CudaDeviceProperties deviceProperties(int index) const override { return current()->deviceProperties(index); }
  bool buildHasCuda() const override { return current()->buildHasCuda(); }
  long versionCUDART() const override { return current()->versionCUDART(); }
  long versionCuDNN() const override { return current()->versionCuDNN(); }
  std::string showConfig() const override { return current()->showConfig(); }
  std::string kernelArchitectures() const override { return current()->kernelArchitectures(); }
  std::string unavailableReason() const override { return current()->unavailableReason(); }
  void emptyCache() const override { current()->emptyCache(); }

  void install(std::shared_ptr<const CudaEnvironment> env)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    env_ = env ? std::move(env) : std::make_shared<TorchCudaEnvironment>();
  }

private:
  std::shared_ptr<const CudaEnvironment> current() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return env_;
  }

  mutable std::mutex mutex_;
  std::shared_ptr<const CudaEnvironment> env_ = std::make_shared<TorchCudaEnvironment>();
};

SwitchableCudaEnvironment& switchable()
{
  static SwitchableCudaEnvironment env;
  return env;
}

} // namespace

int minimumDriverRelease(long runtimeVersion)
{
  switch (runtimeVersion / 1000) {
  case 11: return 450;
  case 12: return 525;
  case 13: return 580;
  default: return 0;
  }
}

std::string describeMissingCuda(const DriverProbe& driver, long runtimeVersion)
{
  if (!driver.found)
    return kNoDriverReason;
  // Since CUDA 11 a driver runs every runtime of the major version it supports.
  if (driver.version > 0 && driver.version / 1000 < runtimeVersion / 1000) {
    const int release = minimumDriverRelease(runtimeVersion);
    return "driver too old for this build's CUDA (it needs " +
           (release > 0 ? "R" + std::to_string(release) + " or newer" : std::string("a newer one")) + ")";
  }
  if (driver.deviceCount == 0)
    return "no device";
  return "the CUDA runtime could not start";
}

const CudaEnvironment& cudaEnvironment() { return switchable(); }

void setCudaEnvironment(std::shared_ptr<const CudaEnvironment> env) { switchable().install(std::move(env)); }

} // namespace tweenova

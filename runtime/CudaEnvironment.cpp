#include "runtime/CudaEnvironment.h"

#include "runtime/CudaDriver.h"
#include "runtime/TorchCudaLibrary.h"

#include <ATen/detail/CUDAHooksInterface.h>
#include <c10/core/CachingDeviceAllocator.h>
#include <torch/cuda.h>

#include <mutex>
#include <stdexcept>

#ifndef TWEENOVA_TORCH_CUDA_ARCHS
#define TWEENOVA_TORCH_CUDA_ARCHS ""
#endif
#ifndef TWEENOVA_TORCH_CUDART
#define TWEENOVA_TORCH_CUDART 0
#endif
#ifndef TWEENOVA_TORCH_CUDNN
#define TWEENOVA_TORCH_CUDNN 0
#endif

namespace tweenova {

namespace {

// libtorch's answer to a question of its build where its CUDA half is loaded;
// else the recorded answer, where one was recorded; else the half is loaded to ask.
template <typename Ask>
long liveOrRecorded(long recorded, Ask ask)
{
  if (torchCudaLibraryLoaded() || recorded == 0)
    return loadTorchCudaLibrary() ? long(ask()) : 0;
  return recorded;
}

// libtorch's answers. Every query here also answers on a machine without a
// GPU or driver: no device, the build's versions, nothing thrown.
//
// libtorch's CUDA half is loaded where a GPU could be used: where an NVIDIA
// driver is installed. A CPU machine never loads it.
class TorchCudaEnvironment : public CudaEnvironment {
public:
  bool isAvailable() const override
  {
    return cudaDriverInstalled() && loadTorchCudaLibrary() && torch::cuda::is_available();
  }
  int deviceCount() const override { return isAvailable() ? int(torch::cuda::device_count()) : 0; }

  CudaDeviceProperties deviceProperties(int index) const override
  {
    if (index < 0 || index >= deviceCount())
      throw std::out_of_range("CUDA device index " + std::to_string(index) + " out of range");
    return driverDeviceProperties(index);
  }

  bool buildHasCuda() const override
  {
    return torchCudaLibraryLoaded() ? at::detail::getCUDAHooks().hasCUDART() : torchHasCudaLibrary();
  }
  // Facts of the build: libtorch's own answer where its CUDA half is loaded,
  // else the answer recorded when the plug-in was configured against it.
  long versionCUDART() const override
  {
    if (!buildHasCuda())
      return 0;
    return liveOrRecorded(TWEENOVA_TORCH_CUDART, [] { return at::detail::getCUDAHooks().versionCUDART(); });
  }
  long versionCuDNN() const override
  {
    if (!buildHasCuda())
      return 0;
    return liveOrRecorded(TWEENOVA_TORCH_CUDNN, [] {
      const at::CUDAHooksInterface& hooks = at::detail::getCUDAHooks();
      return hooks.hasCuDNN() ? hooks.versionCuDNN() : 0L;
    });
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
    const DriverProbe driver = probeDriver();
    std::string error;
    if (driver.found && !loadTorchCudaLibrary(&error))
      return "libtorch's CUDA library could not be loaded: " + error;
    return describeMissingCuda(driver, driver.found ? versionCUDART() : 0);
  }

  void emptyCache() const override
  {
    if (isAvailable())
      c10::getDeviceAllocator(c10::DeviceType::CUDA)->emptyCache();
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

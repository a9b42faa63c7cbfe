#include "runtime/CudaEnvironment.h"

#include <ATen/cuda/CUDAContext.h>
#include <ATen/detail/CUDAHooksInterface.h>
#include <c10/cuda/CUDACachingAllocator.h>
#include <torch/cuda.h>

#include <mutex>
#include <stdexcept>

namespace tweenova {

namespace {

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

const CudaEnvironment& cudaEnvironment() { return switchable(); }

void setCudaEnvironment(std::shared_ptr<const CudaEnvironment> env) { switchable().install(std::move(env)); }

} // namespace tweenova

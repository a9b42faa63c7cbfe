#include "runtime/CudaEnvironment.h"

#include <ATen/Context.h>
#include <ATen/detail/CUDAHooksInterface.h>
#include <torch/cuda.h>
#include <torch/version.h>

#if defined(TWEENOVA_WITH_CUDA)
#include <ATen/cuda/CUDAContext.h>
#include <c10/cuda/CUDACachingAllocator.h>
#endif

#include <atomic>
#include <mutex>
#include <stdexcept>

namespace tweenova {

namespace {

class TorchCudaEnvironment : public CudaEnvironment {
public:
  bool isAvailable() const override { return torch::cuda::is_available(); }
  int deviceCount() const override { return isAvailable() ? int(torch::cuda::device_count()) : 0; }

  CudaDeviceProperties deviceProperties(int index) const override
  {
    if (index < 0 || index >= deviceCount())
      throw std::out_of_range("CUDA device index " + std::to_string(index) + " out of range");
#if defined(TWEENOVA_WITH_CUDA)
    const cudaDeviceProp* p = at::cuda::getDeviceProperties(index);
    CudaDeviceProperties props;
    props.name = p->name;
    props.major = p->major;
    props.minor = p->minor;
    props.totalMemory = p->totalGlobalMem;
    return props;
#else
    throw std::runtime_error("this build has no CUDA support");
#endif
  }

  bool buildHasCuda() const override
  {
#if defined(TWEENOVA_WITH_CUDA)
    return true;
#else
    return false;
#endif
  }

  long versionCUDART() const override
  {
    if (!buildHasCuda())
      return 0;
    return at::detail::getCUDAHooks().versionCUDART();
  }

  long versionCuDNN() const override
  {
    if (!buildHasCuda())
      return 0;
    return at::detail::getCUDAHooks().versionCuDNN();
  }

  std::string showConfig() const override
  {
    if (!buildHasCuda())
      return {};
    return at::detail::getCUDAHooks().showConfig();
  }

  void emptyCache() const override
  {
#if defined(TWEENOVA_WITH_CUDA)
    if (isAvailable())
      c10::cuda::CUDACachingAllocator::emptyCache();
#endif
  }
};

std::mutex envMutex;
std::shared_ptr<const CudaEnvironment>& current()
{
  static std::shared_ptr<const CudaEnvironment> env = std::make_shared<TorchCudaEnvironment>();
  return env;
}

} // namespace

const CudaEnvironment& cudaEnvironment()
{
  std::lock_guard<std::mutex> lock(envMutex);
  return *current();
}

void setCudaEnvironment(std::shared_ptr<const CudaEnvironment> env)
{
  std::lock_guard<std::mutex> lock(envMutex);
  current() = env ? std::move(env) : std::make_shared<TorchCudaEnvironment>();
}

} // namespace tweenova

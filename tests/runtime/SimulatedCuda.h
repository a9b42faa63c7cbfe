#pragma once

#include "runtime/CudaEnvironment.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace testruntime {

// A CUDA environment with `count` simulated devices (none available when count is 0).
class SimulatedCuda : public tweenova::CudaEnvironment {
public:
  explicit SimulatedCuda(int count) : count_(count) {}
  bool isAvailable() const override { return count_ > 0; }
  int deviceCount() const override { return count_; }
  tweenova::CudaDeviceProperties deviceProperties(int index) const override
  {
    if (index < 0 || index >= count_)
      throw std::out_of_range("simulated device " + std::to_string(index));
    return {"Simulated GPU " + std::to_string(index), 8, 6, 24ull << 30};
  }
  bool buildHasCuda() const override { return true; }
  long versionCUDART() const override { return 11080; }
  long versionCuDNN() const override { return 8700; }
  std::string showConfig() const override { return "simulated"; }
  void emptyCache() const override {}

private:
  int count_;
};

// Installs a simulated environment for its lifetime; also clears the batch-render variable.
struct SimulatedCudaScope {
  explicit SimulatedCudaScope(int count)
  {
    tweenova::setCudaEnvironment(std::make_shared<SimulatedCuda>(count));
    unsetenv("QUOLMARINE_NUKE_GPU_INDEX");
  }
  ~SimulatedCudaScope()
  {
    tweenova::setCudaEnvironment(nullptr);
    unsetenv("QUOLMARINE_NUKE_GPU_INDEX");
  }
};

} // namespace testruntime

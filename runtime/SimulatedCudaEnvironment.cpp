#include "runtime/SimulatedCudaEnvironment.h"

#include <memory>
#include <stdexcept>

namespace tweenova {

std::string simulatedBuildConfig(const std::string& lastArch)
{
  return "PyTorch built with:\n"
         "  - GCC 9.3\n"
         "  - CUDA Runtime 11.8\n"
         "  - NVCC architecture flags: -gencode;arch=compute_75,code=sm_75;-gencode;arch=compute_80,code=" +
         lastArch +
         "\n"
         "  - CuDNN 8.4.1\n"
         "  - Build settings: BLAS_INFO=mkl, BUILD_TYPE=Release\n";
}

SimulatedCudaEnvironment SimulatedCudaEnvironment::standard()
{
  SimulatedCudaEnvironment env;
  CudaDeviceProperties gpu;
  gpu.name = "Simulated GPU (sm_89, 24 GiB)";
  gpu.major = 8;
  gpu.minor = 9;
  gpu.totalMemory = 24ull * 1024 * 1024 * 1024;
  env.devices = {gpu, gpu};
  env.config = simulatedBuildConfig("sm_86");
  return env;
}

SimulatedCudaEnvironment::SimulatedCudaEnvironment(const SimulatedCudaEnvironment& o)
  : devices(o.devices), runtimeVersion(o.runtimeVersion), cudnnVersion(o.cudnnVersion), config(o.config),
    architectures(o.architectures), reason(o.reason)
{}

CudaDeviceProperties SimulatedCudaEnvironment::deviceProperties(int index) const
{
  if (index < 0 || index >= deviceCount())
    throw std::out_of_range("CUDA device index " + std::to_string(index) + " out of range");
  return devices[size_t(index)];
}

} // namespace tweenova

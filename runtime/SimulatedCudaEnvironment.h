#pragma once

#include "runtime/CudaEnvironment.h"

#include <atomic>
#include <string>
#include <vector>

namespace tweenova {

// A CUDA environment described by plain values, for tests and for showing the
// panel as it looks on a GPU machine. Nothing here touches a real device.
class SimulatedCudaEnvironment : public CudaEnvironment {
public:
  std::vector<CudaDeviceProperties> devices;
  long runtimeVersion = 11080;
  long cudnnVersion = 8401;
  std::string config;
  std::string architectures;             // kernelArchitectures()
  std::string reason = kNoDriverReason;  // unavailableReason() while there are no devices
  mutable std::atomic<int> emptyCacheCalls{0};

  // Two 24 GiB devices of compute capability 8.9, CUDA 11.8.0, cuDNN 8.4.1 and
  // a build whose architecture flags end in sm_86.
  static SimulatedCudaEnvironment standard();
  SimulatedCudaEnvironment() = default;
  SimulatedCudaEnvironment(const SimulatedCudaEnvironment& o);

  bool isAvailable() const override { return !devices.empty(); }
  int deviceCount() const override { return int(devices.size()); }
  CudaDeviceProperties deviceProperties(int index) const override;
  bool buildHasCuda() const override { return true; }
  long versionCUDART() const override { return runtimeVersion; }
  long versionCuDNN() const override { return cudnnVersion; }
  std::string showConfig() const override { return config; }
  std::string kernelArchitectures() const override { return architectures; }
  std::string unavailableReason() const override { return isAvailable() ? "" : reason; }
  void emptyCache() const override { ++emptyCacheCalls; }
};

// The configuration text of a build whose flag list ends in `lastArch` (e.g. "sm_86").
std::string simulatedBuildConfig(const std::string& lastArch);

} // namespace tweenova

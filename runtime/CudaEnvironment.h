#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tweenova {

struct CudaDeviceProperties {
  std::string name;
  int major = 0;
  int minor = 0;
  uint64_t totalMemory = 0;  // bytes
};

// Every CUDA fact the node uses comes through this interface, so that the
// node's code is the same on a GPU machine, a CPU-only build and in tests
// that simulate devices.
class CudaEnvironment {
public:
  virtual ~CudaEnvironment() = default;
  virtual bool isAvailable() const = 0;
  virtual int deviceCount() const = 0;
  // Throws std::out_of_range for an index outside [0, deviceCount()).
  virtual CudaDeviceProperties deviceProperties(int index) const = 0;
  // Whether the libtorch build carries CUDA at all.
  virtual bool buildHasCuda() const = 0;
  // CUDA runtime version of the build (11080 for 11.8.0); 0 without CUDA.
  virtual long versionCUDART() const = 0;
  // cuDNN version of the build (8401 for 8.4.1); 0 without cuDNN.
  virtual long versionCuDNN() const = 0;
  // The build's configuration text; empty while no device is available.
  virtual std::string showConfig() const = 0;
  // The kernel architectures the libtorch build was compiled for, as libtorch
  // lists them ("sm_75 sm_80 sm_90", "compute_90" for PTX); empty when unknown.
  // Known without a driver, unlike showConfig().
  virtual std::string kernelArchitectures() const = 0;
  // Why CUDA is not available: "no NVIDIA driver", "driver too old for this
  // build's CUDA (it needs R580 or newer)", "no device"; empty while it is.
  virtual std::string unavailableReason() const = 0;
  // Releases the device memory the caching allocator holds unused.
  virtual void emptyCache() const = 0;
};

// Reasons unavailableReason() gives where no GPU could ever be used: the
// machine is a CPU machine, or the build is.
constexpr const char* kNoDriverReason = "no NVIDIA driver";
constexpr const char* kNoCudaBuildReason = "this build has no CUDA";

// What the NVIDIA driver of the machine says, for unavailableReason().
struct DriverProbe {
  bool found = false;     // libcuda could be loaded
  int version = 0;        // the CUDA version the driver supports (12040 for 12.4)
  int deviceCount = -1;   // devices the driver sees; -1 when it could not tell
};

// The reason unavailableReason() gives for a driver probe and the build's
// CUDA runtime version (13000 for 13.0).
std::string describeMissingCuda(const DriverProbe& driver, long runtimeVersion);

// The oldest NVIDIA driver release that runs a CUDA runtime of that major
// version (580 for CUDA 13); 0 when unknown.
int minimumDriverRelease(long runtimeVersion);

// The environment in force: libtorch's own unless a test installed another.
// The reference stays valid for the life of the process: every query is
// answered by the environment installed at the moment of the query.
const CudaEnvironment& cudaEnvironment();
// Installs an environment (tests); null restores libtorch's. An environment
// is kept alive by every query it is answering.
void setCudaEnvironment(std::shared_ptr<const CudaEnvironment> env);

} // namespace tweenova

#include "cli/options/VersionText.h"

#include "runtime/CpuFeatures.h"

#include <torch/version.h>

#include <sstream>

#ifndef TWEENOVA_VERSION
#error "TWEENOVA_VERSION must give the project's version"
#endif

namespace cli {

namespace {

// 13000 -> "13.0.0", 11080 -> "11.8.0".
std::string cudaVersion(long v) { return std::to_string(v / 1000) + "." + std::to_string((v % 1000) / 10) + "." + std::to_string(v % 10); }

// 91900 -> "9.19.0", 8401 -> "8.4.1" (cuDNN changed its encoding at 9).
std::string cudnnVersion(long w)
{
  const long major = w < 90000 ? w / 1000 : w / 10000;
  const long minor = w < 90000 ? (w % 1000) / 100 : (w % 10000) / 100;
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(w % 100);
}

std::string gpuLine(const tweenova::CudaEnvironment& cuda)
{
  const int count = cuda.isAvailable() ? cuda.deviceCount() : 0;
  if (count == 0) {
    const std::string why = cuda.unavailableReason();
    return "GPU: none usable (" + (why.empty() ? std::string("no CUDA device") : why) + "); renders run on the CPU";
  }
  const tweenova::CudaDeviceProperties first = cuda.deviceProperties(0);
  std::ostringstream o;
  o << "GPU: " << count << (count == 1 ? " device" : " devices") << " usable, device 0 " << first.name << " (sm_"
    << first.major << first.minor << ")";
  return o.str();
}

// How CPU renders run the network's convolutions.
std::string cpuLine()
{
  const std::string instructions = tweenova::cpuBfloat16Instructions();
  if (instructions.empty())
    return "CPU: convolutions in float32 (no native bfloat16)";
  return "CPU: convolutions in bfloat16 (" + instructions + "; --set use_bfloat16=off keeps float32)";
}

} // namespace

std::string versionText(const tweenova::CudaEnvironment& cuda)
{
  std::ostringstream o;
  o << "tweenova-render " << TWEENOVA_VERSION << "\n";
  o << "libtorch " << TORCH_VERSION << "\n";
  if (cuda.buildHasCuda()) {
    o << "CUDA " << cudaVersion(cuda.versionCUDART()) << " (built with)\n";
    const long w = cuda.versionCuDNN();
    o << "cuDNN " << (w > 0 ? cudnnVersion(w) : std::string("none")) << " (built with)\n";
  } else {
    o << "CUDA none (built without)\n";
    o << "cuDNN none (built without)\n";
  }
  o << gpuLine(cuda) << "\n";
  o << cpuLine() << "\n";
  return o.str();
}

} // namespace cli

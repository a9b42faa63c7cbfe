// The checks of the CUDA environment when a node is created, and the release of its network.
#include "runtime/Startup.h"

#include "runtime/CudaEnvironment.h"
#include "runtime/Logging.h"
#include "runtime/SharedNetworks.h"

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <iostream>
#include <mutex>

namespace {

constexpr long long kMinimumKernelCache = 4000000000LL;

} // namespace

std::string getPluginPath()
{
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&getPluginPath), &info) == 0 || !info.dli_fname) {
    spdlog::error("[getPluginPath] Error: Unable to find plugin library path: {}", dlerror() ? "dladdr failed" : "");
    return {};
  }
  const std::string file = info.dli_fname;
  const size_t sep = file.find_last_of("/\\");
  return sep == std::string::npos ? std::string() : file.substr(0, sep);
}

namespace tweenova {

void checkKernelSupport(const std::string& gpuCapability, const std::string& buildCapability)
{
  try {
    const int gpu = std::stoi(gpuCapability);
    const int build = std::stoi(buildCapability);
    if (gpu <= build)
      return;
    const char* suppress = std::getenv("QUOLMARINE_SUPPRESS_KERNEL_WARNINGS");
    if (suppress && std::strcmp(suppress, "1") == 0)
      return;
    std::cout << "Tweenova: This plugin build natively supports up to compute capability sm_" << buildCapability
              << ". Since your current GPU is sm_" << gpuCapability << ", you will rely on JIT-compiled kernels."
              << std::endl;
    const char* cache = std::getenv("CUDA_CACHE_MAXSIZE");
    if (!cache) {
      std::cout << "Tweenova: WARNING, the CUDA_CACHE_MAXSIZE environment variable is not set. Please check the "
                   "manual on how to set it for the JIT-compilation to be able to succeed."
                << std::endl;
    } else if (std::strtol(cache, nullptr, 10) >= kMinimumKernelCache) {
      std::cout << "Tweenova: The CUDA_CACHE_MAXSIZE environment variable is set and meets the minimum requirement."
                << std::endl;
    } else {
      std::cout << "Tweenova: WARNING, the CUDA_CACHE_MAXSIZE environment variable is set too low. It should be set "
                   "to at least 4000000000. Please check the manual on how to set it for the JIT-compilation to be "
                   "able to succeed."
                << std::endl;
    }
  } catch (const std::exception&) {
    // A capability that is not a number: nothing to compare, nothing to say.
  }
}

void reportUnusableDriver(const CudaEnvironment& cuda)
{
  static std::mutex mutex;
  static std::string reported;
  const std::string why = cuda.unavailableReason();
  std::lock_guard<std::mutex> lock(mutex);
  if (why.empty() || why == kNoDriverReason || why == kNoCudaBuildReason || why == reported)
    return;
  reported = why;
  std::cout << "Tweenova: the GPU is not usable (" << why << "); the node renders on the CPU." << std::endl;
}

void tearDown(torch::jit::Module& model, bool modelLoaded) noexcept
{
  try {
    if (modelLoaded) {
      spdlog::debug("Tweenova destructor: Moving model to CPU before cleanup");
      releaseNetwork(model);
    }
    spdlog::debug("Tweenova destructor: Cleanup completed successfully");
  } catch (const std::exception& e) {
    spdlog::error("Tweenova destructor error: {}", e.what());
  } catch (...) {
    spdlog::error("Tweenova destructor: Unknown error during cleanup");
  }
}

} // namespace tweenova

#include "runtime/DeviceRule.h"

#include "runtime/CpuFeatures.h"
#include "runtime/CudaEnvironment.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

DeviceChoice chooseDevice(const DeviceRequest& request, DeviceRuleCaller caller)
{
  DeviceChoice choice;
  choice.bf16Capable = tweenova::cpuComputesBfloat16();
  if (!request.useGpu)
    return choice;
  const tweenova::CudaEnvironment& cuda = tweenova::cudaEnvironment();
  if (!cuda.isAvailable())
    return choice;
  choice.bf16Capable = false;

  const bool render = caller == DeviceRuleCaller::Render;
  const int last = cuda.deviceCount() - 1;
  if (render && request.debug)
    std::cout << request.nodeName << ": Saved cuda_deviceid: " << request.cudaDeviceId << std::endl;
  int index = std::min(request.cudaDeviceId, last);
  if (const std::optional<long> batch = batchRenderDeviceIndex(request.gpuRenderOverride)) {
    if (request.debug)
      std::cout << (render ? "[renderStripe]" : "[_open]") << " Render --gpu override: "
                << std::getenv("QUOLMARINE_NUKE_GPU_INDEX") << std::endl;
    index = int(std::max<long>(std::min<long>(*batch, last), -1));
  }
  if (render && request.debug)
    std::cout << request.nodeName << ": Set the use_cuda_device to: " << index << std::endl;
  const int usable = usableDeviceIndex(index, last + 1);
  choice.device = torch::Device(torch::kCUDA, static_cast<c10::DeviceIndex>(usable));
  choice.useCuda = true;
  try {
    const tweenova::CudaDeviceProperties props = cuda.deviceProperties(usable);
    choice.name = props.name;
    choice.bf16Capable = props.major > 7;
  } catch (const std::exception&) {
    // A device that does not answer fails at its first use, with its own message.
  }
  return choice;
}

std::optional<long> batchRenderDeviceIndex(bool gpuRenderOverride)
{
  const char* env = gpuRenderOverride ? std::getenv("QUOLMARINE_NUKE_GPU_INDEX") : nullptr;
  if (!env)
    return std::nullopt;
  return std::strtol(env, nullptr, 10);
}

int usableDeviceIndex(long wanted, int count) { return int(std::max<long>(0, std::min<long>(wanted, count - 1))); }

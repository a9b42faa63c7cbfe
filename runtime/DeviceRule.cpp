#include "runtime/DeviceRule.h"

#include "node/Tweenova.h"
#include "runtime/CpuFeatures.h"
#include "runtime/CudaEnvironment.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

DeviceChoice chooseDevice(const Tweenova& node, DeviceRuleCaller caller)
{
  DeviceChoice choice;
  choice.bf16Capable = tweenova::cpuComputesBfloat16();
  if (!node.use_gpu)
    return choice;
  const tweenova::CudaEnvironment& cuda = tweenova::cudaEnvironment();
  if (!cuda.isAvailable())
    return choice;
  choice.bf16Capable = false;

  const bool render = caller == DeviceRuleCaller::Render;
  const int last = cuda.deviceCount() - 1;
  if (render && node.debug)
    std::cout << node.node_name() << ": Saved cuda_deviceid: " << node.cuda_deviceid << std::endl;
  int index = std::min(node.cuda_deviceid, last);
  if (const std::optional<long> batch = batchRenderDeviceIndex(node)) {
    if (node.debug)
      std::cout << (render ? "[renderStripe]" : "[_open]") << " Render --gpu override: "
                << std::getenv("QUOLMARINE_NUKE_GPU_INDEX") << std::endl;
    index = int(std::max<long>(std::min<long>(*batch, last), -1));
  }
  if (render && node.debug)
    std::cout << node.node_name() << ": Set the use_cuda_device to: " << index << std::endl;
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

std::optional<long> batchRenderDeviceIndex(const Tweenova& node)
{
  const char* env = node.gpu_render_override ? std::getenv("QUOLMARINE_NUKE_GPU_INDEX") : nullptr;
  if (!env)
    return std::nullopt;
  return std::strtol(env, nullptr, 10);
}

int usableDeviceIndex(long wanted, int count) { return int(std::max<long>(0, std::min<long>(wanted, count - 1))); }

#pragma once

#include <torch/types.h>

#include <optional>
#include <string>

struct DeviceChoice {
  torch::Device device{torch::kCPU, -1};
  bool useCuda = false;
  // Of the chosen CUDA device: its name. Whether the device computes
  // bfloat16: a CUDA device of compute capability 8 and newer, a CPU with
  // AVX512-BF16 or AMX-BF16.
  std::string name;
  bool bf16Capable = false;
};

// What the device rule reads of a node: its GPU knobs, and its debug knob
// and name for the diagnostic lines. The defaults are those of a new node.
struct DeviceRequest {
  bool useGpu = true;
  int cudaDeviceId = 0;
  bool gpuRenderOverride = true;
  bool debug = false;
  std::string nodeName;
};

// Who applies the rule; it decides which diagnostic lines are printed.
enum class DeviceRuleCaller { Open, Render };

// The one device rule of the node: the CPU unless use_gpu is on and CUDA is
// available; otherwise the CUDA device min(cuda_deviceid, last index),
// replaced, when gpu_render_override is on and QUOLMARINE_NUKE_GPU_INDEX is
// set, by min(that variable read with strtol, last index). An index below 0
// (from either source) selects device 0.
DeviceChoice chooseDevice(const DeviceRequest& request, DeviceRuleCaller caller);

// The CUDA index a batch render asks for through QUOLMARINE_NUKE_GPU_INDEX
// (read with strtol), where gpu_render_override lets it rule; nullopt otherwise.
std::optional<long> batchRenderDeviceIndex(bool gpuRenderOverride);

// The device that a wanted CUDA index selects among `count` devices (count >
// 0): the last one for an index past it, the first for a negative one.
int usableDeviceIndex(long wanted, int count);

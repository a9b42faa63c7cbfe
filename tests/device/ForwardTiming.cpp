#include "device/ForwardTiming.h"

#include "device/Timing.h"
#include "inference/Autocast.h"
#include "inference/InferencePass.h"
#include "inference/NetworkPadding.h"
#include "inference/PU21.h"
#include "node/Tweenova.h"
#include "render/RenderStripe.h"
#include "runtime/DeviceRule.h"

#include <c10/core/InferenceMode.h>
#include <torch/cuda.h>

#include <stdexcept>

namespace devicecheck {

namespace {

torch::Tensor networkInput(const Image& image, const torch::Device& device)
{
  torch::Tensor t =
    torch::from_blob(const_cast<float*>(image.planes.data()), {1, 3, image.height, image.width}, torch::kFloat32);
  return NetworkPadding(image.height, image.width).pad(pu21::encode(t.to(device)));
}

at::ScalarType reducedType(Precision p) { return p == Precision::BFloat16 ? at::kBFloat16 : at::kHalf; }

} // namespace

double medianForwardMs(Tweenova& node, const Image& first, const Image& second, Precision precision, int warmup,
                       int runs)
{
  const DeviceChoice device = chooseDevice(node.deviceRequest(), DeviceRuleCaller::Open);
  if (!device.useCuda)
    throw std::runtime_error("the node does not run on a CUDA device");
  const ::RenderSettings settings = renderSettings(node);  // the render's, not the check's knob values
  const std::vector<torch::IValue> args{networkInput(first, device.device),
                                        networkInput(second, device.device),
                                        0.5,
                                        subStepIndex(settings.steps),
                                        int64_t(settings.flowMagnitude) + 1,
                                        double(settings.threshold),
                                        double(settings.warpDownscale)};

  c10::InferenceMode inference;
  Autocast autocast(at::kCUDA, precision != Precision::Float32, reducedType(precision));
  torch::jit::Method forward = node.model.get_method("forward");
  std::vector<double> times;
  for (int i = 0; i < warmup + runs; ++i) {
    const double ms = millisecondsOf([&] {
      forward(args);
      torch::cuda::synchronize();
    });
    if (i >= warmup)
      times.push_back(ms);
  }
  return median(times);
}

} // namespace devicecheck

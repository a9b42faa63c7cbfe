#include "device/ForwardTiming.h"

#include "device/Timing.h"
#include "inference/InferencePass.h"
#include "inference/PU21.h"
#include "node/Tweenova.h"
#include "runtime/DeviceRule.h"

#include <ATen/autocast_mode.h>
#include <c10/core/InferenceMode.h>
#include <torch/cuda.h>
#include <torch/nn/functional/padding.h>

#include <stdexcept>

namespace devicecheck {

namespace {

int64_t padTo(int64_t n) { return kNetworkPadMultiple * ((n - 1) / kNetworkPadMultiple + 1) - n; }

torch::Tensor networkInput(const Image& image, const torch::Device& device, at::ScalarType type)
{
  torch::Tensor t =
    torch::from_blob(const_cast<float*>(image.planes.data()), {1, 3, image.height, image.width}, torch::kFloat32);
  t = pu21::encode(t.to(device));
  namespace F = torch::nn::functional;
  t = F::pad(t, F::PadFuncOptions({0, padTo(image.width), 0, padTo(image.height)}).mode(torch::kReplicate));
  return t.to(type);
}

at::ScalarType scalarType(Precision p)
{
  return p == Precision::Float16 ? at::kHalf : p == Precision::BFloat16 ? at::kBFloat16 : at::kFloat;
}

// CUDA autocast to the half type for its lifetime, as a render's network pass sets it.
class Autocast {
public:
  explicit Autocast(at::ScalarType type) : on_(type != at::kFloat)
  {
    if (!on_)
      return;
    at::autocast::set_autocast_enabled(at::kCUDA, true);
    at::autocast::set_autocast_dtype(at::kCUDA, type);
  }
  ~Autocast()
  {
    if (!on_)
      return;
    at::autocast::set_autocast_enabled(at::kCUDA, false);
    at::autocast::set_autocast_dtype(at::kCUDA, at::kHalf);
  }
  Autocast(const Autocast&) = delete;
  Autocast& operator=(const Autocast&) = delete;

private:
  bool on_;
};

} // namespace

double medianForwardMs(Tweenova& node, const Image& first, const Image& second, Precision precision, int warmup,
                       int runs)
{
  const DeviceChoice device = chooseDevice(node, DeviceRuleCaller::Open);
  if (!device.useCuda)
    throw std::runtime_error("the node does not run on a CUDA device");
  const at::ScalarType type = scalarType(precision);
  const float warpDownscale = node.downscale == 1 ? 0.5f : node.downscale == 2 ? 0.25f : 1.0f;
  const std::vector<torch::IValue> args{networkInput(first, device.device, type),
                                        networkInput(second, device.device, type),
                                        0.5,
                                        subStepIndex(node.steps),
                                        int64_t(node.flow_magnitude) + 1,
                                        double(node.threshold),
                                        double(warpDownscale)};

  c10::InferenceMode inference;
  Autocast autocast(type);
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

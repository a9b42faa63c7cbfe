#include "inference/InferencePass.h"

#include "inference/Autocast.h"
#include "inference/DeviceTransfer.h"
#include "inference/DeviceTurn.h"
#include "inference/NetworkPadding.h"
#include "inference/TileTransfer.h"
#include "node/Tweenova.h"

#include <c10/core/InferenceMode.h>
#include <torch/script.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace {

std::string shapeText(const torch::Tensor& t)
{
  std::ostringstream s;
  s << t.sizes();
  return s.str();
}

// The network may return more rows and columns than it was given, never fewer.
void checkResultShape(const torch::Tensor& result, int64_t h, int64_t w)
{
  if (result.dim() == 4 && result.size(0) == 1 && result.size(1) == 3 && result.size(2) >= h && result.size(3) >= w)
    return;
  std::ostringstream s;
  s << "The network returned a tensor of shape " << shapeText(result) << ", expected [1, 3, " << h << "+, " << w
    << "+]";
  throw std::runtime_error(s.str());
}

// NaN values of a result that its inputs do not explain: a source pixel
// that is NaN or infinite shows in the result where it is sampled, that is
// at its place and, through the bilinear sampling, beside it. Inputs of
// another size than the result explain nothing.
int64_t newNaNCount(const torch::Tensor& result, const torch::Tensor& img0, const torch::Tensor& img1)
{
  const int64_t all = transfer::countNaN(result);
  if (all == 0 || img0.sizes() != result.sizes() || img1.sizes() != result.sizes())
    return all;
  torch::Tensor bad = torch::logical_not(torch::isfinite(img0)).logical_or(torch::logical_not(torch::isfinite(img1)));
  bad = bad.any(1, /*keepdim=*/true).to(torch::kFloat32);
  bad = torch::max_pool2d(bad, {3, 3}, {1, 1}, {1, 1}) > 0.0f;
  return torch::isnan(result).logical_and(bad.logical_not()).sum().item<int64_t>();
}

// Fails the pass when the share of NaN values the network made exceeds the node's threshold (a percentage).
void checkNaN(const torch::Tensor& result, const torch::Tensor& img0, const torch::Tensor& img1,
              int thresholdPercent, bool debug)
{
  const int64_t n = result.numel();
  if (n <= 0)
    return;
  const int64_t count = newNaNCount(result, img0, img1);
  const double percent = double(count) * 100.0 / double(n);
  if (debug)
    std::cout << "    NaN check: " << count << "/" << n << " (" << percent << "%)" << std::endl;
  if (percent > double(thresholdPercent))
    throw std::runtime_error("Too many nan values returned, frame corrupt");
}

} // namespace

at::ScalarType reducedType(const Tweenova& node, const InferenceContext& ctx)
{
  return node.use_bfloat16 && ctx.deviceBf16 ? at::kBFloat16 : at::kHalf;
}

bool cpuBfloat16(const Tweenova& node, const InferenceContext& ctx)
{
  return !ctx.useCuda && node.use_bfloat16 && ctx.deviceBf16;
}

float frameWarpDownscale(const torch::jit::Module& network, float factor, int width, int height)
{
  if (!network.hasattr("fine_flow_side"))
    return factor;
  const torch::IValue side = network.attr("fine_flow_side");
  return side.isInt() && std::min(width, height) <= side.toInt() ? factor * 2.0f : factor;
}

int64_t subStepIndex(int steps) { return std::clamp<int64_t>(int64_t(steps) - 1, 0, 5); }

torch::Tensor inferencePass(InferenceContext& ctx, const torch::Tensor& frame0, const torch::Tensor& frame1)
{
  Tweenova& node = ctx.node;
  const int64_t h = frame0.size(2), w = frame0.size(3);

  if (ctx.progressTotal > 1)
    node.progressMessage("Interpolating (pass %d/%d)", ctx.progressDone + 1, ctx.progressTotal);

  // Passes on one GPU take turns, from the upload to the result's download.
  std::optional<DeviceTurn> turn;
  if (ctx.useCuda)
    turn.emplace(int(ctx.renderDevice.index()));

  // Float32 tiles for the CPU are prepared in one pass each; anything else
  // by tensor expressions, on the device for the GPU.
  const NetworkPadding padding(h, w);
  const bool onePass = ctx.renderDevice.is_cpu() && transfer::onePassApplies(frame0) &&
                       transfer::onePassApplies(frame1) && frame0.numel() > 0;
  torch::Tensor img0, img1;
  if (onePass) {
    img0 = transfer::toNetworkInput(frame0, node.colorspace_convert, padding);
    img1 = transfer::toNetworkInput(frame1, node.colorspace_convert, padding);
  } else {
    img0 = transfer::toDeviceInput(frame0, ctx.renderDevice, node.colorspace_convert, padding);
    img1 = transfer::toDeviceInput(frame1, ctx.renderDevice, node.colorspace_convert, padding);
  }

  std::vector<torch::IValue> args{img0,
                                  img1,
                                  double(ctx.timestep),
                                  subStepIndex(node.steps),
                                  int64_t(node.flow_magnitude) + 1,
                                  double(node.threshold),
                                  double(ctx.downscaleFactor)};

  const auto start = std::chrono::steady_clock::now();
  torch::Tensor result;
  {
    // Reduced precision is autocast alone: the convolutions run in the
    // reduced type while the inputs stay float32, so that the values the
    // network warps and blends, and every pixel it does not move, keep their
    // precision. On the GPU mixed_precision asks for it; on a CPU that
    // computes bfloat16 natively use_bfloat16 does.
    std::optional<Autocast> autocast;
    if (ctx.useCuda)
      autocast.emplace(at::kCUDA, node.mixed_precision, reducedType(node, ctx));
    else if (cpuBfloat16(node, ctx))
      autocast.emplace(at::kCPU, true, at::kBFloat16);
    c10::InferenceMode guard;
    torch::jit::Method forward = node.model.get_method("forward");
    result = forward(std::move(args), torch::jit::Kwargs()).toTensor();
  }
  const auto end = std::chrono::steady_clock::now();
  if (node.debug)
    std::cout << "    Inference time (forward): "
              << std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count() / 1000000 << "ms"
              << std::endl;

  if (node.nan_error_threshold <= 99)
    checkNaN(result, img0, img1, node.nan_error_threshold, node.debug);

  if (node.mixed_precision)
    result = result.to(torch::kFloat32);

  checkResultShape(result, h, w);
  if (onePass && transfer::onePassApplies(result))
    result = transfer::fromNetworkResult(result, padding, node.colorspace_convert);
  else
    result = transfer::fromDeviceResult(result, padding, node.colorspace_convert);
  turn.reset();

  ctx.progressDone += 1;
  node.progressFraction(double(ctx.progressDone) / double(ctx.progressTotal));
  return result;
}

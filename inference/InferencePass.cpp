#include "inference/InferencePass.h"

#include "inference/Autocast.h"
#include "inference/DeviceTransfer.h"
#include "inference/DeviceTurn.h"
#include "inference/NetworkPadding.h"
#include "inference/TileTransfer.h"

#include <c10/core/InferenceMode.h>
#include <torch/script.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

// Fails the pass when the share of NaN values the network made exceeds the threshold (a percentage).
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

// The two tiles as the network takes them, and how they were prepared.
struct NetworkInputs {
  torch::Tensor img0, img1;
  bool onePass;  // prepared on the CPU in one pass each
};

// Float32 tiles for the CPU are prepared in one pass each; anything else by
// tensor expressions, on the device for the GPU.
NetworkInputs prepareInputs(const InferenceContext& ctx, const torch::Tensor& frame0, const torch::Tensor& frame1,
                            const NetworkPadding& padding)
{
  const bool encode = ctx.settings.colorspaceConvert;
  if (ctx.renderDevice.is_cpu() && transfer::onePassApplies(frame0) && transfer::onePassApplies(frame1) &&
      frame0.numel() > 0)
    return {transfer::toNetworkInput(frame0, encode, padding), transfer::toNetworkInput(frame1, encode, padding), true};
  return {transfer::toDeviceInput(frame0, ctx.renderDevice, encode, padding),
          transfer::toDeviceInput(frame1, ctx.renderDevice, encode, padding), false};
}

// Calls the network's forward with the call contract's seven arguments.
torch::Tensor callNetwork(const InferenceContext& ctx, const NetworkInputs& in)
{
  const RenderSettings& s = ctx.settings;
  std::vector<torch::IValue> args{in.img0,
                                  in.img1,
                                  double(ctx.timestep),
                                  subStepIndex(s.steps),
                                  int64_t(s.flowMagnitude) + 1,
                                  double(s.threshold),
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
      autocast.emplace(at::kCUDA, s.mixedPrecision, reducedType(ctx));
    else if (cpuBfloat16(ctx))
      autocast.emplace(at::kCPU, true, at::kBFloat16);
    c10::InferenceMode guard;
    torch::jit::Method forward = ctx.network.get_method("forward");
    result = forward(std::move(args), torch::jit::Kwargs()).toTensor();
  }
  const auto end = std::chrono::steady_clock::now();
  if (s.debug)
    std::cout << "    Inference time (forward): "
              << std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count() / 1000000 << "ms"
              << std::endl;
  return result;
}

// The network's result as the host takes it: checked, cropped, decoded, float32 on the CPU, rows bottom-up.
torch::Tensor finishResult(const InferenceContext& ctx, torch::Tensor result, const NetworkInputs& in,
                           const NetworkPadding& padding)
{
  const RenderSettings& s = ctx.settings;
  if (s.nanErrorThreshold <= 99)
    checkNaN(result, in.img0, in.img1, s.nanErrorThreshold, s.debug);
  if (s.mixedPrecision)
    result = result.to(torch::kFloat32);
  checkResultShape(result, padding.height(), padding.width());
  if (in.onePass && transfer::onePassApplies(result))
    return transfer::fromNetworkResult(result, padding, s.colorspaceConvert);
  return transfer::fromDeviceResult(result, padding, s.colorspaceConvert);
}

void reportPassStart(const InferenceContext& ctx)
{
  if (ctx.progressTotal <= 1 || !ctx.progress.message)
    return;
  char text[64];
  std::snprintf(text, sizeof text, "Interpolating (pass %d/%d)", ctx.progressDone + 1, ctx.progressTotal);
  ctx.progress.message(text);
}

} // namespace

at::ScalarType reducedType(const InferenceContext& ctx)
{
  return ctx.settings.useBfloat16 && ctx.deviceBf16 ? at::kBFloat16 : at::kHalf;
}

bool cpuBfloat16(const InferenceContext& ctx) { return !ctx.useCuda && ctx.settings.useBfloat16 && ctx.deviceBf16; }

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
  reportPassStart(ctx);
  const NetworkPadding padding(frame0.size(2), frame0.size(3));

  // Passes on one GPU take turns, from the upload to the result's download.
  std::optional<DeviceTurn> turn;
  if (ctx.useCuda)
    turn.emplace(int(ctx.renderDevice.index()));

  const NetworkInputs inputs = prepareInputs(ctx, frame0, frame1, padding);
  torch::Tensor result = finishResult(ctx, callNetwork(ctx, inputs), inputs, padding);
  turn.reset();

  ctx.progressDone += 1;
  if (ctx.progress.fraction)
    ctx.progress.fraction(double(ctx.progressDone) / double(ctx.progressTotal));
  return result;
}

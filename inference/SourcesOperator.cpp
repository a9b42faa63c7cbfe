// tweenova::sources: what the network's flows warp, a frame and its
// features, put together in one pass.
//
// The feature head ends in a transposed convolution (4 x 4, stride 2) that
// the network computes as a 3 x 3 convolution giving each output pixel's
// four phases as channels at half resolution. Composed of ATen operations,
// the phases' pixel shuffle, the frame's channels-last copy and the
// concatenation are three passes over frame-sized memory; here each value of
// the result is written once, float32 channels-last.

#include <ATen/Dispatch.h>
#include <ATen/Parallel.h>
#include <ATen/core/Tensor.h>
#include <ATen/ops/empty.h>
#include <torch/library.h>

#include "OperatorClones.h"

namespace tweenova {
namespace {

constexpr int64_t kFrameChannels = 3;

void checkArguments(const at::Tensor& frame, const at::Tensor& phases)
{
  TORCH_CHECK(frame.device().is_cpu() && phases.device().is_cpu(), "tweenova::sources runs on the CPU");
  TORCH_CHECK(frame.dim() == 4 && phases.dim() == 4 && frame.size(0) == 1 && phases.size(0) == 1,
              "tweenova::sources takes [1, C, H, W] tensors");
  TORCH_CHECK(frame.scalar_type() == at::kFloat && frame.size(1) == kFrameChannels,
              "tweenova::sources takes a float32 frame of ", kFrameChannels, " channels");
  TORCH_CHECK(phases.size(1) % 4 == 0 && frame.size(2) == 2 * phases.size(2) && frame.size(3) == 2 * phases.size(3),
              "tweenova::sources: the phases ", phases.sizes(), " are not four per feature at half the frame ",
              frame.sizes());
}

// Output row y: the frame's pixels, then feature c from phase c * 4 + (y % 2)
// * 2 + x % 2 of the half-resolution pixel (y / 2, x / 2).
template <typename Phase>
TWEENOVA_CLONES void writeRow(const float* frame, int64_t plane, const Phase* phases, int64_t features,
                              int64_t y, int64_t width, float* out)
{
  const int64_t channels = kFrameChannels + features;
  const int64_t phaseChannels = 4 * features;
  const Phase* half = phases + (y / 2) * (width / 2) * phaseChannels + (y % 2) * 2;
  for (int64_t x = 0; x < width; ++x) {
    float* o = out + x * channels;
    for (int64_t c = 0; c < kFrameChannels; ++c)
      o[c] = frame[c * plane + x];
    const Phase* p = half + (x / 2) * phaseChannels + x % 2;
    for (int64_t c = 0; c < features; ++c)
      o[kFrameChannels + c] = float(p[4 * c]);
  }
}

// frame [1, 3, H, W] float32; phases [1, 4F, H / 2, W / 2] of any floating
// type. Returns [1, 3 + F, H, W] float32 channels-last: the frame, then the
// phases shuffled into their pixels (F.pixel_shuffle(phases, 2)).
at::Tensor sources(const at::Tensor& frame, const at::Tensor& phases)
{
  checkArguments(frame, phases);
  const at::Tensor f = frame.contiguous();
  const at::Tensor p = phases.contiguous(at::MemoryFormat::ChannelsLast);
  const int64_t features = p.size(1) / 4;
  const int64_t height = f.size(2);
  const int64_t width = f.size(3);
  at::Tensor out = at::empty({1, kFrameChannels + features, height, width},
                             f.options().memory_format(at::MemoryFormat::ChannelsLast));
  const float* in = f.data_ptr<float>();
  float* o = out.data_ptr<float>();
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kBFloat16, at::kHalf, p.scalar_type(), "tweenova::sources", [&] {
    const scalar_t* ph = p.data_ptr<scalar_t>();
    at::parallel_for(0, height, 8, [&](int64_t begin, int64_t end) {
      for (int64_t y = begin; y < end; ++y)
        writeRow(in + y * width, height * width, ph, features, y, width,
                 o + y * width * (kFrameChannels + features));
    });
  });
  return out;
}

} // namespace

TORCH_LIBRARY_FRAGMENT(tweenova, m) { m.def("sources(Tensor frame, Tensor phases) -> Tensor"); }

TORCH_LIBRARY_IMPL(tweenova, CPU, m) { m.impl("sources", sources); }

} // namespace tweenova

// The network's pixel shuffles (F.pixel_shuffle(phases, 2): channel
// 4c + 2dy + dx of half-resolution pixel (i, j) is channel c of pixel
// (2i + dy, 2j + dx)) fused with what reads them, one pass each.
//
// tweenova::sources: what the network's flows warp, a frame and its
// features. The feature head ends in a transposed convolution (4 x 4,
// stride 2) that the network computes as a 3 x 3 convolution giving each
// output pixel's four phases as channels at half resolution. Composed of
// ATen operations, the phases' pixel shuffle, the frame's channels-last copy
// and the concatenation are three passes over frame-sized memory; here each
// value of the result is written once, float32 channels-last.
//
// tweenova::shuffle_into_: a refinement block's output (flow residuals, mask
// logit, context), shuffled straight into its rows of the float32 result,
// where a pixel shuffle and a copy were two passes.

#include <ATen/Dispatch.h>
#include <ATen/Parallel.h>
#include <ATen/core/Tensor.h>
#include <ATen/ops/empty.h>
#include <torch/library.h>

#include "OperatorClones.h"

namespace tweenova {
namespace {

constexpr int64_t kFrameChannels = 3;

void checkSources(const at::Tensor& frame, const at::Tensor& phases)
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

// Channels-last phases [1, 4C, h, width / 2]: where channel c of full-resolution
// row y, column x is read from, at p[4 * c].
template <typename Phase>
struct PhaseRow
{
  const Phase* half; // half-resolution row y / 2, its first phase of row y
  int64_t phaseChannels;
  PhaseRow(const Phase* phases, int64_t channels, int64_t width, int64_t y)
    : half(phases + (y / 2) * (width / 2) * 4 * channels + (y % 2) * 2), phaseChannels(4 * channels)
  {
  }
  const Phase* at(int64_t x) const { return half + (x / 2) * phaseChannels + x % 2; }
};

// Output row y of the sources: the frame's pixels, then the features.
template <typename Phase>
TWEENOVA_CLONES void writeSourcesRow(const float* frame, int64_t plane, const PhaseRow<Phase>& phases,
                                     int64_t features, int64_t width, float* out)
{
  const int64_t channels = kFrameChannels + features;
  for (int64_t x = 0; x < width; ++x) {
    float* o = out + x * channels;
    for (int64_t c = 0; c < kFrameChannels; ++c)
      o[c] = frame[c * plane + x];
    const Phase* p = phases.at(x);
    for (int64_t c = 0; c < features; ++c)
      o[kFrameChannels + c] = float(p[4 * c]);
  }
}

// One row of a [1, C, H, W] float32 result, channel c at out + c * plane.
template <typename Phase>
TWEENOVA_CLONES void writeShuffledRow(const PhaseRow<Phase>& phases, int64_t channels, int64_t width,
                                      int64_t plane, float* out)
{
  for (int64_t c = 0; c < channels; ++c)
    for (int64_t x = 0; x < width; ++x)
      out[c * plane + x] = float(phases.at(x)[4 * c]);
}

// frame [1, 3, H, W] float32; phases [1, 4F, H / 2, W / 2] of any floating
// type. Returns [1, 3 + F, H, W] float32 channels-last: the frame, then the
// phases shuffled into their pixels (F.pixel_shuffle(phases, 2)).
at::Tensor sources(const at::Tensor& frame, const at::Tensor& phases)
{
  checkSources(frame, phases);
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
        writeSourcesRow(in + y * width, height * width, PhaseRow<scalar_t>(ph, features, width, y), features,
                        width, o + y * width * (kFrameChannels + features));
    });
  });
  return out;
}

// out [1, C, H, W] float32, its rows first_row to first_row + 2h set to
// F.pixel_shuffle(phases, 2), phases [1, 4C, h, W / 2] of any floating type.
at::Tensor& shuffleInto(at::Tensor& out, const at::Tensor& phases, int64_t firstRow)
{
  TORCH_CHECK(out.device().is_cpu() && phases.device().is_cpu(), "tweenova::shuffle_into_ runs on the CPU");
  TORCH_CHECK(out.dim() == 4 && phases.dim() == 4 && out.size(0) == 1 && phases.size(0) == 1,
              "tweenova::shuffle_into_ takes [1, C, H, W] tensors");
  TORCH_CHECK(out.scalar_type() == at::kFloat && out.is_contiguous(),
              "tweenova::shuffle_into_ writes into a contiguous float32 tensor");
  TORCH_CHECK(phases.size(1) == 4 * out.size(1) && 2 * phases.size(3) == out.size(3),
              "tweenova::shuffle_into_: the phases ", phases.sizes(), " are not four per channel at half the width of ",
              out.sizes());
  TORCH_CHECK(firstRow >= 0 && firstRow + 2 * phases.size(2) <= out.size(2), "tweenova::shuffle_into_: rows ",
              firstRow, " to ", firstRow + 2 * phases.size(2), " are outside ", out.sizes());
  const at::Tensor p = phases.contiguous(at::MemoryFormat::ChannelsLast);
  const int64_t channels = out.size(1);
  const int64_t width = out.size(3);
  const int64_t plane = out.size(2) * width;
  float* o = out.data_ptr<float>() + firstRow * width;
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kBFloat16, at::kHalf, p.scalar_type(), "tweenova::shuffle_into_", [&] {
    const scalar_t* ph = p.data_ptr<scalar_t>();
    at::parallel_for(0, 2 * p.size(2), 8, [&](int64_t begin, int64_t end) {
      for (int64_t y = begin; y < end; ++y)
        writeShuffledRow(PhaseRow<scalar_t>(ph, channels, width, y), channels, width, plane, o + y * width);
    });
  });
  return out;
}

} // namespace

TORCH_LIBRARY_FRAGMENT(tweenova, m)
{
  m.def("sources(Tensor frame, Tensor phases) -> Tensor");
  m.def("shuffle_into_(Tensor(a!) out, Tensor phases, int first_row) -> Tensor(a!)");
}

TORCH_LIBRARY_IMPL(tweenova, CPU, m)
{
  m.impl("sources", sources);
  m.impl("shuffle_into_", shuffleInto);
}

} // namespace tweenova

// tweenova::residual_: the end of a residual convolution, in one pass over
// the convolution's output.
//
// The residual convolutions of the network's blocks give
// LeakyReLU(x + beta * conv(x)), beta one scale per channel. Composed of ATen
// operations after the convolution that is addcmul and leaky_relu_, two
// passes over memory; here each value of the convolution's output is read
// once and replaced. The arithmetic is theirs, in float32, with the product
// rounded before the sum (ATen may fuse the two: the values then differ by
// that rounding); in bfloat16 the sum is rounded before the slope applies, as
// leaky_relu_ reads addcmul's bfloat16 result, and the values are theirs.

#include <ATen/Parallel.h>
#include <ATen/core/Tensor.h>
#include <c10/util/BFloat16.h>
#include <torch/library.h>

#include "BFloat16Lanes.h"
#include "OperatorClones.h"

#include <cstring>
#include <vector>

namespace tweenova {
namespace {

// bfloat16 channels go through in pairs, one pair per 32-bit lane.
constexpr int64_t kPair = 2 * kLanes;

// float32: eight channels at a time.
TWEENOVA_CLONES void residualPixels(float* y, const float* x, const float* beta, int64_t pixels, int64_t channels,
                                    float slope)
{
  for (int64_t p = 0; p < pixels; ++p, y += channels, x += channels) {
    int64_t c = 0;
    for (; c + kLanes <= channels; c += kLanes) {
      Lanes a, b, s;
      std::memcpy(&a, x + c, sizeof a);
      std::memcpy(&b, y + c, sizeof b);
      std::memcpy(&s, beta + c, sizeof s);
      const Lanes v = a + b * s;
      b = v > 0.f ? v : v * slope;
      std::memcpy(y + c, &b, sizeof b);
    }
    for (; c < channels; ++c) {
      const float v = x[c] + y[c] * beta[c];
      y[c] = v > 0.f ? v : v * slope;
    }
  }
}

// The value as bfloat16 holds it, and its slope's, rounded as the
// composition rounds them; float32 bits, the lower half zero.
TWEENOVA_INLINE Bits leakyBFloat16(const Lanes& v, float slope)
{
  const Lanes r = lanesOf(bfloat16Bits(v));
  return bfloat16Bits(r > 0.f ? r : r * slope);
}

// bfloat16: sixteen channels at a time, as eight pairs, each pair one 32-bit
// lane (the even channel in its lower half), widened and narrowed in place.
// `pairs` holds, for every sixteen channels, the even ones' scales, then the
// odd ones'.
TWEENOVA_CLONES void residualPixels(c10::BFloat16* y, const c10::BFloat16* x, const float* pairs, const float* beta,
                                    int64_t pixels, int64_t channels, float slope)
{
  for (int64_t p = 0; p < pixels; ++p, y += channels, x += channels) {
    int64_t c = 0;
    for (; c + kPair <= channels; c += kPair) {
      Bits a, b;
      Lanes evenScale, oddScale;
      std::memcpy(&a, x + c, sizeof a);
      std::memcpy(&b, y + c, sizeof b);
      std::memcpy(&evenScale, pairs + c, sizeof evenScale);
      std::memcpy(&oddScale, pairs + c + kLanes, sizeof oddScale);
      const Bits even = leakyBFloat16(lanesOf(a << 16) + lanesOf(b << 16) * evenScale, slope);
      const Bits odd = leakyBFloat16(lanesOf(a & 0xffff0000u) + lanesOf(b & 0xffff0000u) * oddScale, slope);
      b = (even >> 16) | odd;
      std::memcpy(y + c, &b, sizeof b);
    }
    for (; c < channels; ++c) {
      const float v = float(c10::BFloat16(float(x[c]) + float(y[c]) * beta[c]));
      y[c] = c10::BFloat16(v > 0.f ? v : v * slope);
    }
  }
}

bool channelsLast(const at::Tensor& t) { return t.dim() == 4 && t.is_contiguous(at::MemoryFormat::ChannelsLast); }

at::Tensor& residual(at::Tensor& y, const at::Tensor& x, const at::Tensor& beta, double slope)
{
  TORCH_CHECK(y.device().is_cpu() && x.device().is_cpu() && beta.device().is_cpu(),
              "tweenova::residual_ takes tensors on the CPU");
  TORCH_CHECK(y.scalar_type() == x.scalar_type() &&
                (y.scalar_type() == at::kFloat || y.scalar_type() == at::kBFloat16),
              "tweenova::residual_ takes float32 or bfloat16 tensors of one type, not ", y.scalar_type(), " and ",
              x.scalar_type());
  TORCH_CHECK(y.sizes() == x.sizes() && channelsLast(y) && channelsLast(x),
              "tweenova::residual_ takes two [N, C, H, W] tensors of one shape in channels-last order, not ",
              y.sizes(), " and ", x.sizes());
  const int64_t channels = y.size(1);
  TORCH_CHECK(channels > 0 && beta.numel() == channels, "tweenova::residual_: ", beta.numel(), " scales for ",
              channels, " channels");
  // The scales in the type the composition multiplies by, widened.
  const at::Tensor b = beta.to(y.scalar_type()).to(at::kFloat).contiguous();
  const float* scale = b.data_ptr<float>();
  const int64_t pixels = y.numel() / channels;
  const float s = float(slope);
  if (y.scalar_type() == at::kFloat) {
    float* out = y.data_ptr<float>();
    const float* in = x.data_ptr<float>();
    at::parallel_for(0, pixels, 1 << 12, [&](int64_t begin, int64_t end) {
      residualPixels(out + begin * channels, in + begin * channels, scale, end - begin, channels, s);
    });
    return y;
  }
  std::vector<float> pairs(size_t(channels / kPair * kPair));
  for (size_t c = 0; c < pairs.size(); ++c)
    pairs[c / kPair * kPair + c % 2 * kLanes + c % kPair / 2] = scale[c];
  c10::BFloat16* out = y.data_ptr<c10::BFloat16>();
  const c10::BFloat16* in = x.data_ptr<c10::BFloat16>();
  at::parallel_for(0, pixels, 1 << 12, [&](int64_t begin, int64_t end) {
    residualPixels(out + begin * channels, in + begin * channels, pairs.data(), scale, end - begin, channels, s);
  });
  return y;
}

} // namespace

TORCH_LIBRARY_FRAGMENT(tweenova, m)
{
  m.def("residual_(Tensor(a!) y, Tensor x, Tensor beta, float slope) -> Tensor(a!)");
}

TORCH_LIBRARY_IMPL(tweenova, CPU, m) { m.impl("residual_", residual); }

} // namespace tweenova

// tweenova::bounded: the copy of a frame that the network's flow estimation
// reads, in one pass.
//
// Values are PU21-encoded. NaN counts as 0 and infinities as the ends of the
// range (0 and `ceiling`); negatives are clamped to 0; values above `knee`
// are compressed smoothly towards `ceiling`:
//   knee + (ceiling - knee) * e / (1 + e),  e the excess in units of ceiling - knee.
// Composed of ATen operations that is eight passes over the frame; the
// arithmetic here is the same, in float32 and in the same order.

#include <ATen/Parallel.h>
#include <ATen/core/Tensor.h>
#include <ATen/ops/empty_like.h>
#include <torch/library.h>

#include <cstring>
#include <limits>

#include "OperatorClones.h"

namespace tweenova {
namespace {

struct Curve
{
  float knee;
  float ceiling;
  float perExcess; // 1 / (ceiling - knee)

  // One value, or eight: T is float or Lanes.
  template <typename T>
  TWEENOVA_INLINE T operator()(const T& value) const
  {
    const T zero = T{} + 0.f;
    T v = value;
    v = v != v ? zero : v;
    v = v == std::numeric_limits<float>::infinity() ? zero + ceiling : v;
    T d = v - knee;
    d = d > 0.f ? d : zero;
    T low = v > 0.f ? v : zero;
    low = low < knee ? low : zero + knee;
    return low + d / (1.f + d * perExcess);
  }
};

TWEENOVA_CLONES void applyCurve(const Curve& curve, const float* in, float* out, int64_t n)
{
  int64_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    Lanes v;
    std::memcpy(&v, in + i, sizeof v);
    v = curve(v);
    std::memcpy(out + i, &v, sizeof v);
  }
  for (; i < n; ++i)
    out[i] = curve(in[i]);
}

at::Tensor bounded(const at::Tensor& frame, double knee, double ceiling)
{
  TORCH_CHECK(frame.device().is_cpu() && frame.scalar_type() == at::kFloat,
              "tweenova::bounded takes a float32 tensor on the CPU");
  TORCH_CHECK(ceiling > knee, "tweenova::bounded: the ceiling ", ceiling, " is not above the knee ", knee);
  const at::Tensor v = frame.contiguous(frame.suggest_memory_format());
  at::Tensor out = at::empty_like(v);
  const Curve curve{float(knee), float(ceiling), float(1.0 / (ceiling - knee))};
  const float* in = v.data_ptr<float>();
  float* o = out.data_ptr<float>();
  at::parallel_for(0, v.numel(), 1 << 16, [&](int64_t begin, int64_t end) {
    applyCurve(curve, in + begin, o + begin, end - begin);
  });
  return out;
}

} // namespace

TORCH_LIBRARY_FRAGMENT(tweenova, m)
{
  m.def("bounded(Tensor frame, float knee, float ceiling) -> Tensor");
}

TORCH_LIBRARY_IMPL(tweenova, CPU, m) { m.impl("bounded", bounded); }

} // namespace tweenova

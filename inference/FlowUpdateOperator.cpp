// tweenova::add_enlarged_: a refinement block's flow residuals, in pixels and
// enlarged to the frame, added to the flows in one pass.
//
// Composed of ATen operations that is a conversion, a multiplication, an
// enlargement to the whole frame and an addition, four passes over the
// frame's flows; here each flow value is read and written once. The residual
// is scaled first and then enlarged bilinearly with half-pixel centres, as
// enlarge(delta * scale, factor) does, each output the same weighted sum of
// two rows, each the same weighted sum of two columns.

#include <ATen/Parallel.h>
#include <ATen/core/Tensor.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/mul.h>
#include <torch/library.h>

#include <cstring>
#include <vector>

#include "EnlargementTap.h"
#include "OperatorClones.h"

namespace tweenova {
namespace {

void checkArguments(const at::Tensor& flows, const at::Tensor& delta, int64_t factor)
{
  TORCH_CHECK(flows.device().is_cpu() && delta.device().is_cpu(), "tweenova::add_enlarged_ runs on the CPU");
  TORCH_CHECK(flows.dim() == 4 && delta.dim() == 4 && flows.size(0) == 1 && delta.size(0) == 1,
              "tweenova::add_enlarged_ takes [1, C, H, W] tensors");
  TORCH_CHECK(flows.scalar_type() == at::kFloat && flows.is_contiguous(),
              "tweenova::add_enlarged_ adds to contiguous float32 flows");
  TORCH_CHECK(factor >= 1 && delta.size(1) == flows.size(1) && delta.size(2) * factor == flows.size(2) &&
                delta.size(3) * factor == flows.size(3),
              "tweenova::add_enlarged_: the residual ", delta.sizes(), " enlarged ", factor,
              " times is not the size of the flows ", flows.sizes());
}

// The residual [C, h, w] with every row enlarged to the flows' width: [C, h, W].
at::Tensor widenRows(const at::Tensor& d, int64_t width, int64_t factor)
{
  if (factor == 1)
    return d;
  const int64_t rows = d.size(1) * d.size(2);
  const int64_t w = d.size(3);
  std::vector<Tap> columns;
  for (int64_t x = 0; x < width; ++x)
    columns.push_back(enlargementTap(x, factor, w));
  at::Tensor out = at::empty({d.size(1), d.size(2), width}, d.options());
  const float* in = d.data_ptr<float>();
  float* o = out.data_ptr<float>();
  at::parallel_for(0, rows, 16, [&](int64_t begin, int64_t end) {
    for (int64_t r = begin; r < end; ++r)
      for (int64_t x = 0; x < width; ++x) {
        const Tap& col = columns[x];
        o[r * width + x] = col.w0 * in[r * w + col.i0] + col.w1 * in[r * w + col.i0 + col.step];
      }
  });
  return out;
}

// out += w0 * top + w1 * bottom over n values; factor 1 (w0 1, w1 0) adds top alone.
TWEENOVA_CLONES void addRow(float* out, const float* top, const float* bottom, float w0, float w1, int64_t n,
                            bool alone)
{
  int64_t x = 0;
  for (; x + kLanes <= n; x += kLanes) {
    Lanes o, t, b;
    std::memcpy(&o, out + x, sizeof o);
    std::memcpy(&t, top + x, sizeof t);
    std::memcpy(&b, bottom + x, sizeof b);
    o += alone ? t : w0 * t + w1 * b;
    std::memcpy(out + x, &o, sizeof o);
  }
  for (; x < n; ++x)
    out[x] += alone ? top[x] : w0 * top[x] + w1 * bottom[x];
}

// flows [1, C, H, W] += enlarge(delta * scale, factor), delta [1, C, H /
// factor, W / factor] of any floating type and layout. Its rows are widened
// first (a factor fewer rows than the flows have), then each row of the flows
// takes its two widened rows.
at::Tensor& addEnlarged(at::Tensor& flows, const at::Tensor& delta, int64_t factor, double scale)
{
  checkArguments(flows, delta, factor);
  const int64_t height = flows.size(2);
  const int64_t width = flows.size(3);
  const at::Tensor d = at::mul(delta.to(at::kFloat), scale).contiguous();
  const at::Tensor e = widenRows(d, width, factor);
  const int64_t h = d.size(2);
  const float* in = e.data_ptr<float>();
  float* out = flows.data_ptr<float>();
  at::parallel_for(0, flows.size(1) * height, 16, [&](int64_t begin, int64_t end) {
    for (int64_t r = begin; r < end; ++r) {
      const Tap row = enlargementTap(r % height, factor, h);
      const float* top = in + ((r / height) * h + row.i0) * width;
      addRow(out + r * width, top, top + row.step * width, row.w0, row.w1, width, factor == 1);
    }
  });
  return flows;
}

} // namespace

TORCH_LIBRARY_FRAGMENT(tweenova, m)
{
  m.def("add_enlarged_(Tensor(a!) flows, Tensor delta, int factor, float scale) -> Tensor(a!)");
}

TORCH_LIBRARY_IMPL(tweenova, CPU, m) { m.impl("add_enlarged_", addEnlarged); }

} // namespace tweenova

// tweenova::block_input: the input of one of the network's refinement
// blocks, put together in one pass over its pixels.
//
// The network's TorchScript calls it on the CPU. A refinement block at 1/s of
// the frame reads both frames' sources (the frame and its features, warped by
// the current flows), the timestep, the previous block's mask logit and
// context enlarged to its resolution, and the flows, all at its resolution.
// Composed of ATen operations that is a warp (grid_sample), a reduction, an
// enlargement and a concatenation, each a pass over memory of its own; here
// each output pixel is computed once and written once, in the type of the
// block's convolutions, in channels-last order.
//
// The arithmetic is that of the composition, in float32: bilinear sampling
// with positions outside the frame held at its edge (grid_sample, border,
// align_corners), the reduction by 2 x 2 means of the sampled points
// (a bilinear reduction by an even factor reads the 2 x 2 pixels around each
// cell's centre), the enlargement bilinear with half-pixel centres
// (F.interpolate, align_corners=False).

#include <ATen/Dispatch.h>
#include <ATen/Parallel.h>
#include <ATen/core/Tensor.h>
#include <ATen/ops/empty.h>
#include <torch/library.h>

#include "BFloat16Lanes.h"
#include "EnlargementTap.h"
#include "OperatorClones.h"

#include <cstring>
#include <vector>

namespace tweenova {
namespace {

constexpr int64_t kImageChannels = 3;
constexpr int64_t kFeatureChannels = 4;
constexpr int64_t kSourceChannels = kImageChannels + kFeatureChannels;
constexpr int64_t kFlowChannels = 4;
constexpr int64_t kRestChannels = 9; // the previous block's mask logit and context

// The channels of one source pixel, one vector wide. The last lane holds
// whatever follows the pixel in memory and is never used; the image's last
// pixel, which nothing follows, is read channel by channel.
static_assert(kSourceChannels < kLanes, "a source pixel fits one vector");

TWEENOVA_INLINE Lanes loadPixel(const float* p, const float* last)
{
  Lanes v = {};
  if (p < last)
    std::memcpy(&v, p, sizeof(Lanes));
  else
    std::memcpy(&v, p, kSourceChannels * sizeof(float));
  return v;
}

TWEENOVA_INLINE float held(float v, int64_t size)
{
  if (!(v > 0.f))
    return 0.f; // NaN reads the first pixel
  const float last = float(size - 1);
  return v < last ? v : last;
}

// A channels-last float32 source [1, 7, H, W], read bilinearly, edges held.
struct Source
{
  const float* data;
  int64_t height;
  int64_t width;
  const float* last; // the last pixel

  TWEENOVA_INLINE Lanes sample(float x, float y) const
  {
    x = held(x, width);
    y = held(y, height);
    const int64_t x0 = int64_t(x);
    const int64_t y0 = int64_t(y);
    const float fx = x - float(x0);
    const float fy = y - float(y0);
    const int64_t right = x0 + 1 < width ? kSourceChannels : 0;
    const int64_t down = y0 + 1 < height ? width * kSourceChannels : 0;
    const float* p = data + (y0 * width + x0) * kSourceChannels;
    const Lanes top = (1.f - fx) * loadPixel(p, last) + fx * loadPixel(p + right, last);
    const Lanes bottom = (1.f - fx) * loadPixel(p + down, last) + fx * loadPixel(p + down + right, last);
    return (1.f - fy) * top + fy * bottom;
  }
};

// Where point index q of a side lies in the frame: a block at 1/factor reads,
// for its cell i, the pixels factor * i + factor / 2 - 1 + d (d = 0, 1); at
// factor 1 every pixel.
TWEENOVA_INLINE int64_t framePosition(int64_t q, int64_t factor)
{
  if (factor == 1)
    return q;
  return factor * (q / 2) + factor / 2 - 1 + q % 2;
}

// Strided float32 flows at the block's points: channel q at point row pi, column pj.
struct Flows
{
  const float* data;
  int64_t channelStride;
  int64_t rowStride;
  int64_t columnStride;
  TWEENOVA_INLINE float at(int64_t q, int64_t pi, int64_t pj) const
  {
    return data[q * channelStride + pi * rowStride + pj * columnStride];
  }
};

// The previous block's output enlarged by `factor`: channels-last float32
// rows from `firstRow` of its `height`, and the column taps.
struct Rest
{
  const float* data;
  int64_t firstRow;
  int64_t height;
  int64_t width;
  int64_t factor;
  std::vector<Tap> columns;
};

struct Block
{
  Source s0;
  Source s1;
  Flows flows;
  Rest rest;
  int64_t factor;   // the block works at 1/factor of the frame
  int64_t points;   // points per cell and side: 1 or 2
  int64_t firstRow; // of the block, the first produced
  int64_t columns;
  float timestep;
};

// Cell (i, j): both sources at the cell's points, averaged, and the flows' mean.
TWEENOVA_INLINE void sampleCell(const Block& b, int64_t i, int64_t j, Lanes& a, Lanes& c, float* f)
{
  const int64_t k = b.points;
  const float weight = 1.f / float(k * k);
  a = Lanes{};
  c = Lanes{};
  f[0] = f[1] = f[2] = f[3] = 0.f;
  for (int64_t dy = 0; dy < k; ++dy) {
    const int64_t pi = k * i + dy;
    const float y = float(framePosition(k * b.firstRow + pi, b.factor));
    for (int64_t dx = 0; dx < k; ++dx) {
      const int64_t pj = k * j + dx;
      const float x = float(framePosition(pj, b.factor));
      float g[kFlowChannels];
      for (int64_t q = 0; q < kFlowChannels; ++q) {
        g[q] = b.flows.at(q, pi, pj);
        f[q] += g[q];
      }
      a += weight * b.s0.sample(x + g[0], y + g[1]);
      c += weight * b.s1.sample(x + g[2], y + g[3]);
    }
  }
}

// A pixel's output channels: four vectors, the last half used.
struct OutputPixel
{
  Lanes v[4];
};
constexpr int64_t kOutChannels = 2 * kSourceChannels + 1 + kRestChannels + kFlowChannels;
static_assert(kOutChannels == 3 * kLanes + kFlowChannels, "the flows fill half the last vector");

typedef int32_t LaneIndex __attribute__((vector_size(kLanes * sizeof(int32_t))));

// Both images, both sets of features, the timestep, the rest (r: its first
// eight channels, last: the ninth) and the flows, in the output's order.
TWEENOVA_INLINE OutputPixel assemble(const Lanes& a, const Lanes& c, float timestep, const Lanes& r, float last,
                                     const Lanes& flows)
{
  const Lanes t = Lanes{} + timestep;
  const Lanes l = Lanes{} + last;
  const Lanes features = __builtin_shuffle(a, c, LaneIndex{5, 6, 11, 12, 13, 14, 0, 0});
  const Lanes timeAndRest = __builtin_shuffle(r, t, LaneIndex{8, 0, 0, 0, 0, 0, 0, 0});
  return {{__builtin_shuffle(a, c, LaneIndex{0, 1, 2, 8, 9, 10, 3, 4}),
           __builtin_shuffle(features, timeAndRest, LaneIndex{0, 1, 2, 3, 4, 5, 8, 9}),
           __builtin_shuffle(r, l, LaneIndex{1, 2, 3, 4, 5, 6, 7, 8}), flows}};
}

// Stores the first n values of v as float32, bfloat16 (rounded to nearest
// even, NaN as the quiet NaN, as c10::BFloat16 does) or another type.
TWEENOVA_INLINE void store(const Lanes& v, int64_t n, float* out) { std::memcpy(out, &v, n * sizeof(float)); }

TWEENOVA_INLINE void store(const Lanes& v, int64_t n, c10::BFloat16* out)
{
  const HalfBits h = toBFloat16(v);
  std::memcpy(out, &h, n * sizeof(uint16_t));
}

template <typename Out>
TWEENOVA_INLINE void store(const Lanes& v, int64_t n, Out* out)
{
  for (int64_t q = 0; q < n; ++q)
    out[q] = Out(v[q]);
}

// The previous block's output at column j of the row whose taps `row` and
// rows `top` and `bottom` give: its first eight channels, and the ninth.
TWEENOVA_INLINE Lanes restAt(const Rest& rest, const Tap& row, const float* top, const float* bottom, int64_t j,
                             float& last)
{
  const Tap& col = rest.columns[j];
  const int64_t left = col.i0 * kRestChannels;
  const int64_t right = left + col.step * kRestChannels;
  Lanes p[4];
  std::memcpy(&p[0], top + left, sizeof(Lanes));
  std::memcpy(&p[1], top + right, sizeof(Lanes));
  std::memcpy(&p[2], bottom + left, sizeof(Lanes));
  std::memcpy(&p[3], bottom + right, sizeof(Lanes));
  const int64_t q = kLanes;
  last = row.w0 * (col.w0 * top[left + q] + col.w1 * top[right + q]) +
         row.w1 * (col.w0 * bottom[left + q] + col.w1 * bottom[right + q]);
  return row.w0 * (col.w0 * p[0] + col.w1 * p[1]) + row.w1 * (col.w0 * p[2] + col.w1 * p[3]);
}

// Writes block row i, channels-last: both images, both sets of features, the
// timestep, the rest enlarged, the flows reduced and in pixels of the block.
// Its AVX2 version computes a pixel's channels in vector registers.
template <typename Out>
TWEENOVA_CLONES void writeRow(const Block& b, int64_t i, Out* out)
{
  const Rest& rest = b.rest;
  const float flowScale = 1.f / float(b.points * b.points) * (1.f / float(b.factor));
  const Tap row = enlargementTap(b.firstRow + i, rest.factor, rest.height);
  const float* top = rest.data + (row.i0 - rest.firstRow) * rest.width * kRestChannels;
  const float* bottom = top + row.step * rest.width * kRestChannels;
  for (int64_t j = 0; j < b.columns; ++j) {
    Lanes a;
    Lanes c;
    float f[kFlowChannels];
    sampleCell(b, i, j, a, c, f);
    float last;
    const Lanes r = restAt(rest, row, top, bottom, j, last);
    const Lanes flows = Lanes{f[0], f[1], f[2], f[3]} * flowScale;
    const OutputPixel px = assemble(a, c, b.timestep, r, last, flows);
    Out* o = out + j * kOutChannels;
    store(px.v[0], kLanes, o);
    store(px.v[1], kLanes, o + kLanes);
    store(px.v[2], kLanes, o + 2 * kLanes);
    store(px.v[3], kFlowChannels, o + 3 * kLanes);
  }
}

void checkArguments(const at::Tensor& source0, const at::Tensor& source1, const at::Tensor& flows, int64_t factor,
                    const at::Tensor& rest, int64_t restFactor)
{
  for (const at::Tensor* t : {&source0, &source1, &flows, &rest}) {
    TORCH_CHECK(t->device().is_cpu(), "tweenova::block_input runs on the CPU");
    TORCH_CHECK(t->dim() == 4 && t->size(0) == 1, "tweenova::block_input takes [1, C, H, W] tensors");
  }
  TORCH_CHECK(source0.scalar_type() == at::kFloat && source1.scalar_type() == at::kFloat &&
                flows.scalar_type() == at::kFloat,
              "tweenova::block_input takes float32 sources and flows");
  TORCH_CHECK(source0.sizes() == source1.sizes() && source0.size(1) == kSourceChannels,
              "tweenova::block_input: the sources are [1, ", kSourceChannels, ", H, W] each (a frame and ",
              kFeatureChannels, " features)");
  TORCH_CHECK(flows.size(1) == kFlowChannels, "tweenova::block_input: the flows have ", kFlowChannels, " channels");
  TORCH_CHECK(factor >= 1 && (factor & (factor - 1)) == 0, "tweenova::block_input: factor ", factor,
              " is not a power of two");
  const int64_t k = factor == 1 ? 1 : 2;
  TORCH_CHECK(source0.size(2) % factor == 0 && source0.size(3) % factor == 0,
              "tweenova::block_input: the frame is not a multiple of the factor");
  TORCH_CHECK(flows.size(2) % k == 0 && flows.size(3) == k * (source0.size(3) / factor),
              "tweenova::block_input: the flows are not at the block's points");
  TORCH_CHECK(rest.size(1) == kRestChannels, "tweenova::block_input: the previous block's output has ",
              kRestChannels, " channels (the mask logit and the context), not ", rest.size(1));
  TORCH_CHECK(restFactor >= 1 && rest.size(2) * restFactor == source0.size(2) / factor &&
                rest.size(3) * restFactor == source0.size(3) / factor,
              "tweenova::block_input: the previous block's output does not enlarge to the block");
}

Source sourceOf(const at::Tensor& channelsLast)
{
  const float* data = channelsLast.data_ptr<float>();
  const int64_t h = channelsLast.size(2);
  const int64_t w = channelsLast.size(3);
  return {data, h, w, data + (h * w - 1) * kSourceChannels};
}

// The rows of the previous block's output that block rows first to first +
// rows - 1 read, as float32 channels-last, with the enlargement's taps.
Rest restFor(const at::Tensor& rest, int64_t restFactor, int64_t first, int64_t rows, at::Tensor& held)
{
  const int64_t top = enlargementTap(first, restFactor, rest.size(2)).i0;
  const Tap last = enlargementTap(first + rows - 1, restFactor, rest.size(2));
  held = rest.narrow(2, top, last.i0 + last.step + 1 - top).to(at::kFloat).contiguous(at::MemoryFormat::ChannelsLast);
  Rest r{held.data_ptr<float>(), top, rest.size(2), rest.size(3), restFactor, {}};
  for (int64_t j = 0; j < rest.size(3) * restFactor; ++j)
    r.columns.push_back(enlargementTap(j, restFactor, rest.size(3)));
  return r;
}

// source0, source1: [1, 7, H, W] float32, the frames' sources (frame and
// features); flows: [1, 4, k * rows, k * W / factor] float32, the flows at the
// points the block reads (k = 2, or 1 at factor 1) for its rows first_row
// onwards; rest: [1, 9, h, w] the previous block's mask logit and context,
// rest_factor times coarser. Returns [1, 28, rows, W / factor]
// channels-last in dtype: both images, both sets of features, the timestep,
// the rest enlarged, the flows reduced and in pixels of the block.
at::Tensor blockInput(const at::Tensor& source0, const at::Tensor& source1, const at::Tensor& flows, int64_t factor,
                      int64_t firstRow, double timestep, const at::Tensor& rest, int64_t restFactor,
                      at::ScalarType dtype)
{
  checkArguments(source0, source1, flows, factor, rest, restFactor);
  const int64_t k = factor == 1 ? 1 : 2;
  const int64_t rows = flows.size(2) / k;
  TORCH_CHECK(firstRow >= 0 && firstRow + rows <= source0.size(2) / factor, "tweenova::block_input: rows ",
              firstRow, " to ", firstRow + rows, " are outside the block");
  const at::Tensor a = source0.contiguous(at::MemoryFormat::ChannelsLast);
  const at::Tensor c = source1.contiguous(at::MemoryFormat::ChannelsLast);
  at::Tensor restRows;
  const Block b{sourceOf(a), sourceOf(c),
                {flows.data_ptr<float>(), flows.stride(1), flows.stride(2), flows.stride(3)},
                restFor(rest, restFactor, firstRow, rows, restRows),
                factor,
                k,
                firstRow,
                source0.size(3) / factor,
                float(timestep)};
  at::Tensor out = at::empty({1, kOutChannels, rows, b.columns},
                             source0.options().dtype(dtype).memory_format(at::MemoryFormat::ChannelsLast));
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kBFloat16, at::kHalf, dtype, "tweenova::block_input", [&] {
    scalar_t* o = out.data_ptr<scalar_t>();
    at::parallel_for(0, rows, 1, [&](int64_t begin, int64_t end) {
      for (int64_t i = begin; i < end; ++i)
        writeRow(b, i, o + i * b.columns * kOutChannels);
    });
  });
  return out;
}

} // namespace

TORCH_LIBRARY(tweenova, m)
{
  m.def("block_input(Tensor source0, Tensor source1, Tensor flows, int factor, int first_row, float timestep, "
        "Tensor rest, int rest_factor, ScalarType dtype) -> Tensor");
}

TORCH_LIBRARY_IMPL(tweenova, CPU, m) { m.impl("block_input", blockInput); }

} // namespace tweenova

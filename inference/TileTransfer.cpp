#include "inference/TileTransfer.h"

#include "inference/PU21Table.h"

#include <ATen/Parallel.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace transfer {

namespace {

// Rows handed to one intra-op thread at a time.
constexpr int64_t kRowGrain = 16;

// One row through a curve, or copied when there is none.
void transferRow(const float* in, float* out, int64_t w, const pu21::CurveTable* curve)
{
  if (!curve) {
    std::memcpy(out, in, size_t(w) * sizeof(float));
    return;
  }
  curve->apply(in, out, w);
}

} // namespace

bool onePassApplies(const torch::Tensor& t)
{
  return t.defined() && t.device().is_cpu() && t.scalar_type() == torch::kFloat32 && t.dim() == 4 &&
         t.size(0) == 1 && (t.size(3) <= 1 || t.stride(3) == 1);
}

torch::Tensor toNetworkInput(const torch::Tensor& tile, bool encode, const NetworkPadding& padding)
{
  if (!onePassApplies(tile) || tile.size(2) == 0 || tile.size(3) == 0 || tile.size(2) != padding.height() ||
      tile.size(3) != padding.width())
    throw std::invalid_argument("toNetworkInput needs a non-empty float32 CPU tile of shape [1, C, h, w] and its "
                                "padding");
  const int64_t C = tile.size(1), h = tile.size(2), w = tile.size(3);
  const int64_t H = h + padding.rows(), W = w + padding.columns();
  torch::Tensor out = torch::empty({1, C, H, W}, torch::dtype(torch::kFloat32).device(torch::kCPU));
  const float* src = tile.data_ptr<float>();
  float* dst = out.data_ptr<float>();
  const int64_t channelStride = tile.stride(1), rowStride = tile.stride(2);
  const pu21::CurveTable* curve = encode ? &pu21::encodeTable() : nullptr;

  at::parallel_for(0, C * h, kRowGrain, [&](int64_t begin, int64_t end) {
    for (int64_t k = begin; k < end; ++k) {
      const int64_t c = k / h, r = k % h;
      // Output row r (top-down) is input row h - 1 - r.
      float* row = dst + (c * H + r) * W;
      transferRow(src + c * channelStride + (h - 1 - r) * rowStride, row, w, curve);
      std::fill(row + w, row + W, row[w - 1]);
    }
  });
  // The padding rows below the image repeat its last row.
  for (int64_t c = 0; c < C; ++c) {
    const float* last = dst + (c * H + h - 1) * W;
    for (int64_t r = h; r < H; ++r)
      std::memcpy(dst + (c * H + r) * W, last, size_t(W) * sizeof(float));
  }
  return out;
}

torch::Tensor fromNetworkResult(const torch::Tensor& result, const NetworkPadding& padding, bool decode)
{
  const int64_t h = padding.height(), w = padding.width();
  if (!onePassApplies(result) || h <= 0 || w <= 0 || result.size(2) < h || result.size(3) < w)
    throw std::invalid_argument("fromNetworkResult needs a float32 CPU result of at least [1, C, h, w]");
  const int64_t C = result.size(1);
  torch::Tensor out = torch::empty({1, C, h, w}, torch::dtype(torch::kFloat32).device(torch::kCPU));
  const float* src = result.data_ptr<float>();
  float* dst = out.data_ptr<float>();
  const int64_t channelStride = result.stride(1), rowStride = result.stride(2);
  const pu21::CurveTable* curve = decode ? &pu21::decodeTable() : nullptr;

  at::parallel_for(0, C * h, kRowGrain, [&](int64_t begin, int64_t end) {
    for (int64_t k = begin; k < end; ++k) {
      const int64_t c = k / h, r = k % h;
      transferRow(src + c * channelStride + (h - 1 - r) * rowStride, dst + k * w, w, curve);
    }
  });
  return out;
}

int64_t countNaN(const torch::Tensor& t)
{
  if (!(t.device().is_cpu() && t.scalar_type() == torch::kFloat32 && t.is_contiguous()))
    return torch::isnan(t).sum().item<int64_t>();
  const float* data = t.data_ptr<float>();
  return at::parallel_reduce(
      int64_t(0), t.numel(), int64_t(1) << 16, int64_t(0),
      [data](int64_t begin, int64_t end, int64_t count) {
        for (int64_t i = begin; i < end; ++i)
          count += data[i] != data[i];
        return count;
      },
      std::plus<int64_t>());
}

} // namespace transfer

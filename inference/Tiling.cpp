#include "inference/Tiling.h"

#include "inference/InferencePass.h"

#include <algorithm>
#include <cmath>
#include <iostream>

namespace {

enum class Ramp { Zero, FadeIn, FadeOut, Full };

// Where position t of a tile of length n lies on its direction's cross-fade;
// q is the fade-in value, or the fade-out's progress (the weight being 1 - q).
Ramp classify(int t, int n, const EdgeFade& f, float& q)
{
  const int o = f.overlap, p = f.padding;
  const int fadeOutStart = n - p;
  const int fadeOutEnd = n - 1 - p / 2;
  if (!f.first && t < p)
    return Ramp::Zero;
  if (!f.first && t < o - p) {
    q = float(t - p) / float(o - 2 * p);
    return Ramp::FadeIn;
  }
  if (!f.last && t > fadeOutEnd)
    return Ramp::Zero;
  if (!f.last && fadeOutStart < t && t <= fadeOutEnd) {
    q = float(t - fadeOutStart) / float(fadeOutEnd - fadeOutStart);
    return Ramp::FadeOut;
  }
  return Ramp::Full;
}

int ceilDiv(double a, double b) { return int(std::ceil(a / b)); }

} // namespace

TilePlan planTiles(int W, int H, int maxSize, int overlap, int padding)
{
  TilePlan plan;
  plan.sideX = W;
  plan.sideY = H;

  const double m = std::min(maxSize / 2.5, double(overlap));
  int o = 0, p = 0;
  if (m >= 0) {
    o = int(m);
    const double q = std::min(o * 0.5, double(padding));
    p = q >= 0 ? int(q) : 0;
  }

  const bool splitX = W > maxSize;
  const bool splitY = H > maxSize;
  if (!splitX && !splitY)
    return plan;
  if (splitX) {
    plan.sideX = maxSize;
    plan.overlapX = o;
    plan.paddingX = p;
  }
  if (splitY) {
    plan.sideY = maxSize;
    plan.overlapY = o;
    plan.paddingY = p;
  }
  plan.singleCall = o == 0;
  if (maxSize <= 0)  // nothing to count tiles of
    return plan;

  plan.countX = splitX ? ceilDiv(W, plan.sideX - plan.overlapX) : 1;
  plan.countY = splitY ? ceilDiv(H, plan.sideY - plan.overlapY) : 1;
  if (plan.countX > 1)
    plan.sideX = ceilDiv(W + double(plan.countX) * plan.overlapX, plan.countX);
  if (plan.countY > 1)
    plan.sideY = ceilDiv(H + double(plan.countY) * plan.overlapY, plan.countY);
  return plan;
}

std::vector<TileSpan> tileSpans(int extent, int side, int overlap, int count)
{
  std::vector<TileSpan> spans;
  const int step = side - overlap;
  for (int k = 0;; ++k) {
    const int start = k * step;
    bool last = k >= 1 ? start + side >= extent : step >= extent;
    last = last || k >= count - 1;
    spans.push_back({start, last ? extent : start + side});
    if (last)
      return spans;
  }
}

float edgeWeight(int t, int n, const EdgeFade& fade)
{
  float q = 0.0f;
  switch (classify(t, n, fade, q)) {
  case Ramp::Zero:
    return 0.0f;
  case Ramp::FadeIn:
    return q;
  case Ramp::FadeOut:
    return 1.0f - q;
  case Ramp::Full:
    break;
  }
  return 1.0f;
}

torch::Tensor tileWeightMask(int th, int tw, const EdgeFade& rows, const EdgeFade& columns)
{
  torch::Tensor mask = torch::empty({1, 1, th, tw}, torch::kFloat32);
  auto m = mask.accessor<float, 4>();
  for (int r = 0; r < th; ++r) {
    const float wy = edgeWeight(r, th, rows);
    for (int c = 0; c < tw; ++c) {
      float q = 0.0f;
      float w = wy;
      switch (classify(c, tw, columns, q)) {
      case Ramp::Zero:
        w = 0.0f;
        break;
      case Ramp::FadeIn:
        w = q * wy;
        break;
      case Ramp::FadeOut:
        w = float((1.0 - double(q)) * double(wy));
        break;
      case Ramp::Full:
        break;
      }
      m[0][0][r][c] = w;
    }
  }
  return mask;
}

namespace {

void reportPlan(const RenderSettings& settings, int W, int H, const TilePlan& plan)
{
  if (settings.debug)
    std::cout << settings.nodeName << ": tiling " << W << "x" << H << " into " << plan.countX << "x" << plan.countY
              << " patches (side " << plan.sideX << "x" << plan.sideY << ", overlap " << plan.overlapX
              << ", padding " << plan.paddingX << ")" << std::endl;
}

bool abortRequested(const InferenceContext& ctx) { return ctx.progress.aborted && ctx.progress.aborted(); }

} // namespace

torch::Tensor tiledInference(InferenceContext& ctx, const torch::Tensor& frame0, const torch::Tensor& frame1)
{
  const int W = int(frame0.size(3));
  const int H = int(frame0.size(2));
  const RenderSettings& s = ctx.settings;
  const TilePlan plan = planTiles(W, H, s.maxSize, s.overlap, s.padding);
  if (plan.singleCall)
    return inferencePass(ctx, frame0, frame1);
  reportPlan(s, W, H, plan);

  const std::vector<TileSpan> rows = tileSpans(H, plan.sideY, plan.overlapY, plan.countY);
  const std::vector<TileSpan> columns = tileSpans(W, plan.sideX, plan.overlapX, plan.countX);
  torch::Tensor accumulator = torch::zeros({1, s.modelChannels, H, W}, torch::kFloat32);

  for (size_t iy = 0; iy < rows.size(); ++iy) {
    const TileSpan& ry = rows[iy];
    const EdgeFade rowFade{plan.overlapY, plan.paddingY, iy == 0, iy + 1 == rows.size()};
    for (size_t ix = 0; ix < columns.size(); ++ix) {
      const TileSpan& cx = columns[ix];
      const EdgeFade columnFade{plan.overlapX, plan.paddingX, ix == 0, ix + 1 == columns.size()};

      const torch::Tensor tile0 = frame0.slice(2, ry.begin, ry.end).slice(3, cx.begin, cx.end);
      const torch::Tensor tile1 = frame1.slice(2, ry.begin, ry.end).slice(3, cx.begin, cx.end);
      const torch::Tensor result = inferencePass(ctx, tile0, tile1);
      const torch::Tensor mask = tileWeightMask(ry.end - ry.begin, cx.end - cx.begin, rowFade, columnFade);

      torch::Tensor region = accumulator.slice(2, ry.begin, ry.end).slice(3, cx.begin, cx.end);
      region.copy_(torch::lerp(region, result, mask));

      if (abortRequested(ctx))
        return accumulator;
    }
  }
  return accumulator;
}

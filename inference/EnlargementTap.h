// One axis of a bilinear enlargement with half-pixel centres, edges held
// (F.interpolate, bilinear, align_corners=False), as the network's operators
// compute it.
#pragma once

#include <algorithm>
#include <cstdint>

namespace tweenova {

// Output index d of an axis enlarged by `factor` from `size` inputs reads
// inputs i0 and i0 + step with weights w0 and w1.
struct Tap
{
  int64_t i0;
  int64_t step;
  float w0;
  float w1;
};

inline Tap enlargementTap(int64_t d, int64_t factor, int64_t size)
{
  const float scale = float(1.0 / double(factor));
  float source = scale * (float(d) + 0.5f) - 0.5f;
  source = source < 0.f ? 0.f : source;
  const int64_t i0 = std::min(int64_t(source), size - 1);
  const float w1 = std::min(std::max(source - float(i0), 0.f), 1.f);
  return {i0, i0 < size - 1 ? 1 : 0, 1.f - w1, w1};
}

} // namespace tweenova

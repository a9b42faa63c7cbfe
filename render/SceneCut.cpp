#include "render/SceneCut.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr int kThumbnailSide = 128;  // long side of the reduced frames
constexpr int kBlock = 8;            // side of the blocks looked for
constexpr int kReach = 8;            // how far from its place a block is looked for
constexpr float kMatch = 0.4f;       // a match differs by at most this share of the block's own deviation
constexpr float kNoise = 0.01f;      // ... plus this, in tone-mapped units
constexpr float kTexture = 0.01f;    // mean absolute deviation below which a block is flat and says nothing
constexpr int kFewestBlocks = 16;    // textured blocks a frame needs for a verdict

// Scene-linear values to [0, 1]: x / (1 + x), NaN and negatives as 0, +inf as 1.
float toneMapped(float x)
{
  if (!(x > 0.0f))
    return 0.0f;
  return std::isinf(x) ? 1.0f : x / (1.0f + x);
}

struct Thumbnail {
  int width = 0, height = 0;
  std::vector<float> values;
  float at(int x, int y) const { return values[size_t(y) * size_t(width) + size_t(x)]; }
};

// The frame reduced by a whole factor to about kThumbnailSide on its long
// side: box-filtered means of the tone-mapped channels.
Thumbnail thumbnail(const float* planes, int width, int height, int channels)
{
  const int factor = std::max(1, (std::max(width, height) + kThumbnailSide - 1) / kThumbnailSide);
  const int used = std::min(channels, 3);
  Thumbnail t;
  t.width = width / factor;
  t.height = height / factor;
  t.values.assign(size_t(t.width) * size_t(t.height), 0.0f);
  const size_t area = size_t(width) * size_t(height);
  const float norm = 1.0f / float(factor * factor * used);
  for (int ty = 0; ty < t.height; ++ty)
    for (int tx = 0; tx < t.width; ++tx) {
      float sum = 0.0f;
      for (int c = 0; c < used; ++c)
        for (int y = ty * factor; y < (ty + 1) * factor; ++y) {
          const float* row = planes + size_t(c) * area + size_t(y) * size_t(width);
          for (int x = tx * factor; x < (tx + 1) * factor; ++x)
            sum += toneMapped(row[x]);
        }
      t.values[size_t(ty) * size_t(t.width) + size_t(tx)] = sum * norm;
    }
  return t;
}

// Mean absolute difference of the block at (bx, by) in `a` and the block at (bx + dx, by + dy) in `b`.
float blockDifference(const Thumbnail& a, const Thumbnail& b, int bx, int by, int dx, int dy)
{
  float sum = 0.0f;
  for (int y = 0; y < kBlock; ++y)
    for (int x = 0; x < kBlock; ++x)
      sum += std::fabs(a.at(bx + x, by + y) - b.at(bx + dx + x, by + dy + y));
  return sum / float(kBlock * kBlock);
}

float blockTexture(const Thumbnail& a, int bx, int by)
{
  float mean = 0.0f;
  for (int y = 0; y < kBlock; ++y)
    for (int x = 0; x < kBlock; ++x)
      mean += a.at(bx + x, by + y);
  mean /= float(kBlock * kBlock);
  float deviation = 0.0f;
  for (int y = 0; y < kBlock; ++y)
    for (int x = 0; x < kBlock; ++x)
      deviation += std::fabs(a.at(bx + x, by + y) - mean);
  return deviation / float(kBlock * kBlock);
}

bool blockFound(const Thumbnail& a, const Thumbnail& b, int bx, int by, float texture)
{
  const float match = kMatch * texture + kNoise;
  for (int dy = -kReach; dy <= kReach; ++dy)
    for (int dx = -kReach; dx <= kReach; ++dx) {
      if (bx + dx < 0 || by + dy < 0 || bx + dx + kBlock > b.width || by + dy + kBlock > b.height)
        continue;
      if (blockDifference(a, b, bx, by, dx, dy) <= match)
        return true;
    }
  return false;
}

// Textured blocks of `a` not found in `b`, and textured blocks in all.
void countMisses(const Thumbnail& a, const Thumbnail& b, int& misses, int& blocks)
{
  for (int by = 0; by + kBlock <= a.height; by += kBlock)
    for (int bx = 0; bx + kBlock <= a.width; bx += kBlock) {
      const float texture = blockTexture(a, bx, by);
      if (texture < kTexture)
        continue;
      ++blocks;
      misses += !blockFound(a, b, bx, by, texture);
    }
}

} // namespace

double unmatchedBlockShare(const float* frame0, const float* frame1, int width, int height, int channels)
{
  if (width <= 0 || height <= 0 || channels <= 0)
    return 0.0;
  const Thumbnail a = thumbnail(frame0, width, height, channels);
  const Thumbnail b = thumbnail(frame1, width, height, channels);
  int misses = 0, blocks = 0;
  countMisses(a, b, misses, blocks);
  countMisses(b, a, misses, blocks);
  // A few blocks (a small or mostly flat frame) are no evidence either way.
  return blocks >= 2 * kFewestBlocks ? double(misses) / double(blocks) : 0.0;
}

#include "render/SceneCut.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

// A planar RGB frame of smooth random texture (grey values 0 to 2, the
// channels alike as in real pictures), seeded, its content moved `shift`
// pixels to the right.
std::vector<float> texture(int w, int h, unsigned seed, int shift = 0)
{
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> value(0.0f, 2.0f);
  const int cell = 16;
  const int cw = (w + 64) / cell + 3, ch = h / cell + 2;  // shifts up to 64 pixels
  std::vector<float> coarse(size_t(cw) * size_t(ch));
  for (float& v : coarse)
    v = value(random);
  auto at = [&](int i, int j) { return coarse[size_t(j) * size_t(cw) + size_t(i)]; };
  std::vector<float> planes(size_t(w) * size_t(h) * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float fx = float(x - shift + 64) / cell, fy = float(y) / cell;
      const int ix = int(fx), iy = int(fy);
      const float tx = fx - float(ix), ty = fy - float(iy);
      const float v = (at(ix, iy) * (1 - tx) + at(ix + 1, iy) * tx) * (1 - ty) +
                      (at(ix, iy + 1) * (1 - tx) + at(ix + 1, iy + 1) * tx) * ty;
      for (int c = 0; c < 3; ++c)
        planes[(size_t(c) * h + y) * w + x] = v * (0.8f + 0.2f * float(c));
    }
  return planes;
}

} // namespace

TEST(SceneCut, OneShotMovesAndTwoShotsDoNot)
{
  const int w = 640, h = 360;
  const std::vector<float> shot = texture(w, h, 1);
  // The same scene, panned by 24 pixels, and partly covered by something new.
  std::vector<float> panned = texture(w, h, 1, 24);
  const std::vector<float> other = texture(w, h, 2);
  EXPECT_LT(unmatchedBlockShare(shot.data(), panned.data(), w, h, 3), 0.15);
  for (int c = 0; c < 3; ++c)
    for (int y = 100; y < 200; ++y)
      for (int x = 200; x < 300; ++x)
        panned[(size_t(c) * h + y) * w + x] = other[(size_t(c) * h + y) * w + x];
  EXPECT_LT(unmatchedBlockShare(shot.data(), panned.data(), w, h, 3), kSceneCutShare / 2);
  // Another shot, and a flash over the same one.
  EXPECT_GT(unmatchedBlockShare(shot.data(), other.data(), w, h, 3), 0.9);
  std::vector<float> flash = shot;
  for (float& v : flash)
    v = v * 6.0f + 1.0f;
  EXPECT_GT(unmatchedBlockShare(shot.data(), flash.data(), w, h, 3), kSceneCutShare);
}

TEST(SceneCut, FlatTinyAndBrokenFramesSayNothing)
{
  // Flat frames of another brightness (synthetic plates, mattes): no texture, no verdict.
  const std::vector<float> dark(size_t(256) * 128 * 3, 0.2f), bright(size_t(256) * 128 * 3, 0.9f);
  EXPECT_EQ(unmatchedBlockShare(dark.data(), bright.data(), 256, 128, 3), 0.0);
  // Too few blocks to tell (12 in a 32 x 24 frame).
  const std::vector<float> tiny = texture(32, 24, 3), tiny2 = texture(32, 24, 4);
  EXPECT_EQ(unmatchedBlockShare(tiny.data(), tiny2.data(), 32, 24, 3), 0.0);
  // One channel, and NaN and infinite pixels, are read without harm.
  std::vector<float> a = texture(320, 180, 5), b = texture(320, 180, 5, 3);
  a[100] = std::nanf("");
  b[2000] = INFINITY;
  EXPECT_LT(unmatchedBlockShare(a.data(), b.data(), 320, 180, 1), 0.15);
}

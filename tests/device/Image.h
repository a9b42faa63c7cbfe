#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace devicecheck {

// An RGB image in linear light: three planes (red, green, blue), rows top-down.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<float> planes;  // 3 * width * height values

  Image() = default;
  Image(int w, int h) : width(w), height(h), planes(size_t(3) * size_t(w) * size_t(h), 0.0f) {}

  float& at(int channel, int x, int y) { return planes[index(channel, x, y)]; }
  float at(int channel, int x, int y) const { return planes[index(channel, x, y)]; }

private:
  size_t index(int channel, int x, int y) const
  {
    return (size_t(channel) * size_t(height) + size_t(y)) * size_t(width) + size_t(x);
  }
};

// "640x360".
std::string sizeText(const Image& image);

// A shared, unchangeable copy (what a frame-pair node serves).
std::shared_ptr<const Image> shared(const Image& image);

// Bilinear resampling to width x height, pixel centres aligned, edges held.
Image resized(const Image& image, int width, int height);

// The frame average of two images: the mean of their sRGB-encoded values,
// decoded back to linear light (how the test data's reference numbers blend).
Image averaged(const Image& a, const Image& b);

// PSNR in dB of `b` against `a` over every value, both sRGB-encoded and
// clamped to [0, 1] (a peak of 1). Infinite for identical images; a
// non-finite value in either counts as the largest error. The sizes must match.
double psnr(const Image& a, const Image& b);

// Whether every value is finite.
bool allFinite(const Image& image);

} // namespace devicecheck

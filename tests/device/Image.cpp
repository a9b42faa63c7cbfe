#include "device/Image.h"

#include "HostLayer/Srgb.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace devicecheck {

namespace {

// Source position and weight of one output position along a direction.
struct Tap {
  int low, high;
  float weight;  // of `high`
};

std::vector<Tap> taps(int from, int to)
{
  std::vector<Tap> out(size_t(std::max(to, 0)));
  const double scale = double(from) / double(to);
  for (int i = 0; i < to; ++i) {
    const double s = std::clamp((i + 0.5) * scale - 0.5, 0.0, double(from - 1));
    const int low = int(std::floor(s));
    out[size_t(i)] = {low, std::min(low + 1, from - 1), float(s - low)};
  }
  return out;
}

float encoded(float v) { return std::clamp(HostLayer::linearToSrgb(std::max(v, 0.0f)), 0.0f, 1.0f); }

} // namespace

std::string sizeText(const Image& image) { return std::to_string(image.width) + "x" + std::to_string(image.height); }

std::shared_ptr<const Image> shared(const Image& image) { return std::make_shared<const Image>(image); }

Image resized(const Image& image, int width, int height)
{
  const std::vector<Tap> columns = taps(image.width, width);
  const std::vector<Tap> rows = taps(image.height, height);
  Image out(width, height);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < height; ++y) {
      const Tap& r = rows[size_t(y)];
      for (int x = 0; x < width; ++x) {
        const Tap& k = columns[size_t(x)];
        const float top = image.at(c, k.low, r.low) + k.weight * (image.at(c, k.high, r.low) - image.at(c, k.low, r.low));
        const float bottom =
          image.at(c, k.low, r.high) + k.weight * (image.at(c, k.high, r.high) - image.at(c, k.low, r.high));
        out.at(c, x, y) = top + r.weight * (bottom - top);
      }
    }
  return out;
}

Image averaged(const Image& a, const Image& b)
{
  if (a.width != b.width || a.height != b.height)
    throw std::invalid_argument("averaged: the images differ in size");
  Image out(a.width, a.height);
  for (size_t i = 0; i < out.planes.size(); ++i)
    out.planes[i] = HostLayer::srgbToLinear(0.5f * (encoded(a.planes[i]) + encoded(b.planes[i])));
  return out;
}

double psnr(const Image& a, const Image& b)
{
  if (a.width != b.width || a.height != b.height)
    throw std::invalid_argument("psnr: the images differ in size");
  double sum = 0.0;
  for (size_t i = 0; i < a.planes.size(); ++i) {
    const bool finite = std::isfinite(a.planes[i]) && std::isfinite(b.planes[i]);
    const double d = finite ? double(encoded(a.planes[i])) - double(encoded(b.planes[i])) : 1.0;
    sum += d * d;
  }
  if (sum == 0.0)
    return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(double(a.planes.size()) / sum);
}

bool allFinite(const Image& image)
{
  return std::all_of(image.planes.begin(), image.planes.end(), [](float v) { return std::isfinite(v); });
}

} // namespace devicecheck

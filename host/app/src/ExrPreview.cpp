#include "ExrPreview.h"

#include "HostLayer/Srgb.h"

#include <algorithm>
#include <cmath>

using namespace DD::Image;

namespace HostLayer {

namespace {

int indexOf(const std::vector<Channel>& channels, Channel c)
{
  const auto it = std::find(channels.begin(), channels.end(), c);
  return it == channels.end() ? -1 : int(it - channels.begin());
}

unsigned char code(float linear)
{
  const float v = std::isfinite(linear) ? std::clamp(linear, 0.0f, 1.0f) : 0.0f;
  return static_cast<unsigned char>(std::lround(255.0f * linearToSrgb(v)));
}

} // namespace

Imf::PreviewImage makePreview(const std::vector<float>& pixels, const std::vector<Channel>& channels,
                              const Imath::Box2i& window, const Imf::PreviewImage& like)
{
  const int pw = int(like.width()), ph = int(like.height());
  Imf::PreviewImage preview{unsigned(pw), unsigned(ph)};
  const int w = window.max.x - window.min.x + 1, h = window.max.y - window.min.y + 1;
  const size_t nc = channels.size();
  int rgb[3] = {indexOf(channels, Chan_Red), indexOf(channels, Chan_Green), indexOf(channels, Chan_Blue)};
  if (rgb[0] < 0 || rgb[1] < 0 || rgb[2] < 0)
    rgb[0] = rgb[1] = rgb[2] = std::max(0, indexOf(channels, findChannel("other.Y")));
  const int alpha = indexOf(channels, Chan_Alpha);
  for (int py = 0; py < ph; ++py)
    for (int px = 0; px < pw; ++px) {
      const int x0 = px * w / pw, x1 = std::max(x0 + 1, (px + 1) * w / pw);
      const int y0 = py * h / ph, y1 = std::max(y0 + 1, (py + 1) * h / ph);
      double sum[4] = {0, 0, 0, 0};
      for (int y = y0; y < std::min(y1, h); ++y)
        for (int x = x0; x < std::min(x1, w); ++x) {
          const float* p = pixels.data() + (size_t(y) * w + x) * nc;
          for (int c = 0; c < 3; ++c)
            sum[c] += std::isfinite(p[rgb[c]]) ? p[rgb[c]] : 0.0f;
          sum[3] += alpha >= 0 && std::isfinite(p[alpha]) ? p[alpha] : 1.0f;
        }
      const double n = double(std::max(1, (std::min(y1, h) - y0) * (std::min(x1, w) - x0)));
      Imf::PreviewRgba& out = preview.pixel(unsigned(px), unsigned(py));
      out.r = code(float(sum[0] / n));
      out.g = code(float(sum[1] / n));
      out.b = code(float(sum[2] / n));
      out.a = static_cast<unsigned char>(std::lround(255.0 * std::clamp(sum[3] / n, 0.0, 1.0)));
    }
  return preview;
}

} // namespace HostLayer

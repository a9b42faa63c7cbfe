// What production plates hold, through the built-in network on a real frame
// pair: NaN and infinite pixels stay where they are, HDR highlights, depth
// and position values come back in the range the sources have.
#include "support/Commands.h"
#include "support/ImageFiles.h"
#include "support/Prerequisites.h"
#include "support/TempDir.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::render;

constexpr float kInf = std::numeric_limits<float>::infinity();

// A float image, channel-interleaved, rows top-down.
struct Plate {
  int width = 0, height = 0;
  std::vector<std::string> channels;
  std::vector<float> px;
  float& at(int x, int y, int c) { return px[(size_t(y) * size_t(width) + size_t(x)) * channels.size() + size_t(c)]; }
  float at(int x, int y, int c) const
  {
    return px[(size_t(y) * size_t(width) + size_t(x)) * channels.size() + size_t(c)];
  }
};

// The plate scaled to width x height (bilinear).
Plate resized(const Plate& p, int width, int height)
{
  OIIO::ImageSpec layout(p.width, p.height, int(p.channels.size()), OIIO::TypeDesc::FLOAT);
  OIIO::ImageBuf in(layout, const_cast<float*>(p.px.data()));
  OIIO::ImageBuf out = OIIO::ImageBufAlgo::resize(in, "triangle", 0.0f, OIIO::ROI(0, width, 0, height, 0, 1, 0, 3));
  Plate r;
  r.width = width;
  r.height = height;
  r.channels = p.channels;
  r.px.resize(size_t(width) * size_t(height) * p.channels.size());
  out.get_pixels(OIIO::ROI(0, width, 0, height, 0, 1, 0, 3), OIIO::TypeDesc::FLOAT, r.px.data());
  return r;
}

void writePlate(const fs::path& path, const Plate& p)
{
  OIIO::ImageSpec header(p.width, p.height, int(p.channels.size()), OIIO::TypeDesc::FLOAT);
  header.channelnames = p.channels;
  ASSERT_TRUE(testsupport::writeImage(path.string(), header, p.px));
}

Plate readPlate(const fs::path& path)
{
  Plate p;
  auto in = OIIO::ImageInput::open(path.string());
  EXPECT_TRUE(in) << path;
  if (!in)
    return p;
  const OIIO::ImageSpec& header = in->spec();
  p.width = header.width;
  p.height = header.height;
  p.channels = header.channelnames;
  p.px.resize(size_t(p.width) * size_t(p.height) * p.channels.size());
  EXPECT_TRUE(in->read_image(0, 0, 0, int(p.channels.size()), OIIO::TypeDesc::FLOAT, p.px.data()));
  return p;
}

// A frame of the developer set (RGB PNG) as linear RGB, approximately: the codes to the power 2.2.
Plate linearFrame(const fs::path& png)
{
  Plate p = readPlate(png);
  EXPECT_EQ(p.channels.size(), 3u) << png;
  for (float& v : p.px)
    v = std::pow(v, 2.2f);
  return p;
}

// The in-between frame of two source frames (speed 0.5, output frame 2), through the built-in network.
class PlateValues : public ::testing::Test {
protected:
  void SetUp() override
  {
    if (const auto missing = testsupport::missingTestData("davis/kart-turn"))
      GTEST_SKIP() << *missing;
    const fs::path folder = testsupport::testDataDir() / "davis" / "kart-turn";
    first = linearFrame(folder / "frame10.png");
    second = linearFrame(folder / "frame11.png");
  }

  Plate between(const Plate& a, const Plate& b, const std::string& options = "")
  {
    writePlate(dir.path / "in.0001.exr", a);
    writePlate(dir.path / "in.0002.exr", b);
    const testsupport::Outcome r = render((dir.path / "in.####.exr").string() + " " +
                                            (dir.path / "out.####.exr").string() + " -F 2 --float " + options,
                                          "");
    EXPECT_EQ(r.status, 0) << r.out;
    return r.status == 0 ? readPlate(dir.path / "out.0002.exr") : Plate();
  }

  testsupport::TempDir dir{"tweenova-plate-values"};
  Plate first, second;
};

// Whether every non-finite value of `out` lies within `radius` pixels of a
// non-finite value of a source, in the same channel.
bool nonFiniteOnlyNearTheSources(const Plate& out, const Plate& a, const Plate& b, int radius, int& count)
{
  count = 0;
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x)
      for (int c = 0; c < int(out.channels.size()); ++c) {
        if (std::isfinite(out.at(x, y, c)))
          continue;
        ++count;
        bool explained = false;
        for (int dy = -radius; dy <= radius && !explained; ++dy)
          for (int dx = -radius; dx <= radius && !explained; ++dx) {
            const int sx = x + dx, sy = y + dy;
            if (sx >= 0 && sy >= 0 && sx < a.width && sy < a.height)
              explained = !std::isfinite(a.at(sx, sy, c)) || !std::isfinite(b.at(sx, sy, c));
          }
        if (!explained) {
          std::cerr << "unexplained at " << x << "," << y << " channel " << c << ": " << out.at(x, y, c) << "\n";
          return false;
        }
      }
  return true;
}

} // namespace

TEST_F(PlateValues, ABadPixelStaysWhereItIs)
{
  const float nan = std::nanf("");
  struct Case {
    const char* name;
    std::function<void(Plate&, Plate&)> spoil;
  };
  const Case cases[] = {
    {"one NaN pixel", [&](Plate& a, Plate&) { a.at(150, 90, 1) = nan; }},
    {"one +Inf pixel", [&](Plate& a, Plate&) { a.at(40, 30, 0) = kInf; }},
    {"one -Inf pixel", [&](Plate&, Plate& b) { b.at(250, 120, 2) = -kInf; }},
    {"a NaN row", [&](Plate& a, Plate&) {
       for (int x = 0; x < a.width; ++x)
         for (int c = 0; c < 3; ++c)
           a.at(x, 60, c) = nan;
     }},
    {"a NaN background of 30 %", [&](Plate& a, Plate& b) {
       for (int y = 0; y < a.height; ++y)
         for (int x = 0; x < a.width * 3 / 10; ++x)
           for (int c = 0; c < 3; ++c)
             a.at(x, y, c) = b.at(x, y, c) = nan;
     }},
  };
  for (const Case& k : cases) {
    Plate a = first, b = second;
    k.spoil(a, b);
    const Plate out = between(a, b);
    ASSERT_EQ(out.width, a.width) << k.name;
    int count = 0;
    // The kart moves up to about 10 pixels between the frames: a bad pixel is read that far from its place at most.
    EXPECT_TRUE(nonFiniteOnlyNearTheSources(out, a, b, 16, count)) << k.name << ": " << count << " non-finite values";
    EXPECT_LT(count, int(out.px.size()) / 2) << k.name;
  }
}

TEST_F(PlateValues, HighlightsDepthAndPositionsKeepTheirRange)
{
  // A highlight of 5000 moving 8 pixels to the right over the real frames.
  Plate a = first, b = second;
  for (int y = 80; y < 88; ++y)
    for (int x = 100; x < 108; ++x)
      for (int c = 0; c < 3; ++c) {
        a.at(x, y, c) = 5000.0f;
        b.at(x + 8, y, c) = 5000.0f;
      }
  Plate out = between(a, b);
  ASSERT_FALSE(out.px.empty());
  float brightest = 0.0f;
  for (float v : out.px)
    brightest = std::max(brightest, v);
  EXPECT_GT(brightest, 4000.0f);  // PU21's own decoding would give 500
  EXPECT_LE(brightest, 5000.0f * 1.001f);

  // Depth: 10000 on the kart's part of the frame, +inf (nothing) elsewhere, as renderers write it.
  auto withDepth = [](const Plate& rgb, int shift) {
    Plate p = rgb;
    p.channels = {"R", "G", "B", "Z"};
    p.px.assign(size_t(p.width) * size_t(p.height) * 4, 0.0f);
    for (int y = 0; y < p.height; ++y)
      for (int x = 0; x < p.width; ++x) {
        for (int c = 0; c < 3; ++c)
          p.at(x, y, c) = rgb.at(x, y, c);
        const bool near = x >= 120 + shift && x < 200 + shift && y >= 60 && y < 140;
        p.at(x, y, 3) = near ? 10000.0f - float(y) : kInf;
      }
    return p;
  };
  out = between(withDepth(first, 0), withDepth(second, 4));
  ASSERT_EQ(out.channels.size(), 4u);
  int finite = 0, nans = 0;
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x) {
      const float z = out.at(x, y, 3);
      nans += std::isnan(z);
      if (std::isfinite(z)) {
        ++finite;
        EXPECT_GE(z, 10000.0f - 140.0f - 1.0f) << x << "," << y;
        EXPECT_LE(z, 10000.0f - 60.0f + 1.0f) << x << "," << y;
      }
    }
  EXPECT_GT(finite, 70 * 80);  // the near part is there, not clipped to 500
  EXPECT_LT(nans, out.width * out.height / 20);
  EXPECT_EQ(out.at(10, 10, 3), kInf);

  // A position pass moving 4 pixels to the right: world coordinates from -50 to +50.
  auto positions = [](const Plate& like, int shift) {
    Plate p = like;
    for (int y = 0; y < p.height; ++y)
      for (int x = 0; x < p.width; ++x) {
        p.at(x, y, 0) = -50.0f + 100.0f * float(std::max(x - shift, 0)) / float(p.width - 1);
        p.at(x, y, 1) = -20.0f;
        p.at(x, y, 2) = 3.0f + float(y) * 0.01f;
      }
    return p;
  };
  out = between(positions(first, 0), positions(first, 4));
  ASSERT_FALSE(out.px.empty());
  float low = 0.0f, high = -100.0f;
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x) {
      low = std::min(low, out.at(x, y, 0));
      high = std::max(high, out.at(x, y, 0));
      EXPECT_NEAR(out.at(x, y, 1), -20.0f, 1e-3f);  // PU21's own encoding would make it 0
    }
  EXPECT_NEAR(low, -50.0f, 0.01f);
  EXPECT_LE(high, 50.0f + 0.01f);
}

TEST_F(PlateValues, TiledAndWholeRendersOfAnHdFrameAgree)
{
  // In tiles of 1024 the last row and column of tiles are under 576 pixels
  // high or wide; they must take the frame's procedure, not that of a small frame.
  const Plate a = resized(first, 1920, 1080), b = resized(second, 1920, 1080);
  const Plate whole = between(a, b);
  const Plate tiled = between(a, b, "--set max_size=1024");
  ASSERT_EQ(whole.px.size(), tiled.px.size());
  ASSERT_FALSE(whole.px.empty());
  double squared = 0.0;
  for (size_t i = 0; i < whole.px.size(); ++i) {
    const double d = std::clamp(double(whole.px[i]), 0.0, 1.0) - std::clamp(double(tiled.px[i]), 0.0, 1.0);
    squared += d * d;
  }
  const double psnr = -10.0 * std::log10(squared / double(whole.px.size()));
  std::cout << "tiled against whole: " << psnr << " dB\n";
  EXPECT_GT(psnr, 40.0);
}

TEST_F(PlateValues, ACutHoldsTheNearerFrame)
{
  // The kart, then another shot (the dog of DAVIS, scaled to the kart's size).
  if (const auto missing = testsupport::missingTestData("davis/dog-control"))
    GTEST_SKIP() << *missing;
  const fs::path dog = testsupport::testDataDir() / "davis" / "dog-control" / "frame11.png";
  const Plate other = resized(linearFrame(dog), first.width, first.height);
  // A quarter of the way the first shot, three quarters the second, each as it was (to float rounding).
  auto largestDifference = [](const Plate& a, const Plate& b) {
    float worst = a.px.size() == b.px.size() ? 0.0f : INFINITY;
    for (size_t i = 0; i < a.px.size() && i < b.px.size(); ++i)
      worst = std::max(worst, std::fabs(a.px[i] - b.px[i]));
    return worst;
  };
  EXPECT_LE(largestDifference(between(first, other, "--set speed=0.25"), first), 1e-6f);
  EXPECT_LE(largestDifference(between(first, other, "--set speed=0.75"), other), 1e-6f);
  // One shot is interpolated.
  const Plate out = between(first, second, "--set speed=0.25");
  ASSERT_EQ(out.px.size(), first.px.size());
  EXPECT_NE(out.px, first.px);
  EXPECT_NE(out.px, second.px);
}

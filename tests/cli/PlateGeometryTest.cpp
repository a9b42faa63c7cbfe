// EXR data and display windows through a render: outputs line up with the plate.
#include "support/Commands.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cstring>

namespace {

using testsupport::render;

// A half-float EXR whose data window is w x h at (x, y) inside a 32 x 24
// display window, filled by `value(column, row)` of the data window.
template <typename Value>
void writeWindowed(const std::string& path, int x, int y, int w, int h, Value value)
{
  OIIO::ImageSpec desc(w, h, 3, OIIO::TypeDesc::HALF);
  desc.x = x;
  desc.y = y;
  desc.full_x = 0;
  desc.full_y = 0;
  desc.full_width = 32;
  desc.full_height = 24;
  std::vector<float> px(size_t(w) * h * 3);
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c)
      for (int k = 0; k < 3; ++k)
        px[(size_t(r) * w + c) * 3 + k] = value(c, r) * float(k + 1) / 3.0f;
  ASSERT_TRUE(testsupport::writeImage(path, desc, px));
}

// The value of channel 0 at display pixel (x, y) of an EXR, 0 outside its data window.
float valueAt(const std::string& path, int x, int y)
{
  OIIO::ImageBuf buf(path);
  return buf.getchannel(x, y, 0, 0);
}

} // namespace

TEST(PlateGeometry, ExactFramesKeepTheirWindowsAndPixels)
{
  testsupport::TempDir dir("tweenova-geometry-exact");
  const std::string in = (dir.path / "in.####.exr").string();
  auto ramp = [](int c, int r) { return 0.05f * float(c) + 0.5f * float(r % 3) - 0.2f; };
  // Overscan at a negative origin, then a crop, then the display window itself.
  writeWindowed((dir.path / "in.0001.exr").string(), -8, -4, 48, 40, ramp);
  writeWindowed((dir.path / "in.0002.exr").string(), 5, 7, 10, 6, ramp);
  writeWindowed((dir.path / "in.0003.exr").string(), 0, 0, 32, 24, ramp);
  ASSERT_EQ(render(in + " " + (dir.path / "out.####.exr").string() + " --set speed=1").status, 0);
  for (const char* name : {"0001", "0002", "0003"}) {
    const std::string source = (dir.path / ("in." + std::string(name) + ".exr")).string();
    const std::string result = (dir.path / ("out." + std::string(name) + ".exr")).string();
    const OIIO::ImageSpec a = testsupport::fileDescription(source), b = testsupport::fileDescription(result);
    EXPECT_EQ(std::make_tuple(b.x, b.y, b.width, b.height), std::make_tuple(a.x, a.y, a.width, a.height)) << name;
    EXPECT_EQ(std::make_tuple(b.full_x, b.full_y, b.full_width, b.full_height),
              std::make_tuple(a.full_x, a.full_y, a.full_width, a.full_height))
      << name;
    const OIIO::ImageBufAlgo::CompareResults diff =
      OIIO::ImageBufAlgo::compare(OIIO::ImageBuf(source), OIIO::ImageBuf(result), 0.0f, 0.0f);
    EXPECT_EQ(diff.maxerror, 0.0) << name;
  }
  // Files without a data window hold the display window, zeros where the plate does not reach.
  ASSERT_EQ(render(in + " " + (dir.path / "out.####.png").string() + " --set speed=1 -F 2").status, 0);
  const OIIO::ImageSpec png = testsupport::fileDescription((dir.path / "out.0002.png").string());
  EXPECT_EQ(std::make_tuple(png.x, png.y, png.width, png.height), std::make_tuple(0, 0, 32, 24));
}

TEST(PlateGeometry, InBetweenFramesCoverBothDataWindowsAlignedByPosition)
{
  testsupport::TempDir dir("tweenova-geometry-between");
  auto one = [](int, int) { return 1.0f; };
  writeWindowed((dir.path / "in.0001.exr").string(), 0, 0, 16, 16, one);
  writeWindowed((dir.path / "in.0002.exr").string(), 8, 4, 16, 16, one);
  // Output frame 2 lies halfway (speed 0.5); the test network blends the two frames.
  const std::string out = (dir.path / "out.0002.exr").string();
  ASSERT_EQ(render((dir.path / "in.####.exr").string() + " " + (dir.path / "out.####.exr").string() + " -F 2").status,
            0);
  const OIIO::ImageSpec desc = testsupport::fileDescription(out);
  EXPECT_EQ(std::make_tuple(desc.x, desc.y, desc.width, desc.height), std::make_tuple(0, 0, 24, 20));
  EXPECT_EQ(std::make_tuple(desc.full_width, desc.full_height), std::make_tuple(32, 24));
  // Where both frames have pixels the blend is whole; where only one does it
  // is partial, on either side; where neither does it is zero.
  EXPECT_NEAR(valueAt(out, 10, 10), 1.0f / 3.0f, 1e-3);
  for (auto [x, y] : {std::pair{2, 2}, std::pair{20, 18}}) {
    EXPECT_GT(valueAt(out, x, y), 0.001f) << x << "," << y;
    EXPECT_LT(valueAt(out, x, y), 0.32f) << x << "," << y;
  }
  EXPECT_EQ(valueAt(out, 20, 2), 0.0f);
}

TEST(PlateGeometry, PhotosTurnedByTheirOrientationAreRenderedUpright)
{
  // A 24 x 16 picture stored turned (EXIF orientation 6: a viewer turns it a
  // quarter clockwise, showing 16 x 24), as phones and cameras write them.
  testsupport::TempDir dir("tweenova-geometry-orientation");
  const std::string upright = (dir.path / "upright.png").string();
  ASSERT_TRUE(testsupport::commandSucceeds(
    "oiiotool --pattern fill:topleft=1,0,0:topright=0,1,0:bottomleft=0,0,1:bottomright=1,1,1 16x24 3 -d uint8 -o " +
    upright));
  for (int f = 1; f <= 2; ++f) {
    const std::string photo = (dir.path / ("in.000" + std::to_string(f) + ".jpg")).string();
    // The stored pixels are the upright picture turned back a quarter (counter-clockwise).
    ASSERT_TRUE(
      testsupport::commandSucceeds("oiiotool " + upright + " --rotate270 --attrib Orientation 6 -o " + photo));
    ASSERT_EQ(testsupport::fileDescription(photo).width, 24);
  }
  ASSERT_EQ(render((dir.path / "in.####.jpg").string() + " " + (dir.path / "out.####.png").string() +
                   " --set speed=1")
              .status,
            0);
  const std::string result = (dir.path / "out.0001.png").string();
  const OIIO::ImageSpec out = testsupport::fileDescription(result);
  EXPECT_EQ(std::make_tuple(out.width, out.height), std::make_tuple(16, 24));
  EXPECT_EQ(out.get_int_attribute("Orientation", 1), 1);
  // JPEG's loss aside, the corners are where the upright picture has them.
  const OIIO::ImageBufAlgo::CompareResults diff =
    OIIO::ImageBufAlgo::compare(OIIO::ImageBuf(upright), OIIO::ImageBuf(result), 0.2f, 0.2f);
  EXPECT_EQ(diff.nfail, 0u) << diff.maxerror << " at " << diff.maxx << "," << diff.maxy;
}

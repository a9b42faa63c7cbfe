// The kinds of EXR a facility has, through an exact frame (speed 1): every
// half value, tiled and multi-resolution files, several views, a display
// window away from the origin; deep files refused as deep.
#include "support/Commands.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <OpenEXR/ImfArray.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <OpenImageIO/deepdata.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using testsupport::commandSucceeds;
using testsupport::render;
using testsupport::writeImage;

// A luminance/chroma file (Y, and RY and BY at half resolution both ways)
// of a colour ramp, as OpenEXR's RGBA interface writes it: only that
// interface makes the subsampled chroma channels from RGB.
void writeLumaChroma(const std::string& path)
{
  const int w = 64, h = 32;
  Imf::Array2D<Imf::Rgba> px(h, w);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      px[y][x] = Imf::Rgba(0.1f + float(x) / 64.0f, 0.5f, 2.0f - float(y) / 16.0f, 1.0f);
  Imf::RgbaOutputFile out(path.c_str(), w, h, Imf::WRITE_YC);
  out.setFrameBuffer(&px[0][0], 1, w);
  out.writePixels(h);
}

// Every pixel of a file, each channel as its raw 16 bits (a half file).
std::vector<uint16_t> halfBits(const std::string& path)
{
  auto in = OIIO::ImageInput::open(path);
  EXPECT_TRUE(in) << path;
  if (!in)
    return {};
  std::vector<uint16_t> px(size_t(in->spec().image_pixels()) * in->spec().nchannels);
  EXPECT_TRUE(in->read_image(0, 0, 0, in->spec().nchannels, OIIO::TypeDesc::HALF, px.data()));
  return px;
}

} // namespace

TEST(PlateKinds, EveryHalfValueNanAndInfinityComeBackExactly)
{
  testsupport::TempDir dir("tweenova-kinds-half");
  // Red holds every one of the 65536 half bit patterns (NaNs, infinities,
  // denormals, both zeros); green and blue the same, shifted.
  OIIO::ImageSpec desc(256, 256, 3, OIIO::TypeDesc::HALF);
  std::vector<uint16_t> px(256 * 256 * 3);
  for (size_t i = 0; i < 256 * 256; ++i)
    for (size_t c = 0; c < 3; ++c)
      px[i * 3 + c] = uint16_t(i + c * 4099);
  for (const char* f : {"0001", "0002"})
    ASSERT_TRUE(
      writeImage((dir.path / ("in." + std::string(f) + ".exr")).string(), desc, px.data(), OIIO::TypeDesc::HALF));
  ASSERT_EQ(render((dir.path / "in.####.exr").string() + " " + (dir.path / "out.####.exr").string() +
                   " --set speed=1 -F 1")
              .status,
            0);
  const std::vector<uint16_t> out = halfBits((dir.path / "out.0001.exr").string());
  ASSERT_EQ(out.size(), px.size());
  size_t differing = 0;
  for (size_t i = 0; i < px.size(); ++i)
    differing += out[i] != px[i];
  EXPECT_EQ(differing, 0u);
}

TEST(PlateKinds, TiledMultiResolutionAndMultiViewFilesKeepTheirLayoutAndViews)
{
  testsupport::TempDir dir("tweenova-kinds-layout");
  // A tiled file with MIP levels: its full-resolution level, in tiles of the same size.
  const std::string flat = (dir.path / "flat.exr").string();
  ASSERT_TRUE(commandSucceeds("oiiotool --pattern fill:top=0.1,0.5,2:bottom=0.9,0.2,40 64x32 3 -d half -o " + flat));
  for (const char* f : {"0001", "0002"})
    ASSERT_TRUE(commandSucceeds("maketx " + flat + " --tile 16 16 -d half -o " + (dir.path / "mip.").string() + f +
                                ".exr >/dev/null"));
  ASSERT_EQ(render((dir.path / "mip.####.exr").string() + " " + (dir.path / "tiled.####.exr").string() +
                   " --set speed=1 -F 1")
              .status,
            0);
  const OIIO::ImageSpec tiled = testsupport::fileDescription((dir.path / "tiled.0001.exr").string());
  EXPECT_EQ(std::make_tuple(tiled.width, tiled.height, tiled.tile_width, tiled.tile_height),
            std::make_tuple(64, 32, 16, 16));
  EXPECT_EQ(halfBits((dir.path / "tiled.0001.exr").string()), halfBits(flat));

  // Two views in one part: the default view's channels and the other's, named as stored.
  OIIO::ImageSpec views(8, 4, 6, OIIO::TypeDesc::HALF);
  views.channelnames = {"R", "G", "B", "right.R", "right.G", "right.B"};
  const char* names[2] = {"left", "right"};
  views.attribute("multiView", OIIO::TypeDesc(OIIO::TypeDesc::STRING, 2), names);
  std::vector<float> px(8 * 4 * 6);
  for (size_t i = 0; i < px.size(); ++i)
    px[i] = float(i % 13) * 0.25f;
  for (const char* f : {"0001", "0002"})
    ASSERT_TRUE(writeImage((dir.path / ("stereo." + std::string(f) + ".exr")).string(), views, px));
  ASSERT_EQ(render((dir.path / "stereo.####.exr").string() + " " + (dir.path / "both.####.exr").string() +
                   " --set speed=1 -F 1")
              .status,
            0);
  const std::string both = (dir.path / "both.0001.exr").string();
  const OIIO::ImageSpec out = testsupport::fileDescription(both);
  EXPECT_EQ(out.channelnames, views.channelnames);
  const OIIO::ParamValue* multiView = out.find_attribute("multiView");
  ASSERT_TRUE(multiView);
  EXPECT_EQ(out.metadata_val(*multiView), "\"left\", \"right\"");
  EXPECT_EQ(halfBits(both), halfBits((dir.path / "stereo.0001.exr").string()));
}

TEST(PlateKinds, LuminanceChromaFilesAreReadAsRgbAsOpenExrReadsThem)
{
  testsupport::TempDir dir("tweenova-kinds-yc");
  for (const char* f : {"0001", "0002"})
    writeLumaChroma((dir.path / ("yc." + std::string(f) + ".exr")).string());
  ASSERT_EQ(render((dir.path / "yc.####.exr").string() + " " + (dir.path / "rgb.####.exr").string() +
                   " --set speed=1 -F 1")
              .status,
            0);
  // The RGBA interface's own reading of the source, as half RGB.
  Imf::RgbaInputFile source((dir.path / "yc.0001.exr").string().c_str());
  Imf::Array2D<Imf::Rgba> expected(32, 64);
  source.setFrameBuffer(&expected[0][0], 1, 64);
  source.readPixels(0, 31);
  const std::vector<uint16_t> out = halfBits((dir.path / "rgb.0001.exr").string());
  ASSERT_EQ(out.size(), size_t(64 * 32 * 3));
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 64; ++x) {
      const uint16_t* p = out.data() + (size_t(y) * 64 + x) * 3;
      const Imf::Rgba& e = expected[y][x];
      ASSERT_EQ(std::make_tuple(p[0], p[1], p[2]), std::make_tuple(e.r.bits(), e.g.bits(), e.b.bits()))
        << x << "," << y;
    }
}

TEST(PlateKinds, ADisplayWindowAwayFromTheOriginStaysWhereItIs)
{
  testsupport::TempDir dir("tweenova-kinds-origin");
  OIIO::ImageSpec desc(20, 10, 3, OIIO::TypeDesc::HALF);
  desc.x = 95;
  desc.y = 47;
  desc.full_x = 100;
  desc.full_y = 50;
  desc.full_width = 16;
  desc.full_height = 8;
  std::vector<float> px(20 * 10 * 3, 0.5f);
  for (const char* f : {"0001", "0002"})
    ASSERT_TRUE(writeImage((dir.path / ("in." + std::string(f) + ".exr")).string(), desc, px));
  ASSERT_EQ(render((dir.path / "in.####.exr").string() + " " + (dir.path / "out.####.exr").string() +
                   " --set speed=1 -F 1")
              .status,
            0);
  const OIIO::ImageSpec out = testsupport::fileDescription((dir.path / "out.0001.exr").string());
  EXPECT_EQ(std::make_tuple(out.x, out.y, out.width, out.height), std::make_tuple(95, 47, 20, 10));
  EXPECT_EQ(std::make_tuple(out.full_x, out.full_y, out.full_width, out.full_height), std::make_tuple(100, 50, 16, 8));
}

TEST(PlateKinds, DeepFilesAreRefusedAsDeep)
{
  testsupport::TempDir dir("tweenova-kinds-deep");
  OIIO::ImageSpec desc(4, 4, 2, OIIO::TypeDesc::FLOAT);
  desc.channelnames = {"A", "Z"};
  desc.deep = true;
  OIIO::DeepData deep(desc);
  for (int p = 0; p < 16; ++p)
    deep.set_samples(p, 1);
  // Deep samples go through write_deep_image, which the common writer has no use for.
  const std::string path = (dir.path / "deep.0001.exr").string();
  auto out = OIIO::ImageOutput::create(path);
  ASSERT_TRUE(out && out->open(path, desc) && out->write_deep_image(deep)) << OIIO::geterror();
  out->close();
  const testsupport::Outcome r = render((dir.path / "deep.####.exr").string() + " " +
                                        (dir.path / "out.####.exr").string());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("cannot read " + path + ": deep image data; only flat images can be read"), std::string::npos)
    << r.out;
}

// How an EXR plate holds its pixels comes back through a render: channels
// under their own names and types and no others, layer names with dots,
// views, multi-part files part for part, and the attributes of every kind.
#include "support/Commands.h"
#include "support/ExrFiles.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <OpenEXR/ImfIntAttribute.h>
#include <OpenEXR/ImfPreviewImage.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <OpenEXR/ImfStandardAttributes.h>
#include <gtest/gtest.h>

#include <cmath>

namespace {

using testsupport::commandSucceeds;
using testsupport::ExrPartSpec;
using testsupport::exrChannels;
using testsupport::exrHeaders;
using testsupport::exrValues;
using testsupport::render;

using Channels = std::vector<std::pair<std::string, Imf::PixelType>>;

Imf::Header window(int w, int h) { return Imf::Header(w, h); }

// Frames 1 and 2 of a plate of one part with `channels`; frame 2 a little brighter.
void writePlate(const std::filesystem::path& dir, const Channels& channels, Imf::Header header = window(16, 8))
{
  for (int f = 1; f <= 2; ++f) {
    ExrPartSpec part{header, channels, {}};
    part.value = [f](int x, int y, int k) { return 0.05f * float(x + 3 * y + 7 * k) + 0.25f * float(f); };
    testsupport::writeExrParts((dir / ("in.000" + std::to_string(f) + ".exr")).string(), {part});
  }
}

// Renders frame 1 exactly (speed 1) and an in-between frame (speed 0.5,
// output frame 1 at 1.25); both outputs' first part, as headers.
std::pair<Imf::Header, Imf::Header> renderBoth(const std::filesystem::path& dir)
{
  const std::string in = (dir / "in.####.exr").string();
  EXPECT_EQ(render(in + " " + (dir / "exact.####.exr").string() + " --set speed=1 -F 1").status, 0);
  EXPECT_EQ(render(in + " " + (dir / "between.####.exr").string() + " -F 1").status, 0);
  return {exrHeaders((dir / "exact.0001.exr").string())[0], exrHeaders((dir / "between.0001.exr").string())[0]};
}

} // namespace

TEST(PlateLayout, ChannelsComeBackUnderTheirOwnNamesAndTypesAndNoOthers)
{
  const std::vector<std::pair<const char*, Channels>> plates = {
    {"luminance", {{"Y", Imf::HALF}}},
    {"stereo luminance", {{"Y", Imf::HALF}, {"right.Y", Imf::HALF}}},
    {"motion vectors", {{"R", Imf::FLOAT}, {"G", Imf::FLOAT}}},
    {"alpha alone", {{"A", Imf::HALF}}},
    {"depth alone", {{"Z", Imf::FLOAT}}},
    {"a mask", {{"mask", Imf::HALF}}},
    {"layers with dots",
     {{"R", Imf::HALF}, {"G", Imf::HALF}, {"B", Imf::HALF}, {"forward.left.u", Imf::FLOAT},
      {"forward.left.v", Imf::FLOAT}, {"whitebarmask.left.mask", Imf::HALF}}},
    {"layers a dot apart", {{"a.b.x", Imf::FLOAT}, {"a_b.x", Imf::HALF}}},
  };
  for (const auto& [what, channels] : plates) {
    testsupport::TempDir dir("tweenova-layout-channels");
    Imf::Header header = window(16, 8);
    if (std::string(what) == "stereo luminance")
      Imf::addMultiView(header, {"left", "right"});
    writePlate(dir.path, channels, header);
    const auto [exact, between] = renderBoth(dir.path);
    const auto want = exrChannels(exrHeaders((dir.path / "in.0001.exr").string())[0]);
    EXPECT_EQ(exrChannels(exact), want) << what;
    EXPECT_EQ(exrChannels(between), want) << what;
    EXPECT_EQ(Imf::hasMultiView(between), std::string(what) == "stereo luminance") << what;
    // The exact frame holds the source's values, every channel.
    EXPECT_EQ(exrValues((dir.path / "exact.0001.exr").string(), 0), exrValues((dir.path / "in.0001.exr").string(), 0))
      << what;
  }
}

TEST(PlateLayout, MultiPartFilesComeBackPartForPart)
{
  testsupport::TempDir dir("tweenova-layout-parts");
  // Renderers write a part per layer: beauty, a depth part over a smaller
  // window, and a part of another view, each with attributes of its own.
  for (int f = 1; f <= 2; ++f) {
    Imf::Header beauty = window(32, 16), depth = window(32, 16), right = window(32, 16);
    beauty.setName("rgba");
    beauty.compression() = Imf::PIZ_COMPRESSION;
    beauty.insert("renderer:samples", Imf::IntAttribute(64));
    depth.setName("depth");
    depth.dataWindow() = Imath::Box2i(Imath::V2i(4, 2), Imath::V2i(27, 13));
    right.setName("rgba.right");
    right.setView("right");
    auto value = [f](int x, int y, int k) { return 0.02f * float(x + 5 * y + 11 * k) + 0.3f * float(f); };
    testsupport::writeExrParts(
      (dir.path / ("in.000" + std::to_string(f) + ".exr")).string(),
      {{beauty, {{"R", Imf::HALF}, {"G", Imf::HALF}, {"B", Imf::HALF}, {"A", Imf::HALF}}, value},
       {depth, {{"Z", Imf::FLOAT}}, value},
       {right, {{"R", Imf::HALF}, {"G", Imf::HALF}, {"B", Imf::HALF}}, value}});
  }
  renderBoth(dir.path);
  const std::vector<Imf::Header> source = exrHeaders((dir.path / "in.0001.exr").string());
  for (const char* name : {"exact", "between"}) {
    const std::string out = (dir.path / (std::string(name) + ".0001.exr")).string();
    const std::vector<Imf::Header> parts = exrHeaders(out);
    ASSERT_EQ(parts.size(), source.size()) << name;
    for (size_t p = 0; p < parts.size(); ++p) {
      EXPECT_EQ(parts[p].name(), source[p].name()) << name << p;
      EXPECT_EQ(parts[p].hasView() ? parts[p].view() : "", source[p].hasView() ? source[p].view() : "") << name << p;
      EXPECT_EQ(exrChannels(parts[p]), exrChannels(source[p])) << name << p;
      EXPECT_EQ(parts[p].dataWindow(), source[p].dataWindow()) << name << p;
      EXPECT_EQ(parts[p].compression(), source[p].compression()) << name << p;
    }
    ASSERT_TRUE(parts[0].findTypedAttribute<Imf::IntAttribute>("renderer:samples")) << name;
    EXPECT_EQ(parts[0].typedAttribute<Imf::IntAttribute>("renderer:samples").value(), 64);
  }
  for (int p = 0; p < 3; ++p)
    EXPECT_EQ(exrValues((dir.path / "exact.0001.exr").string(), p), exrValues((dir.path / "in.0001.exr").string(), p))
      << p;

  // Files OpenImageIO and OpenEXR's own tool put together render as well.
  const std::string a = (dir.path / "a.exr").string(), z = (dir.path / "z.exr").string();
  ASSERT_TRUE(commandSucceeds("oiiotool --pattern constant:color=0.2,0.4,0.6 16x8 3 -d half -o " + a +
                              " && oiiotool --pattern constant:color=0.9 16x8 1 -d float --chnames Z -o " + z));
  ASSERT_TRUE(commandSucceeds("oiiotool " + a + " " + z + " --siappend -o " + (dir.path / "oiio.0001.exr").string() +
                              " && exrmultipart -combine -i " + a + "::beauty " + z + "::depth -o " +
                              (dir.path / "tool.0001.exr").string() + " >/dev/null"));
  for (const char* stem : {"oiio", "tool"}) {
    const std::string in = (dir.path / (std::string(stem) + ".####.exr")).string();
    const std::string out = (dir.path / (std::string(stem) + "-out.####.exr")).string();
    ASSERT_EQ(render(in + " " + out + " --set speed=1").status, 0) << stem;
    const std::string written = (dir.path / (std::string(stem) + "-out.0001.exr")).string();
    const std::string read = (dir.path / (std::string(stem) + ".0001.exr")).string();
    ASSERT_EQ(exrHeaders(written).size(), 2u) << stem;
    EXPECT_EQ(exrHeaders(written)[1].name(), exrHeaders(read)[1].name()) << stem;
    EXPECT_EQ(exrValues(written, 1), exrValues(read, 1)) << stem;
  }
}

TEST(PlateLayout, GreyAndColourImagesKeepTheirChannels)
{
  testsupport::TempDir dir("tweenova-layout-grey");
  for (int f = 1; f <= 2; ++f)
    for (const char* kind : {"grey", "colour"})
      ASSERT_TRUE(commandSucceeds("oiiotool --pattern fill:left=0.2:right=0.8 16x8 " +
                                  std::string(*kind == 'g' ? "1" : "3") + " -d uint8 -o " +
                                  (dir.path / (std::string(kind) + ".000" + std::to_string(f) + ".png")).string()));
  for (const char* kind : {"grey", "colour"}) {
    const std::string in = (dir.path / (std::string(kind) + ".####.png")).string();
    ASSERT_EQ(render(in + " " + (dir.path / (std::string(kind) + "-out.####.png")).string() + " -F 1").status, 0);
    ASSERT_EQ(render(in + " " + (dir.path / (std::string(kind) + "-out.####.exr")).string() + " -F 1").status, 0);
    const int channels = *kind == 'g' ? 1 : 3;
    EXPECT_EQ(testsupport::fileDescription((dir.path / (std::string(kind) + "-out.0001.png")).string()).nchannels,
              channels);
    const auto names = exrChannels(exrHeaders((dir.path / (std::string(kind) + "-out.0001.exr")).string())[0]);
    EXPECT_EQ(names.size(), size_t(channels)) << kind;
    EXPECT_EQ(names.count(*kind == 'g' ? "Y" : "G"), 1u) << kind;
  }
}

TEST(PlateLayout, EveryKindOfExrKeepsItsAttributes)
{
  testsupport::TempDir dir("tweenova-layout-kinds");
  // Luminance and chroma, as cameras and some renderers write it (through
  // OpenEXR's RGBA interface, the one writer that makes them from RGB).
  for (int f = 1; f <= 2; ++f) {
    Imf::Header h(32, 16);
    Imf::addOwner(h, "Example Studio");
    Imf::addComments(h, "plate B");
    Imf::addChromaticities(h, Imf::Chromaticities(Imath::V2f(0.713f, 0.293f), Imath::V2f(0.165f, 0.830f),
                                                  Imath::V2f(0.128f, 0.044f), Imath::V2f(0.32168f, 0.33767f)));
    Imf::RgbaOutputFile out((dir.path / ("yc.000" + std::to_string(f) + ".exr")).string().c_str(), h, Imf::WRITE_YC);
    std::vector<Imf::Rgba> px(32 * 16, Imf::Rgba(0.3f * float(f), 0.2f, 0.1f, 1.0f));
    out.setFrameBuffer(px.data(), 1, 32);
    out.writePixels(16);
  }
  ASSERT_EQ(render((dir.path / "yc.####.exr").string() + " " + (dir.path / "yc-out.####.exr").string() + " -F 1").status,
            0);
  const Imf::Header yc = exrHeaders((dir.path / "yc-out.0001.exr").string())[0];
  ASSERT_TRUE(Imf::hasOwner(yc) && Imf::hasComments(yc) && Imf::hasChromaticities(yc));
  EXPECT_EQ(Imf::owner(yc), "Example Studio");
  EXPECT_EQ(Imf::comments(yc), "plate B");
  EXPECT_FLOAT_EQ(Imf::chromaticities(yc).white.x, 0.32168f);

  // A cube-face environment map: the strip's windows and the envmap attribute.
  const std::string latlong = (dir.path / "latlong.exr").string();
  Imf::Header sphere = window(64, 32);
  Imf::addEnvmap(sphere, Imf::ENVMAP_LATLONG);
  testsupport::writeExrParts(latlong, {{sphere, {{"R", Imf::HALF}, {"G", Imf::HALF}, {"B", Imf::HALF}}}});
  for (const char* f : {"0001", "0002"})
    ASSERT_TRUE(commandSucceeds("exrenvmap -c -w 16 " + latlong + " " +
                                (dir.path / ("cube." + std::string(f) + ".exr")).string() + " >/dev/null"));
  ASSERT_EQ(render((dir.path / "cube.####.exr").string() + " " + (dir.path / "cube-out.####.exr").string() +
                   " --set speed=1 -F 1")
              .status,
            0);
  const Imf::Header cubeIn = exrHeaders((dir.path / "cube.0001.exr").string())[0];
  const Imf::Header cubeOut = exrHeaders((dir.path / "cube-out.0001.exr").string())[0];
  EXPECT_EQ(cubeOut.displayWindow(), cubeIn.displayWindow());
  EXPECT_EQ(cubeOut.dataWindow(), cubeIn.dataWindow());
  ASSERT_TRUE(Imf::hasEnvmap(cubeOut));
  EXPECT_EQ(Imf::envmap(cubeOut), Imf::ENVMAP_CUBE);

  // A preview is made again from the frame written: a frame between a black
  // and a white one shows grey, not the black of its first source.
  for (int f = 1; f <= 2; ++f) {
    const std::string plain = (dir.path / ("plain" + std::to_string(f) + ".exr")).string();
    ASSERT_TRUE(commandSucceeds("oiiotool --pattern constant:color=" + std::string(f == 1 ? "0,0,0" : "1,1,1") +
                                " 64x32 3 -d half -o " + plain + " && exrmakepreview " + plain + " " +
                                (dir.path / ("pv.000" + std::to_string(f) + ".exr")).string()));
  }
  const testsupport::Outcome previewed = render((dir.path / "pv.####.exr").string() + " " + (dir.path / "pv-out.####.exr").string() +
                                   " -F 1");
  ASSERT_EQ(previewed.status, 0) << previewed.out;
  const Imf::Header source = exrHeaders((dir.path / "pv.0001.exr").string())[0];
  const Imf::Header written = exrHeaders((dir.path / "pv-out.0001.exr").string())[0];
  ASSERT_TRUE(written.hasPreviewImage());
  EXPECT_EQ(written.previewImage().width(), source.previewImage().width());
  EXPECT_EQ(source.previewImage().pixel(4, 4).r, 0);
  // The frame written is flat: its preview shows its value in sRGB codes.
  const float value = exrValues((dir.path / "pv-out.0001.exr").string(), 0)["R"][0];
  ASSERT_GT(value, 0.01f);
  const float srgb = value <= 0.0031308f ? 12.92f * value : 1.055f * std::pow(value, 1.0f / 2.4f) - 0.055f;
  EXPECT_NEAR(int(written.previewImage().pixel(4, 4).r), 255.0f * srgb, 1.0f);
}

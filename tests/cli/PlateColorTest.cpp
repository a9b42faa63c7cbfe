// Colour through the render: each file type's default colour space, the
// colour space options, and $OCIO.
#include "support/Commands.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <OpenImageIO/imageio.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace {

using testsupport::render;

// Every pixel of a file as `type` (codes for integer types), interleaved.
template <typename T>
std::vector<T> pixelsOf(const std::string& path, OIIO::TypeDesc type)
{
  auto in = OIIO::ImageInput::open(path);
  EXPECT_TRUE(in) << path;
  if (!in)
    return {};
  const OIIO::ImageSpec& desc = in->spec();
  std::vector<T> px(size_t(desc.width) * desc.height * desc.nchannels);
  EXPECT_TRUE(in->read_image(0, 0, 0, desc.nchannels, type, px.data())) << path;
  return px;
}

// Two frames of a ramp over every code of `bits`-bit channels, written by oiiotool.
void writeRamp(const std::string& pattern, const std::string& depth, const std::string& extra = "")
{
  for (int f = 1; f <= 2; ++f) {
    char name[512];
    std::snprintf(name, sizeof name, pattern.c_str(), f);
    ASSERT_TRUE(testsupport::commandSucceeds("oiiotool --pattern fill:left=0,0.3,1:right=1,0.7,0 256x4 3 -d " + depth +
                                             " " + extra + " -o " + name));
  }
}

// Scene linear of a Cineon code (black at 95, white at 685 of 1023).
double cineonToLinear(double code)
{
  const double black = std::pow(10.0, (95.0 - 685.0) / 300.0);
  return (std::pow(10.0, (code - 685.0) / 300.0) - black) / (1.0 - black);
}

} // namespace

TEST(PlateColor, ExactFramesOfIntegerAndLogFilesComeBackInTheirOwnCodes)
{
  testsupport::TempDir dir("tweenova-color-exact");
  const std::string png = (dir.path / "in.%04d.png").string(), dpx = (dir.path / "log.%04d.dpx").string();
  writeRamp(png, "uint8");
  writeRamp(dpx, "uint10", "--attrib dpx:Transfer \"Printing density\"");
  ASSERT_EQ(render((dir.path / "in.####.png").string() + " " + (dir.path / "out.####.png").string() +
                   " --set speed=1")
              .status,
            0);
  EXPECT_EQ(pixelsOf<uint8_t>((dir.path / "out.0001.png").string(), OIIO::TypeDesc::UINT8),
            pixelsOf<uint8_t>((dir.path / "in.0001.png").string(), OIIO::TypeDesc::UINT8));
  // A log DPX back to a DPX: 10-bit log again, every code kept.
  ASSERT_EQ(render((dir.path / "log.####.dpx").string() + " " + (dir.path / "back.####.dpx").string() +
                   " --set speed=1")
              .status,
            0);
  const std::string back = (dir.path / "back.0002.dpx").string();
  EXPECT_EQ(pixelsOf<uint16_t>(back, OIIO::TypeDesc::UINT16),
            pixelsOf<uint16_t>((dir.path / "log.0002.dpx").string(), OIIO::TypeDesc::UINT16));
  const OIIO::ImageSpec desc = testsupport::fileDescription(back);
  EXPECT_EQ(desc.get_int_attribute("oiio:BitsPerSample"), 10);
  EXPECT_EQ(desc.get_string_attribute("dpx:Transfer"), "Printing density");

  // The log DPX in an EXR: scene linear by the Cineon curve (conversions by OpenColorIO).
  ASSERT_EQ(render((dir.path / "log.####.dpx").string() + " " + (dir.path / "lin.####.exr").string() +
                   " --set speed=1 --float")
              .status,
            0);
  const std::vector<uint16_t> codes = pixelsOf<uint16_t>((dir.path / "log.0001.dpx").string(), OIIO::TypeDesc::UINT16);
  const std::vector<float> linear = pixelsOf<float>((dir.path / "lin.0001.exr").string(), OIIO::TypeDesc::FLOAT);
  ASSERT_EQ(codes.size(), linear.size());
  for (size_t i = 0; i < codes.size(); i += 37) {
    const double code = std::round(codes[i] * 1023.0 / 65535.0);
    EXPECT_NEAR(linear[i], cineonToLinear(code), 2e-4 * std::max(1.0, std::abs(cineonToLinear(code)))) << i;
  }
}

TEST(PlateColor, TheColourSpaceOptionsChooseTheConversions)
{
  testsupport::TempDir dir("tweenova-color-options");
  writeRamp((dir.path / "in.%04d.png").string(), "uint8");
  const std::string in = (dir.path / "in.####.png").string();
  // Taken as linear, the codes' fractions arrive in the EXR unchanged.
  ASSERT_EQ(render(in + " " + (dir.path / "raw.####.exr").string() + " --set speed=1 --float --input-colorspace linear")
              .status,
            0);
  const std::vector<uint8_t> codes = pixelsOf<uint8_t>((dir.path / "in.0001.png").string(), OIIO::TypeDesc::UINT8);
  const std::vector<float> raw = pixelsOf<float>((dir.path / "raw.0001.exr").string(), OIIO::TypeDesc::FLOAT);
  ASSERT_EQ(codes.size(), raw.size());
  for (size_t i = 0; i < codes.size(); ++i)
    ASSERT_FLOAT_EQ(raw[i], codes[i] / 255.0f) << i;
  // Written as Cineon into a PNG: black at 95 of 1023, white (sRGB 255) at 685.
  ASSERT_EQ(render(in + " " + (dir.path / "log.####.png").string() + " --set speed=1 --output-colorspace Cineon").status,
            0);
  const std::vector<uint8_t> log = pixelsOf<uint8_t>((dir.path / "log.0001.png").string(), OIIO::TypeDesc::UINT8);
  ASSERT_EQ(log.size(), codes.size());
  EXPECT_EQ(codes[0], 0);
  EXPECT_EQ(log[0], 24);  // 95 / 1023 * 255
  EXPECT_EQ(codes[255 * 3], 255);
  EXPECT_EQ(log[255 * 3], 171);  // 685 / 1023 * 255

  testsupport::Outcome bad = render(in + " " + (dir.path / "x.####.exr").string() + " --output-colorspace ACEScg");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.out.find("--output-colorspace ACEScg : no colour space 'ACEScg' in the colour configuration"),
            std::string::npos)
    << bad.out;
  EXPECT_NE(bad.out.find("(it has linear, sRGB, Rec709, Cineon, raw)"), std::string::npos) << bad.out;
  bad = render(in + " " + (dir.path / "x.####.exr").string() + " --input-colorspace nope");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.out.find("no colour space 'nope'"), std::string::npos) << bad.out;
}

TEST(PlateColor, TheConfigurationInOcioIsTheOneUsed)
{
  testsupport::TempDir dir("tweenova-color-ocio");
  writeRamp((dir.path / "in.%04d.png").string(), "uint8");
  // A studio's configuration: 8-bit files are a pure 2.0 gamma here.
  const std::string config = (dir.path / "studio.ocio").string();
  std::ofstream(config) << "ocio_profile_version: 2\n"
                           "roles: {default: lin, scene_linear: lin, matte_paint: gamma2, texture_paint: gamma2}\n"
                           "file_rules:\n  - !<Rule> {name: Default, colorspace: default}\n"
                           "displays: {sRGB: [!<View> {name: Raw, colorspace: lin}]}\n"
                           "colorspaces:\n"
                           "  - !<ColorSpace> {name: lin}\n"
                           "  - !<ColorSpace> {name: gamma2, to_scene_reference: !<ExponentTransform> "
                           "{value: [2, 2, 2, 1]}}\n";
  setenv("OCIO", config.c_str(), 1);
  const testsupport::Outcome r = render((dir.path / "in.####.png").string() + " " +
                                        (dir.path / "out.####.exr").string() + " --set speed=1 --float");
  setenv("OCIO", (dir.path / "missing.ocio").string().c_str(), 1);
  const testsupport::Outcome missing = render((dir.path / "in.####.png").string() + " " +
                                              (dir.path / "x.####.exr").string());
  unsetenv("OCIO");
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<uint8_t> codes = pixelsOf<uint8_t>((dir.path / "in.0001.png").string(), OIIO::TypeDesc::UINT8);
  const std::vector<float> out = pixelsOf<float>((dir.path / "out.0001.exr").string(), OIIO::TypeDesc::FLOAT);
  ASSERT_EQ(codes.size(), out.size());
  for (size_t i = 0; i < codes.size(); ++i)
    ASSERT_NEAR(out[i], std::pow(codes[i] / 255.0, 2.0), 1e-6) << i;
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.out.find("cannot read the colour configuration $OCIO=" + (dir.path / "missing.ocio").string()),
            std::string::npos)
    << missing.out;
}

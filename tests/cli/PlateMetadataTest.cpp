// What an EXR plate's header carries through a render: attributes, timecode,
// compression and channel types.
#include "support/Commands.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <map>

namespace {

using testsupport::render;

// Half RGB and a float Z, DWAA at level 45, and the attributes a plate brings along.
void writePlate(const std::string& path, unsigned timecode)
{
  OIIO::ImageSpec desc(16, 8, 4, OIIO::TypeDesc::HALF);
  desc.channelnames = {"R", "G", "B", "Z"};
  desc.channelformats = {OIIO::TypeDesc::HALF, OIIO::TypeDesc::HALF, OIIO::TypeDesc::HALF, OIIO::TypeDesc::FLOAT};
  desc.attribute("compression", "dwaa:45");
  const int fps[2] = {24000, 1001};
  desc.attribute("FramesPerSecond", OIIO::TypeRational, fps);
  const unsigned tc[2] = {timecode, 0x12345678u};
  desc.attribute("smpte:TimeCode", OIIO::TypeTimeCode, tc);
  desc.attribute("PixelAspectRatio", 2.0f);
  const float chromaticities[8] = {0.713f, 0.293f, 0.165f, 0.830f, 0.128f, 0.044f, 0.32168f, 0.33767f};
  desc.attribute("chromaticities", OIIO::TypeDesc(OIIO::TypeDesc::FLOAT, 8), chromaticities);
  desc.attribute("Copyright", "Example Studio");
  desc.attribute("ImageDescription", "plate A, take 3");
  desc.attribute("studio:shot", "sh010");
  desc.attribute("studio:lens", 35);
  std::vector<float> px(16 * 8 * 4);
  for (size_t i = 0; i < px.size(); ++i)
    px[i] = float(i % 37) * 0.03f;
  ASSERT_TRUE(testsupport::writeImage(path, desc, px));
}

// Every attribute but the software ones and OpenImageIO's own, as text.
std::map<std::string, std::string> attributes(const OIIO::ImageSpec& desc)
{
  std::map<std::string, std::string> out;
  for (const OIIO::ParamValue& p : desc.extra_attribs) {
    const std::string name = p.name().string();
    if (name != "Software" && name.rfind("oiio:", 0) != 0)
      out[name] = desc.metadata_val(p);
  }
  return out;
}

// An attribute as text ("" when absent).
std::string textOf(const OIIO::ImageSpec& desc, const std::string& name)
{
  const OIIO::ParamValue* p = desc.find_attribute(name);
  return p ? desc.metadata_val(*p) : std::string();
}

unsigned timecodeOf(const OIIO::ImageSpec& desc)
{
  const OIIO::ParamValue* p = desc.find_attribute("smpte:TimeCode", OIIO::TypeTimeCode);
  return p ? static_cast<const unsigned*>(p->data())[0] : 0u;
}

} // namespace

TEST(PlateMetadata, AnExactFrameCarriesEveryAttributeCompressionAndChannelType)
{
  testsupport::TempDir dir("tweenova-metadata-exact");
  const unsigned oneHour = 0x01000000u;  // 01:00:00:00
  writePlate((dir.path / "in.0001.exr").string(), oneHour);
  writePlate((dir.path / "in.0002.exr").string(), oneHour + 1);
  const std::string in = (dir.path / "in.####.exr").string();
  ASSERT_EQ(render(in + " " + (dir.path / "out.####.exr").string() + " --set speed=1 -F 1").status, 0);
  const OIIO::ImageSpec a = testsupport::fileDescription((dir.path / "in.0001.exr").string());
  const OIIO::ImageSpec b = testsupport::fileDescription((dir.path / "out.0001.exr").string());
  EXPECT_EQ(attributes(b), attributes(a));
  EXPECT_EQ(b.get_string_attribute("compression"), "dwaa");
  EXPECT_EQ(textOf(b, "openexr:dwaCompressionLevel"), "45");
  EXPECT_EQ(textOf(b, "Software").rfind("\"Tweenova tweenova-render ", 0), 0u) << textOf(b, "Software");
  ASSERT_EQ(b.nchannels, 4);
  EXPECT_EQ(b.channel_name(3), "Z");
  EXPECT_EQ(b.channelformat(0), OIIO::TypeDesc::HALF);
  EXPECT_EQ(b.channelformat(3), OIIO::TypeDesc::FLOAT);

  // Overrides: every channel half, another compression.
  ASSERT_EQ(render(in + " " + (dir.path / "half.####.exr").string() + " --set speed=1 -F 1 --half --compression piz")
              .status,
            0);
  const OIIO::ImageSpec c = testsupport::fileDescription((dir.path / "half.0001.exr").string());
  EXPECT_EQ(c.channelformat(3), OIIO::TypeDesc::HALF);
  EXPECT_EQ(c.get_string_attribute("compression"), "piz");
  EXPECT_EQ(render(in + " " + (dir.path / "x.####.exr").string() + " --compression zstd").status, 2);
  EXPECT_EQ(render(in + " " + (dir.path / "x.####.exr").string() + " --half --float").status, 2);
}

TEST(PlateMetadata, AnInBetweenFrameTakesItsFirstSourcesHeaderWithTheTimecodeMovedOn)
{
  testsupport::TempDir dir("tweenova-metadata-between");
  writePlate((dir.path / "in.0001.exr").string(), 0x01000023u);  // 01:00:00:23
  writePlate((dir.path / "in.0002.exr").string(), 0x01000100u);
  // At speed 0.5 output frame 2 lies between source frames 1 and 2: its header is frame 1's, one frame on.
  ASSERT_EQ(render((dir.path / "in.####.exr").string() + " " + (dir.path / "out.####.exr").string() + " -F 2").status,
            0);
  const OIIO::ImageSpec out = testsupport::fileDescription((dir.path / "out.0002.exr").string());
  EXPECT_EQ(timecodeOf(out), 0x01000100u);  // 01:00:01:00 at 23.976
  const OIIO::ParamValue* tc = out.find_attribute("smpte:TimeCode", OIIO::TypeTimeCode);
  ASSERT_TRUE(tc);
  EXPECT_EQ(static_cast<const unsigned*>(tc->data())[1], 0x12345678u);  // the user bits
  EXPECT_EQ(out.get_string_attribute("studio:shot"), "sh010");
}

TEST(PlateMetadata, MovieFramesCarryTheFrameRateAndTheTimecodeMovedOn)
{
  testsupport::TempDir dir("tweenova-metadata-movie");
  const std::string movie = (dir.path / "plate.mov").string();
  ASSERT_TRUE(testsupport::commandSucceeds("ffmpeg -loglevel error -f lavfi -i testsrc2=s=64x32:r=24000/1001 "
                                           "-frames:v 6 -c:v prores_ks -timecode 01:00:10:05 " + movie));
  ASSERT_EQ(render(movie + " " + (dir.path / "out.####.exr").string() + " -F 1,4").status, 0);
  const OIIO::ImageSpec first = testsupport::fileDescription((dir.path / "out.0001.exr").string());
  const OIIO::ImageSpec fourth = testsupport::fileDescription((dir.path / "out.0004.exr").string());
  EXPECT_EQ(textOf(first, "FramesPerSecond"), "24000/1001");
  EXPECT_EQ(timecodeOf(first), 0x01001005u);
  EXPECT_EQ(timecodeOf(fourth), 0x01001008u);
  // Nothing else of the container comes along.
  EXPECT_EQ(first.find_attribute("major_brand"), nullptr);
}

// Movies as ffmpeg makes them: frames reached by seeking equal frames decoded
// in order, rotation metadata turns the frames, the start timecode is found
// in every container, 10-bit sources keep their levels, and a machine without ffmpeg and a damaged movie are told apart.
#include "DDImage/Iop.h"
#include "HostLayer/MovieDecoder.h"
#include "HostLayer/MovieProbe.h"
#include "HostLayer/Read.h"
#include "HostLayer/Render.h"
#include "support/Commands.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <set>
#include <vector>

using namespace DD::Image;
using testsupport::TempDir;

namespace {

void ffmpeg(const std::string& args)
{
  ASSERT_TRUE(testsupport::commandSucceeds("ffmpeg -loglevel error -y " + args));
}

double mean(const HostLayer::ImageData& img)
{
  return std::accumulate(img.pixels.begin(), img.pixels.end(), 0.0) / double(img.pixels.size());
}

// Red at column x of row y counted from the top (the host keeps rows bottom-up).
float red(const HostLayer::ImageData& img, int x, int y)
{
  return img.pixels[size_t(img.header.height - 1 - y) * img.header.width + x];
}

// 30 frames of a horizontal ramp, each brighter than the one before, as ffmpeg input options.
const std::string kBrighteningRamp =
  "-f lavfi -i \"color=c=black:s=64x32:r=24,format=yuv420p,geq=lum='16+N*5+X':cb=128:cr=128\" -frames:v 30 ";

} // namespace

TEST(Movies, SeekingGivesTheFramesDecodingInOrderGivesAndRotationTurnsThem)
{
  TempDir dir("tweenova-movies");
  // The ramp as lossless H.264 with B-frames and a key frame every 10 frames, then
  // rotated by a quarter turn in its metadata.
  const std::string plain = (dir.path / "plain.mp4").string(), turned = (dir.path / "turned.mp4").string();
  ffmpeg(kBrighteningRamp + "-c:v libx264 -qp 0 -g 10 -bf 2 " + plain);
  ffmpeg("-i " + plain + " -c copy -metadata:s:v:0 rotate=90 " + turned);

  HostLayer::MovieDecoder inOrder(turned);
  EXPECT_TRUE(inOrder.info().seekable);
  EXPECT_EQ(inOrder.info().rotation, 90);
  EXPECT_EQ(inOrder.header().width, 32);
  EXPECT_EQ(inOrder.header().height, 64);
  std::vector<HostLayer::ImageData> frames;
  for (int i = 0; i < 30; ++i) {
    frames.push_back(inOrder.frame(i));
    ASSERT_EQ(frames.back().pixels.size(), size_t(32 * 64 * 3));
    if (i > 0) {
      EXPECT_GT(mean(frames[i]), mean(frames[i - 1])) << "frame " << i;
    }
  }
  // Every frame alone (a seek from the key frame before it), then backwards.
  for (int i : {29, 17, 10, 9, 1, 0, 25}) {
    HostLayer::MovieDecoder alone(turned);
    EXPECT_EQ(alone.frame(i).pixels, frames[i].pixels) << "frame " << i;
  }
  HostLayer::MovieDecoder backwards(turned);
  for (int i = 29; i >= 20; --i)
    EXPECT_EQ(backwards.frame(i).pixels, frames[i].pixels) << "frame " << i;

  // The stored frame turned a quarter, one way or the other: whole, not scrambled.
  HostLayer::MovieDecoder upright(plain);
  const HostLayer::ImageData a = upright.frame(12), b = inOrder.frame(12);
  bool clockwise = true, counterClockwise = true;
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 64; ++x) {
      const float v = red(a, x, y);
      clockwise = clockwise && red(b, 31 - y, x) == v;
      counterClockwise = counterClockwise && red(b, y, 63 - x) == v;
    }
  EXPECT_TRUE(clockwise || counterClockwise);
  EXPECT_NE(red(a, 0, 0), red(a, 63, 0));
}

TEST(Movies, FramesWhoseTimesAreOffTheirGridAreReachedByDecoding)
{
  // MPEG-4 with packed B-frames in AVI, as older cameras and encoders write
  // it: the first frame's time is one frame late and later ones two, so a
  // seek by time would deliver a frame two before the one asked for.
  TempDir dir("tweenova-movies-avi");
  const std::string avi = (dir.path / "packed.avi").string();
  ffmpeg(kBrighteningRamp + "-c:v mpeg4 -q:v 1 -g 10 -bf 2 " + avi);
  HostLayer::MovieDecoder inOrder(avi);
  EXPECT_FALSE(inOrder.info().seekable);
  std::vector<HostLayer::ImageData> frames;
  for (int i = 0; i < 30; ++i)
    frames.push_back(inOrder.frame(i));
  for (int i : {29, 17, 10, 1}) {
    HostLayer::MovieDecoder alone(avi);
    EXPECT_EQ(alone.frame(i).pixels, frames[i].pixels) << "frame " << i;
    EXPECT_GT(mean(frames[i]), mean(frames[i - 1])) << "frame " << i;
  }
}

TEST(Movies, TheStartTimecodeIsFoundWhereEachContainerKeepsIt)
{
  // QuickTime keeps it on the video stream ("timecode"), Matroska on the
  // file ("TIMECODE").
  TempDir dir("tweenova-movies-timecode");
  for (const char* name : {"tc.mov", "tc.mkv"}) {
    const std::string movie = (dir.path / name).string();
    ffmpeg(kBrighteningRamp + "-timecode 01:00:10:05 -c:v libx264 " + movie);
    const HostLayer::MovieInfo info = HostLayer::probeMovie(movie);
    EXPECT_EQ(info.timecode, "01:00:10:05") << name;
    EXPECT_EQ(info.fpsNumerator, 24) << name;
    EXPECT_EQ(info.fpsDenominator, 1) << name;
  }
}

TEST(Movies, TenBitSourcesKeepTheirLevels)
{
  TempDir dir("tweenova-movies-10bit");
  // A gentle 10-bit ramp: 16 code values over 256 pixels, as ProRes 422 HQ.
  const std::string ramp = (dir.path / "ramp.mov").string();
  ffmpeg("-f lavfi -i \"color=c=gray:s=256x8:r=24,format=yuv422p10le,geq=lum='500+X/16':cb=512:cr=512\" "
         "-frames:v 2 -c:v prores_ks -profile:v 3 " + ramp);
  HostLayer::MovieDecoder movie(ramp);
  const HostLayer::ImageData img = movie.frame(0);
  std::set<float> levels(img.pixels.begin(), img.pixels.begin() + 256);  // one row of red
  // At 8 bits the 16 code values collapse to about 5; decoded at 16 bits they stay apart.
  EXPECT_GE(levels.size(), 14u);
}

TEST(Movies, AMachineWithoutFfmpegAndADamagedMovieAreToldApart)
{
  TempDir dir("tweenova-movies-noffmpeg");
  const std::string movie = (dir.path / "m.mp4").string();
  ffmpeg("-f lavfi -i color=c=red:s=32x32:r=24 -frames:v 3 -c:v libx264 " + movie);
  const std::string path = std::getenv("PATH");
  setenv("PATH", "/nonexistent", 1);
  try {
    HostLayer::MovieDecoder decoder(movie);
    ADD_FAILURE() << "no error without ffprobe";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("cannot read movie " + movie + ": ffprobe is not installed"),
              std::string::npos)
      << e.what();
  }
  setenv("PATH", path.c_str(), 1);

  // A file that is not a movie: ffprobe's own reason reaches the message.
  const std::string damaged = (dir.path / "damaged.mov").string();
  FILE* f = std::fopen(damaged.c_str(), "wb");
  ASSERT_TRUE(f);
  std::fputs("not a movie at all", f);
  std::fclose(f);
  try {
    HostLayer::MovieDecoder decoder(damaged);
    ADD_FAILURE() << "no error for a damaged movie";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("cannot read movie " + damaged + ": ffprobe failed (exit status 1): "),
              std::string::npos)
      << e.what();
    EXPECT_NE(std::string(e.what()).find("Invalid data found"), std::string::npos) << e.what();
  }
}

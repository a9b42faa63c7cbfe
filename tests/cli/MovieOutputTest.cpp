// Movies written by tweenova-render, looked at as other programs see them:
// ffprobe's view of the stream, and the pixels ffmpeg decodes.
#include "support/Commands.h"
#include "support/TempDir.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using testsupport::Outcome;
using testsupport::render;
using testsupport::runCommand;

void run(const std::string& cmd) { ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd; }

// What ffprobe says of a movie's video stream, with its frames counted.
std::map<std::string, std::string> probe(const fs::path& movie)
{
  const Outcome r = runCommand("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                               "stream=codec_name,profile,codec_tag_string,pix_fmt,width,height,r_frame_rate,"
                               "nb_read_frames,color_range,color_space,color_transfer,color_primaries:stream_tags="
                               "timecode -of default=nw=1 '" + movie.string() + "'");
  std::map<std::string, std::string> fields;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);)
    if (const size_t eq = line.find('='); eq != std::string::npos)
      fields[line.substr(0, eq)] = line.substr(eq + 1);
  return fields;
}

using Frame = std::vector<float>;

// Every frame of a movie as ffmpeg decodes it: 16-bit samples as 0-1,
// `channels` (3: RGB, 4: RGBA) per pixel, top row first.
std::vector<Frame> decode(const fs::path& movie, int w, int h, int channels)
{
  const fs::path raw = movie.string() + ".raw";
  run("ffmpeg -v error -y -i '" + movie.string() + "' -sws_flags accurate_rnd+full_chroma_int -f rawvideo "
      "-pix_fmt " + (channels == 4 ? "rgba64le" : "rgb48le") + " '" + raw.string() + "'");
  std::ifstream in(raw, std::ios::binary);
  std::vector<Frame> frames;
  std::vector<uint16_t> samples(size_t(w) * h * channels);
  while (in.read(reinterpret_cast<char*>(samples.data()), std::streamsize(samples.size() * 2))) {
    Frame f(samples.size());
    for (size_t i = 0; i < f.size(); ++i)
      f[i] = float(samples[i]) / 65535.0f;
    frames.push_back(std::move(f));
  }
  fs::remove(raw);
  return frames;
}

// An image file's pixels as 0-1, top row first.
Frame pixelsOf(const fs::path& path)
{
  auto in = OIIO::ImageInput::open(path.string());
  EXPECT_TRUE(in) << path;
  if (!in)
    return {};
  Frame px(size_t(in->spec().image_pixels()) * in->spec().nchannels);
  EXPECT_TRUE(in->read_image(0, 0, 0, in->spec().nchannels, OIIO::TypeDesc::FLOAT, px.data()));
  return px;
}

std::vector<double> differences(const Frame& a, const Frame& b)
{
  std::vector<double> out(a.size() == b.size() ? a.size() : 0);
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = std::fabs(double(a[i]) - double(b[i]));
  return out;
}

double meanDifference(const Frame& a, const Frame& b)
{
  const std::vector<double> d = differences(a, b);
  return d.empty() ? 1.0 : std::accumulate(d.begin(), d.end(), 0.0) / double(d.size());
}

double medianDifference(const Frame& a, const Frame& b)
{
  std::vector<double> d = differences(a, b);
  if (d.empty())
    return 1.0;
  std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
  return d[d.size() / 2];
}

// How many output frames the node maps for `args` (tweenova-render --list).
std::string outputFrameCount(const std::string& args)
{
  const Outcome listed = render(args + " --list");
  EXPECT_EQ(listed.status, 0) << listed.out;
  const long lines = std::count(listed.out.begin(), listed.out.end(), '\n');
  return std::to_string(lines - 1);
}

std::vector<std::string> filesIn(const fs::path& dir)
{
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A checkerboard moving right by 4 pixels a frame, with alpha 0.75, as
// oiiotool writes it: in.0001.png to in.00NN.png.
void writeMovingChecker(const fs::path& dir, int frames, const std::string& size)
{
  for (int f = 1; f <= frames; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "in.%04d.png", f);
    run("oiiotool --pattern checker:width=16:height=16:xoffset=" + std::to_string(4 * f) + " " + size +
        " 3 --ch R,G,B,A=0.75 -d uint8 -o " + (dir / name).string());
  }
}

} // namespace

TEST(MovieOutput, ARetimedMovieKeepsItsRateAndTimecodeWithEveryFrameInItsPlace)
{
  testsupport::TempDir dir("tweenova-movie-order");
  const fs::path source = dir.path / "plate.mov";
  run("ffmpeg -loglevel error -f lavfi -i testsrc2=s=128x72:r=24000/1001 -frames:v 8 -c:v prores_ks "
      "-timecode 01:00:10:05 " + source.string());
  // The same retime as a 16-bit sequence in the movie's colour space: what each movie frame should show.
  fs::create_directories(dir.path / "ref");
  ASSERT_EQ(render(source.string() + " " + (dir.path / "ref" / "ref.####.tif").string() +
                   " --output-colorspace Rec709").status,
            0);
  const std::vector<std::string> reference = filesIn(dir.path / "ref");
  ASSERT_EQ(std::to_string(reference.size()), outputFrameCount(source.string()));

  // Three frames side by side finish out of order; the movie takes them in order.
  fs::create_directories(dir.path / "out");
  const fs::path movie = dir.path / "out" / "slow.mov";
  const Outcome r = render(source.string() + " " + movie.string() + " --threads 3");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(filesIn(dir.path / "out"), std::vector<std::string>{"slow.mov"});
  std::map<std::string, std::string> info = probe(movie);
  EXPECT_EQ(info["codec_name"], "prores");
  EXPECT_EQ(info["profile"], "HQ");
  EXPECT_EQ(info["pix_fmt"], "yuv422p10le");
  EXPECT_EQ(info["width"] + "x" + info["height"], "128x72");
  EXPECT_EQ(info["r_frame_rate"], "24000/1001");  // a slower retime plays slower
  EXPECT_EQ(info["nb_read_frames"], std::to_string(reference.size()));
  EXPECT_EQ(info["TAG:timecode"], "01:00:10:05");
  EXPECT_EQ(info["color_range"], "tv");
  EXPECT_EQ(info["color_space"], "bt709");
  EXPECT_EQ(info["color_transfer"], "bt709");
  EXPECT_EQ(info["color_primaries"], "bt709");

  const std::vector<Frame> frames = decode(movie, 128, 72, 3);
  ASSERT_EQ(frames.size(), reference.size());
  for (size_t k = 0; k < frames.size(); ++k) {
    const Frame expected = pixelsOf(dir.path / "ref" / reference[k]);
    const double own = meanDifference(frames[k], expected);
    // ProRes 422 HQ: 10 bits, and half the colour resolution across, which
    // the sharp coloured edges of this small test picture feel (ffmpeg's own
    // encode of the expected frame is as far from it).
    EXPECT_LT(medianDifference(frames[k], expected), 0.004) << "frame " << k + 1;
    EXPECT_LT(own, 0.02) << "frame " << k + 1;
    for (size_t other : {k - 1, k + 1}) {
      if (other < frames.size()) {
        EXPECT_LT(own, meanDifference(frames[k], pixelsOf(dir.path / "ref" / reference[other])))
          << "movie frame " << k + 1 << " looks more like output frame " << other + 1;
      }
    }
  }
}

TEST(MovieOutput, EachContainerGetsItsCodecAndAlphaIsKeptWhereTheCodecCan)
{
  testsupport::TempDir dir("tweenova-movie-codecs");
  writeMovingChecker(dir.path, 4, "256x144");
  const std::string in = (dir.path / "in.####.png").string();
  struct Case {
    std::string file, args, codec, profile, pixels, rate;
  };
  const std::vector<Case> cases = {
    {"a.mp4", "", "h264", "High", "yuv420p", "24/1"},
    {"b.mkv", "", "hevc", "Main 10", "yuv420p10le", "24/1"},
    // ffmpeg decodes ProRes 4444 into 12 bits.
    {"c.mov", "--codec prores4444 --fps 25", "prores", "4444", "yuva444p12le", "25/1"},
    {"d.mov", "--codec dnxhr_hqx --fps 23.976", "dnxhd", "DNXHR HQX", "yuv422p10le", "24000/1001"},
    {"e.mp4", "--codec h265 --fps 30000/1001", "hevc", "Main 10", "yuv420p10le", "30000/1001"},
  };
  for (const Case& c : cases) {
    const fs::path movie = dir.path / c.file;
    const Outcome r = render(in + " " + movie.string() + " " + c.args);
    ASSERT_EQ(r.status, 0) << c.file << "\n" << r.out;
    std::map<std::string, std::string> info = probe(movie);
    EXPECT_EQ(info["codec_name"], c.codec) << c.file;
    EXPECT_EQ(info["profile"], c.profile) << c.file;
    EXPECT_EQ(info["pix_fmt"], c.pixels) << c.file;
    EXPECT_EQ(info["r_frame_rate"], c.rate) << c.file;
    EXPECT_EQ(info["nb_read_frames"], outputFrameCount(in)) << c.file;
    EXPECT_EQ(info["color_transfer"], "bt709") << c.file;
  }
  // Quicktime players look for H.265 under the hvc1 tag.
  EXPECT_EQ(probe(dir.path / "e.mp4")["codec_tag_string"], "hvc1");

  // ProRes 4444 keeps the alpha of the source; ProRes 422 says it leaves it out.
  const std::vector<Frame> withAlpha = decode(dir.path / "c.mov", 256, 144, 4);
  ASSERT_FALSE(withAlpha.empty());
  double alpha = 0.0;
  for (size_t i = 3; i < withAlpha[0].size(); i += 4)
    alpha += withAlpha[0][i];
  EXPECT_NEAR(alpha / double(withAlpha[0].size() / 4), 0.75, 0.002);
  const Outcome noAlpha = render(in + " " + (dir.path / "f.mov").string());
  EXPECT_EQ(noAlpha.status, 0) << noAlpha.out;
  EXPECT_NE(noAlpha.out.find("not written: rgba.alpha (prores422hq holds no alpha; prores4444 does)"),
            std::string::npos)
    << noAlpha.out;
}

TEST(MovieOutput, TheRateAndTimecodeOfAnExrSequenceCarryOverAndAPlainSequenceSaysItHasNoRate)
{
  testsupport::TempDir dir("tweenova-movie-sequence");
  for (int f = 1; f <= 3; ++f)
    run("oiiotool --pattern checker:width=8:height=8:xoffset=" + std::to_string(2 * f) + " 64x32 3 -d half "
        "--attrib:type=rational FramesPerSecond 25/1 --attrib:type=timecode smpte:TimeCode 10:00:00:0" +
        std::to_string(f - 1) + " -o " + (dir.path / ("in.000" + std::to_string(f) + ".exr")).string());
  const fs::path movie = dir.path / "out.mov";
  Outcome r = render((dir.path / "in.####.exr").string() + " " + movie.string());
  ASSERT_EQ(r.status, 0) << r.out;
  std::map<std::string, std::string> info = probe(movie);
  EXPECT_EQ(info["r_frame_rate"], "25/1");
  EXPECT_EQ(info["TAG:timecode"], "10:00:00:00");

  // A sequence that carries no rate plays at 24, and the render says why.
  writeMovingChecker(dir.path, 2, "64x32");
  testsupport::Outcome plain = testsupport::runCommand(
    testsupport::renderCommandLine((dir.path / "in.####.png").string() + " " + (dir.path / "plain.mp4").string(),
                                   "blend") +
    " 2>&1");
  ASSERT_EQ(plain.status, 0) << plain.out;
  EXPECT_NE(plain.out.find("24 fps (the input carries no frame rate; --fps sets one)"), std::string::npos)
    << plain.out;
  EXPECT_NE(plain.out.find("wrote " + (dir.path / "plain.mp4").string()), std::string::npos) << plain.out;
  EXPECT_EQ(probe(dir.path / "plain.mp4")["TAG:timecode"], "");
}

TEST(MovieOutput, WhatAMovieCannotBeIsRefusedBeforeAnythingRenders)
{
  testsupport::TempDir dir("tweenova-movie-refusals");
  writeMovingChecker(dir.path, 2, "64x32");
  run("oiiotool --pattern constant:color=0.5,0.5,0.5 65x33 3 -d uint8 -o " + (dir.path / "odd.0001.png").string());
  const std::string in = (dir.path / "in.####.png").string();
  const std::string movie = (dir.path / "out" / "out.mov").string();
  fs::create_directories(dir.path / "out");
  const std::vector<std::pair<std::string, std::string>> refused = {
    {in + " " + movie + " -F 1-2", "-F : a movie is written whole"},
    {in + " " + movie + " --skip-existing", "--skip-existing : a movie is written whole"},
    {in + " " + movie + " --verify", "--verify : a movie is written whole"},
    {in + " " + movie + " --half", "--half : an EXR option"},
    {in + " " + movie + " --codec vp9", "--codec vp9 : not a codec tweenova-render writes (prores422hq, "},
    {in + " " + (dir.path / "out" / "out.mp4").string() + " --codec prores422hq",
     "--codec prores422hq : a .mp4 file does not hold it (it holds h264, h264_10bit, h265)"},
    {in + " " + movie + " --fps fast", "--fps fast : not a frame rate"},
    {in + " " + (dir.path / "out" / "out.####.png").string() + " --codec h264", "--codec h264 : only for movie"},
    {in + " " + (dir.path / "out" / "out.####.png").string() + " --fps 25", "--fps : only for movie outputs"},
    {in + " " + (dir.path / "out" / "out.####.mov").string(),
     "output " + (dir.path / "out" / "out.####.mov").string() + " : a movie is one file: its name takes no frame"},
    {(dir.path / "odd.####.png").string() + " " + (dir.path / "out" / "odd.mp4").string(),
     "output " + (dir.path / "out" / "odd.mp4").string() + " : cannot encode 65x33 frames as h264: ffmpeg failed " +
       "(exit status 1): libx264: width not divisible by 2"},
    {in + " " + movie + " --channels alpha",
     "output " + movie + " : a movie holds red, green and blue, and the render writes none of them"},
  };
  for (const auto& [args, message] : refused) {
    const Outcome r = render(args);
    EXPECT_EQ(r.status, 2) << args << "\n" << r.out;
    EXPECT_NE(r.out.find("tweenova-render: error: " + message), std::string::npos) << args << "\n" << r.out;
  }
  // Without ffmpeg no movie can be written, and the render says what is missing.
  const Outcome noFfmpeg = runCommand("PATH=/nonexistent TWEENOVA_TEST_ARCHIVE=" + testsupport::buildDir() +
                                      "/tests/networks/blend.pt " + testsupport::buildDir() + "/tweenova-render " +
                                      in + " " + movie + " -q --model-library " + testsupport::buildDir() +
                                      "/tests/networks/TestModelsFile.so 2>&1");
  EXPECT_EQ(noFfmpeg.status, 2) << noFfmpeg.out;
  EXPECT_NE(noFfmpeg.out.find("tweenova-render: error: output " + movie + " : cannot write movies: ffmpeg is not "
                              "installed or not on PATH"),
            std::string::npos)
    << noFfmpeg.out;
  EXPECT_TRUE(filesIn(dir.path / "out").empty());

  // A movie rendered onto its own source would replace it.
  const std::string source = (dir.path / "plate.mov").string();
  run("ffmpeg -loglevel error -f lavfi -i testsrc2=s=64x32 -frames:v 2 -c:v prores_ks " + source);
  const Outcome self = render(source + " " + dir.path.string() + "/../" + dir.path.filename().string() + "/plate.mov");
  EXPECT_EQ(self.status, 2) << self.out;
  EXPECT_NE(self.out.find("it is the input file"), std::string::npos) << self.out;
}

TEST(MovieOutput, AFrameThatFailsLeavesNoMovieAndKeepsAnEarlierOne)
{
  testsupport::TempDir dir("tweenova-movie-failed");
  writeMovingChecker(dir.path, 6, "64x32");
  const std::string in = (dir.path / "in.####.png").string();
  fs::create_directories(dir.path / "out");
  const fs::path movie = dir.path / "out" / "out.mov";
  ASSERT_EQ(render(in + " " + movie.string() + " --set speed=1").status, 0);
  std::ifstream before(movie, std::ios::binary);
  const std::string earlier((std::istreambuf_iterator<char>(before)), std::istreambuf_iterator<char>());

  std::ofstream(dir.path / "in.0004.png", std::ios::binary | std::ios::trunc) << "\x89PNG\r\n\x1a\n truncated";
  const fs::path summary = dir.path / "summary.json";
  const Outcome r = render(in + " " + movie.string() + " --threads 2 --summary-json " + summary.string());
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("tweenova-render: error: output " + movie.string() + " : frame "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("could not be rendered; no movie was written"), std::string::npos) << r.out;
  EXPECT_EQ(filesIn(dir.path / "out"), std::vector<std::string>{"out.mov"});
  std::ifstream after(movie, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>()), earlier);
  const nlohmann::json doc = nlohmann::json::parse(std::ifstream(summary));
  EXPECT_EQ(doc["movie"]["written"], false) << doc.dump(1);
  EXPECT_NE(doc["movie"]["error"].get<std::string>().find("could not be rendered"), std::string::npos);
  EXPECT_GE(doc["frames_failed"].get<int>(), 1);
}

TEST(MovieOutput, AFullDiskFailsTheMovieWithFfmpegsReasonAndLeavesNothing)
{
  testsupport::TempDir dir("tweenova-movie-full");
  run("ffmpeg -loglevel error -f lavfi -i nullsrc=s=320x240 -vf 'geq=random(1)*255:128:128' -frames:v 4 "
      "-c:v prores_ks " + (dir.path / "noise.mov").string());
  const fs::path tiny = dir.path / "tiny";
  fs::create_directories(tiny);
  if (mount("tmpfs", tiny.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "mounting a small tmpfs needs root";
  const Outcome r = render((dir.path / "noise.mov").string() + " " + (tiny / "out.mov").string());
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("tweenova-render: error: output " + (tiny / "out.mov").string() +
                       " : cannot write the movie: ffmpeg failed"),
            std::string::npos)
    << r.out;
  EXPECT_NE(r.out.find("No space left on device"), std::string::npos) << r.out;
  EXPECT_TRUE(filesIn(tiny).empty()) << filesIn(tiny).front();
  umount(tiny.c_str());
}

TEST(MovieOutput, AnInterruptedRenderLeavesNoMovieAndNoTemporaryFile)
{
  testsupport::TempDir dir("tweenova-movie-stop");
  writeMovingChecker(dir.path, 40, "64x32");
  fs::create_directories(dir.path / "out");
  const std::string cmd = "exec " + testsupport::renderCommandLine((dir.path / "in.####.png").string() + " " +
                                                                   (dir.path / "out" / "out.mov").string() +
                                                                   " -q --set speed=0.1",
                                                                 "blend");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Stopped once ffmpeg writes the movie's temporary file.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (filesIn(dir.path / "out").empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_FALSE(filesIn(dir.path / "out").empty()) << "the render never started its movie";
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_TRUE(filesIn(dir.path / "out").empty()) << filesIn(dir.path / "out").front();
}

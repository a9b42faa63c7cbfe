// What users see when things go wrong in a render from the command line, and
// what is left on disk: never a partial or corrupt frame, never a lost one.
#include "support/Commands.h"
#include "support/ImageFiles.h"
#include "support/Prerequisites.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;

namespace {

using testsupport::Outcome;
using testsupport::render;
using testsupport::writeImage;

// An 8-bit RGB image of w x h whose pixels step through seven shades up to `value`.
void writeShades(const std::string& path, int w, int h, float value)
{
  std::vector<float> px(size_t(w) * h * 3);
  for (size_t i = 0; i < px.size(); ++i)
    px[i] = value * float((i / 3) % 7 + 1) / 7.0f;
  ASSERT_TRUE(writeImage(path, OIIO::ImageSpec(w, h, 3, OIIO::TypeDesc::UINT8), px));
}

// Noise for an RGB image of w x h, which does not compress and decodes slowly.
std::vector<float> noisePixels(int w, int h, std::mt19937& noise)
{
  std::vector<float> px(size_t(w) * h * 3);
  for (float& v : px)
    v = float(noise() % 1000u) / 1000.0f;
  return px;
}

std::string frameName(const fs::path& dir, const std::string& stem, int f, const std::string& ext = ".png")
{
  char name[64];
  std::snprintf(name, sizeof name, "%s.%04d%s", stem.c_str(), f, ext.c_str());
  return (dir / name).string();
}

class Faults : public ::testing::Test {
protected:
  void SetUp() override
  {
    fs::create_directories(dir / "in");
    fs::create_directories(dir / "out");
  }

  void writeSequence(int first, int last, int w = 24, int h = 16)
  {
    for (int f = first; f <= last; ++f)
      writeShades(frameName(dir / "in", "in", f), w, h, 0.1f * float(f % 5 + 1));
  }
  std::string in() const { return (dir / "in" / "in.####.png").string(); }
  std::string out() const { return (dir / "out" / "out.####.png").string(); }
  bool written(int f) const { return fs::exists(frameName(dir / "out", "out", f)); }
  // No temporary file may be left behind in the output folder.
  void expectNoTemporaries() const
  {
    for (const auto& e : fs::directory_iterator(dir / "out"))
      EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
  }

  testsupport::TempDir folder{std::string("tweenova-faults-") +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name()};
  const fs::path dir = folder.path;
};

} // namespace

TEST_F(Faults, NetworkFailuresShowTheNodeMessageAndWriteNothingForThatFrame)
{
  writeSequence(1, 4);
  // Fails with an out-of-memory text at timestep 0.25 (odd output frames at speed 0.5), blends otherwise.
  Outcome oom = render(in() + " " + out() + " -F 1-4", "oomatquarter");
  EXPECT_EQ(oom.status, 1) << oom.out;
  EXPECT_FALSE(written(1));
  EXPECT_TRUE(written(2));
  EXPECT_FALSE(written(3));
  EXPECT_TRUE(written(4));
  EXPECT_NE(oom.out.find("tweenova-render: error: frame 1 : Out of GPU memory - lower the Tiling 'max size'"),
            std::string::npos)
    << oom.out;
  EXPECT_NE(oom.out.find("in renderStripe: "), std::string::npos) << oom.out;
  EXPECT_NE(oom.out.find("CUDA out of memory. Tried to allocate 2.00 GiB"), std::string::npos) << oom.out;

  Outcome nans = render(in() + " " + out() + " -F 5-5", "allnans");
  EXPECT_EQ(nans.status, 1);
  EXPECT_NE(nans.out.find("frame 5 : Too many nan values returned, frame corrupt"), std::string::npos) << nans.out;
  EXPECT_NE(nans.out.find("Tweenova1: Error in renderStripe: Too many nan values returned"), std::string::npos);
  EXPECT_FALSE(written(5));

  for (const char* network : {"throws", "notatensor", "toosmall", "noforward", "garbage"}) {
    Outcome r = render(in() + " " + out() + " -F 6-6", network);
    EXPECT_EQ(r.status, 1) << network << "\n" << r.out;
    EXPECT_NE(r.out.find("tweenova-render: error: frame 6 : "), std::string::npos) << network << "\n" << r.out;
    EXPECT_FALSE(written(6)) << network;
  }
  Outcome garbage = render(in() + " " + out() + " -F 6-6", "garbage");
  EXPECT_NE(garbage.out.find("frame 6 : Error loading the frame interpolation neural network model"),
            std::string::npos)
    << garbage.out;
  expectNoTemporaries();
}

TEST_F(Faults, AFailedFrameKeepsTheFileOfAnEarlierRun)
{
  writeSequence(1, 3);
  ASSERT_EQ(render(in() + " " + out() + " -F 1-1").status, 0);
  const auto before = fs::last_write_time(frameName(dir / "out", "out", 1));
  const auto size = fs::file_size(frameName(dir / "out", "out", 1));
  Outcome r = render(in() + " " + out() + " -F 1-1", "throws");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(fs::last_write_time(frameName(dir / "out", "out", 1)), before);
  EXPECT_EQ(fs::file_size(frameName(dir / "out", "out", 1)), size);
  expectNoTemporaries();
}

TEST_F(Faults, BadInputFilesAreNamedAndTheOtherFramesRender)
{
  writeSequence(1, 6);
  fs::remove(frameName(dir / "in", "in", 3));
  {
    std::ofstream corrupt(frameName(dir / "in", "in", 5), std::ios::binary | std::ios::trunc);
    corrupt << "\x89PNG\r\n\x1a\n truncated";
  }
  // Speed 1: every output frame is one source frame.
  Outcome r = render(in() + " " + out() + " --set speed=1");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("frame 3 : Read: missing frame 3: " + frameName(dir / "in", "in", 3)), std::string::npos)
    << r.out;
  EXPECT_NE(r.out.find("frame 5 : Read: cannot "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("in.0005.png"), std::string::npos);
  for (int f : {1, 2, 4, 6})
    EXPECT_TRUE(written(f)) << f;
  EXPECT_FALSE(written(3));
  EXPECT_FALSE(written(5));
  expectNoTemporaries();
}

TEST_F(Faults, APlateWithGapsAStrayFrameOrAnUnreadableFirstFrameRendersWhatItCan)
{
  // Frames 2-4 and a stray 40, frame 1 a damaged file: the range is 1-40.
  writeSequence(2, 4);
  writeSequence(40, 40);
  {
    std::ofstream damaged(frameName(dir / "in", "in", 1), std::ios::binary);
    damaged << "not an image";
  }
  Outcome listed = render(in() + " --list --set speed=1");
  EXPECT_EQ(listed.status, 0) << listed.out;
  EXPECT_NE(listed.out.find("\n40 40 40 40 0\n"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("\n1 1 1 1 0\n"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("warning: 36 of the 40 output frames need source frames that cannot be read: 1,5-39 "
                            "(first: Read: cannot open "),
            std::string::npos)
    << listed.out;

  Outcome rendered = render(in() + " " + out() + " --set speed=1 -F 1-6,40");
  EXPECT_EQ(rendered.status, 1) << rendered.out;
  for (int f : {2, 3, 4, 40})
    EXPECT_TRUE(written(f)) << f << rendered.out;
  for (int f : {1, 5, 6})
    EXPECT_FALSE(written(f)) << f;
  EXPECT_NE(rendered.out.find("frame 1 : Read: cannot open " + frameName(dir / "in", "in", 1)), std::string::npos)
    << rendered.out;
  EXPECT_NE(rendered.out.find("frame 5 : Read: missing frame 5: "), std::string::npos) << rendered.out;

  // No frame that reads at all: the plate is refused as a whole.
  fs::remove_all(dir / "in");
  fs::create_directories(dir / "in");
  for (int f : {1, 2}) {
    std::ofstream damaged(frameName(dir / "in", "in", f), std::ios::binary);
    damaged << "not an image";
  }
  Outcome none = render(in() + " " + out());
  EXPECT_EQ(none.status, 2) << none.out;
  EXPECT_NE(none.out.find("no output frame's source frames can be read: Read: cannot open "), std::string::npos)
    << none.out;
}

TEST_F(Faults, UnusualButValidInputsRender)
{
  // Frames of different sizes: each is a frame of its own, but no in-between
  // frame blends one with the black around the other.
  writeShades(frameName(dir / "in", "in", 1), 24, 16, 0.5f);
  writeShades(frameName(dir / "in", "in", 2), 32, 12, 0.5f);
  Outcome exact = render(in() + " " + out() + " --set speed=1");
  EXPECT_EQ(exact.status, 0) << exact.out;
  EXPECT_TRUE(written(1));
  EXPECT_TRUE(written(2));
  fs::remove(frameName(dir / "out", "out", 1));
  Outcome sizes = render(in() + " " + out() + " -F 1-1");
  EXPECT_EQ(sizes.status, 1) << sizes.out;
  EXPECT_NE(sizes.out.find("frame 1 : source frames 1 and 2 differ in format (24x16 and 32x12)"), std::string::npos)
    << sizes.out;
  EXPECT_FALSE(written(1));

  // A single-frame clip: every position holds that frame.
  fs::remove_all(dir / "in");
  fs::create_directories(dir / "in");
  writeSequence(7, 7);
  Outcome single = render(in() + " " + out() + " --list");
  EXPECT_EQ(single.status, 0) << single.out;
  Outcome singleRender = render(in() + " " + out());
  EXPECT_EQ(singleRender.status, 0) << singleRender.out;
  EXPECT_TRUE(written(7));

  // NaN and infinite pixels in a float file render; the NaN guard counts what the network returns.
  fs::remove_all(dir / "in");
  fs::create_directories(dir / "in");
  for (int f = 1; f <= 2; ++f) {
    std::vector<float> px(16 * 8 * 3, 0.25f);
    px[0] = std::nanf("");
    px[5] = INFINITY;
    px[10] = -INFINITY;
    ASSERT_TRUE(
      writeImage(frameName(dir / "in", "in", f, ".exr"), OIIO::ImageSpec(16, 8, 3, OIIO::TypeDesc::FLOAT), px));
  }
  Outcome nonFinite = render((dir / "in" / "in.####.exr").string() + " " + (dir / "out" / "nf.####.exr").string() +
                             " -F 1-1");
  EXPECT_EQ(nonFinite.status, 0) << nonFinite.out;
  EXPECT_TRUE(fs::exists(frameName(dir / "out", "nf", 1, ".exr")));
}

TEST_F(Faults, BadKnobValuesBehaveOrAreRefused)
{
  writeSequence(1, 4);
  const char* accepted[] = {"--set max_size=1",         "--set max_size=2",         "--set overlap=0",
                            "--set overlap=100000",     "--set padding=100000",     "--set steps=1",
                            "--set steps=6",            "--set nan_error_threshold=100",
                            "--set speed=0",            "--set speed=-1",           "--set speed=1000000",
                            "--set mode=Frame --set output_frame=1e12",
                            "--set mode=Frame --set output_frame=-1e12",
                            "--set max_size=10 --set overlap=4 --set padding=3"};
  for (const char* args : accepted) {
    Outcome r = render(in() + " " + out() + " -F 1-2 " + args);
    EXPECT_EQ(r.status, 0) << args << "\n" << r.out;
  }
  // Values the node would clamp or misread are refused before anything renders.
  const char* refused[] = {"--set max_size=0", "--set max_size=-5", "--set overlap=-5", "--set padding=-5",
                           "--set steps=0", "--set steps=99", "--set nan_error_threshold=1000",
                           "--set nan_error_threshold=-1"};
  for (const char* args : refused) {
    Outcome r = render(in() + " " + out() + " -F 1-2 " + args);
    EXPECT_EQ(r.status, 2) << args << "\n" << r.out;
    EXPECT_NE(r.out.find("expected a whole number"), std::string::npos) << args << "\n" << r.out;
  }
  // Channels the plate does not hold would fail every frame: refused once.
  Outcome none = render(in() + " " + out() + " -F 1-2 --channels depth");
  EXPECT_EQ(none.status, 2) << none.out;
  EXPECT_NE(none.out.find("--channels depth : selects none of the input's channels (rgb"), std::string::npos)
    << none.out;
  EXPECT_EQ(std::count(none.out.begin(), none.out.end(), '\n'), 1) << none.out;

  Outcome tiny = render(in() + " " + out() + " --set speed=1e-6");
  EXPECT_EQ(tiny.status, 2) << tiny.out;
  EXPECT_NE(tiny.out.find("frames is more than 1000000"), std::string::npos) << tiny.out;
  Outcome tinier = render(in() + " " + out() + " --set speed=1e-30");
  EXPECT_EQ(tinier.status, 2) << tinier.out;
  Outcome reversed = render(in() + " " + out() + " --set frame_range_start=4 --set frame_range_end=1");
  EXPECT_EQ(reversed.status, 2) << reversed.out;
  EXPECT_NE(reversed.out.find("output range is empty"), std::string::npos) << reversed.out;
}

TEST_F(Faults, AFullDiskFailsTheFrameAndKeepsTheFileOfAnEarlierRun)
{
  if (const auto why = testsupport::notRoot("mounting a small tmpfs"))
    GTEST_SKIP() << *why;
  const fs::path tiny = dir / "tiny";
  fs::create_directories(tiny);
  if (mount("tmpfs", tiny.c_str(), "tmpfs", 0, "size=16k") != 0)
    GTEST_SKIP() << "mounting a small tmpfs failed: " << std::strerror(errno);
  // Noise does not compress: no frame fits the small disk in any format.
  std::mt19937 noise(7);
  for (int f = 1; f <= 2; ++f)
    ASSERT_TRUE(writeImage(frameName(dir / "in", "in", f), OIIO::ImageSpec(512, 384, 3, OIIO::TypeDesc::UINT8),
                           noisePixels(512, 384, noise)));
  for (const std::string ext : {".png", ".jpg", ".exr"}) {
    // A good frame from an earlier run, small enough to fit.
    const std::string earlier = frameName(tiny, "out", 1, ext);
    writeShades(earlier, 4, 4, 0.5f);
    std::ifstream before(earlier, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(before)), std::istreambuf_iterator<char>());
    Outcome r = render(in() + " " + (tiny / ("out.####" + ext)).string() + " -F 1-2 --threads 1");
    EXPECT_EQ(r.status, 1) << ext << "\n" << r.out;
    EXPECT_NE(r.out.find("cannot write " + earlier), std::string::npos) << r.out;
    std::ifstream after(earlier, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>()), bytes) << ext;
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(tiny))
      if (e.path().string() != earlier)
        left.push_back(e.path().filename().string());
    EXPECT_TRUE(left.empty()) << "left on the full disk: " << (left.empty() ? "" : left.front());
    fs::remove(earlier);
  }
  umount(tiny.c_str());
}

TEST_F(Faults, AnOutputThatIsTheInputIsRefusedHoweverItIsSpelled)
{
  writeSequence(1, 3);
  std::ifstream original(frameName(dir / "in", "in", 2), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(original)), std::istreambuf_iterator<char>());
  const std::string roundabout = (dir / "in" / ".." / "in" / "in.%04d.png").string();
  fs::create_hard_link(frameName(dir / "in", "in", 2), frameName(dir / "out", "linked", 2));
  for (const std::string& output : {roundabout, (dir / "out" / "linked.####.png").string()}) {
    Outcome r = render(in() + " " + output + " --set speed=1");
    EXPECT_EQ(r.status, 2) << output << "\n" << r.out;
    EXPECT_NE(r.out.find("the render would overwrite its own source"), std::string::npos) << r.out;
  }
  std::ifstream after(frameName(dir / "in", "in", 2), std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>()), bytes);
}

TEST_F(Faults, SkippingExistingFramesCannotTurnTheInputIntoTheOutput)
{
  writeSequence(1, 3);
  const std::string plate = (dir / "in" / "in.####.png").string();
  // Every source frame "exists already": the refusal comes before the skipping.
  Outcome same = render(in() + " " + plate + " --set speed=0.5 --skip-existing");
  EXPECT_EQ(same.status, 2) << same.out;
  EXPECT_NE(same.out.find("names frames of the input sequence"), std::string::npos) << same.out;
  // Frames only past the plate's end would still grow it.
  Outcome past = render(in() + " " + (dir / "in" / "in.#####.png").string() + " -F 4-5 --set speed=0.5");
  EXPECT_EQ(past.status, 2) << past.out;
  for (int f = 4; f <= 5; ++f) {
    EXPECT_FALSE(fs::exists(frameName(dir / "in", "in", f))) << f;
    EXPECT_FALSE(fs::exists(dir / "in" / ("in.0000" + std::to_string(f) + ".png"))) << f;
  }
  size_t files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir / "in"))
    ++files;
  EXPECT_EQ(files, 3u);
  // A similar name in the same folder is another sequence.
  EXPECT_EQ(render(in() + " " + (dir / "in" / "retimed.####.png").string() + " -F 1-2").status, 0);
}

TEST_F(Faults, TheSummaryIsNeverWrittenOverASourceAFrameOrADevice)
{
  writeSequence(1, 3);
  std::ifstream original(frameName(dir / "in", "in", 2), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(original)), std::istreambuf_iterator<char>());
  const std::vector<std::pair<std::string, std::string>> cases{
    {frameName(dir / "in", "in", 2), "it is the input file"},
    {(dir / "out" / ".." / "out" / "out.0002.png").string(), "it is output frame 2"},
    {"/dev/null", "it is not a regular file"},
    {(dir / "out").string(), "it is not a regular file"},
  };
  for (const auto& [target, why] : cases) {
    Outcome r = render(in() + " " + out() + " -F 1-3 --summary-json " + target);
    EXPECT_EQ(r.status, 2) << target << "\n" << r.out;
    EXPECT_NE(r.out.find("--summary-json " + target + " : " + why), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(frameName(dir / "out", "out", 1))) << "rendered despite " << target;
  }
  std::ifstream after(frameName(dir / "in", "in", 2), std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>()), bytes);
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  // A summary beside the frames, new or from an earlier run, is written.
  const std::string beside = (dir / "out" / "summary.json").string();
  EXPECT_EQ(render(in() + " " + out() + " -F 1-3 --summary-json " + beside).status, 0);
  EXPECT_EQ(render(in() + " " + out() + " -F 1-3 --summary-json " + beside).status, 0);
  EXPECT_TRUE(fs::is_regular_file(beside));
}

TEST_F(Faults, PathsThatCannotBeFilesAreRefusedForWhatTheyAre)
{
  writeSequence(1, 4);
  // A FIFO in the plate (a stuck copy, a pipe left by a tool): read, it would block the render.
  fs::remove(frameName(dir / "in", "in", 3));
  ASSERT_EQ(mkfifo(frameName(dir / "in", "in", 3).c_str(), 0644), 0);
  Outcome fifo = render(in() + " " + out() + " --set speed=1 -F 1-4");
  EXPECT_EQ(fifo.status, 1) << fifo.out;
  EXPECT_NE(fifo.out.find("cannot read " + frameName(dir / "in", "in", 3) + ": not a regular file (a FIFO)"),
            std::string::npos) << fifo.out;
  EXPECT_EQ(fifo.out.find("missing frame 3"), std::string::npos) << fifo.out;
  EXPECT_TRUE(fs::exists(frameName(dir / "out", "out", 4)));
  // Names longer than the file system takes say so, before anything renders.
  const std::string longName(300, 'n');
  Outcome input = render((dir / longName / "in.####.png").string() + " " + out());
  EXPECT_EQ(input.status, 2) << input.out;
  EXPECT_NE(input.out.find("the path is longer than the system allows"), std::string::npos) << input.out;
  const std::string name(240, 'o');
  Outcome output = render(in() + " " + (dir / "out" / (name + ".####.png")).string() + " -F 1-2");
  EXPECT_EQ(output.status, 2) << output.out;
  EXPECT_NE(output.out.find("the name is longer than the system allows"), std::string::npos) << output.out;
  EXPECT_EQ(std::count(output.out.begin(), output.out.end(), '\n'), 1) << output.out;
}

TEST_F(Faults, QuietRendersPrintNothingAndSurviveAClosedStdout)
{
  writeSequence(1, 3);
  const std::string cmd = testsupport::renderCommandLine(in() + " " + out(), "blend");
  // Whatever is printed goes to stderr: standard output stays empty.
  const Outcome toStdout = testsupport::runCommand(cmd + " -q 2>/dev/null");
  EXPECT_EQ(toStdout.status, 0);
  EXPECT_EQ(toStdout.out, "");
  // -q: nothing at all.
  Outcome quiet = render(in() + " " + out());
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "");
  // Without -q, the node's lines and the progress go to stderr; a reader of
  // them that goes away does not end the render.
  fs::remove_all(dir / "out");
  fs::create_directories(dir / "out");
  EXPECT_EQ(testsupport::runCommand("bash -c '" + cmd + " 2>&1 | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}'").status,
            0);
  for (int f = 1; f <= 4; ++f)
    EXPECT_TRUE(written(f)) << f;
}


TEST_F(Faults, ADecodeThatRunsTooLongEndsTheRenderNamingTheFile)
{
  // Noise decodes slowly: a 1600x1200 frame takes far longer than the limit.
  std::mt19937 noise(3);
  const std::vector<float> px = noisePixels(1600, 1200, noise);
  for (int f = 1; f <= 2; ++f)
    ASSERT_TRUE(writeImage(frameName(dir / "in", "in", f), OIIO::ImageSpec(1600, 1200, 3, OIIO::TypeDesc::UINT8), px));
  Outcome r = render(in() + " " + out() + " --threads 1 --decode-timeout 0.001");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("decoding " + frameName(dir / "in", "in", 1) + " has taken"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the render ends here (0 frames written)"), std::string::npos) << r.out;
  expectNoTemporaries();
}

TEST_F(Faults, ChannelsTakeLayerNamesFromTheInput)
{
  // Two frames with a colour layer and a "diffuse" layer.
  for (int f = 1; f <= 2; ++f) {
    const std::string path = frameName(dir / "in", "in", f, ".exr");
    OIIO::ImageSpec desc(8, 6, 6, OIIO::TypeDesc::HALF);
    desc.channelnames = {"R", "G", "B", "diffuse.R", "diffuse.G", "diffuse.B"};
    ASSERT_TRUE(writeImage(path, desc, std::vector<float>(size_t(8) * 6 * 6, 0.25f * float(f))));
  }
  const std::string output = (dir / "out" / "out.####.exr").string();
  Outcome r = render((dir / "in" / "in.####.exr").string() + " " + output + " -F 1 --channels diffuse");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(testsupport::channelNames(frameName(dir / "out", "out", 1, ".exr")),
            (std::vector<std::string>{"diffuse.R", "diffuse.G", "diffuse.B"}));
  Outcome unknown = render((dir / "in" / "in.####.exr").string() + " " + output + " -F 1 --channels specular");
  EXPECT_EQ(unknown.status, 2) << unknown.out;
  EXPECT_NE(unknown.out.find("not a channel set"), std::string::npos) << unknown.out;
}

TEST_F(Faults, SkipExistingRendersOnlyMissingOrUnreadableFrames)
{
  writeSequence(1, 3);
  const Outcome first = render(in() + " " + out());
  ASSERT_EQ(first.status, 0) << first.out;
  for (int f = 1; f <= 4; ++f)
    ASSERT_TRUE(written(f)) << f;
  fs::remove(frameName(dir / "out", "out", 2));
  fs::resize_file(frameName(dir / "out", "out", 3), 40);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto before1 = fs::last_write_time(frameName(dir / "out", "out", 1));
  const auto before4 = fs::last_write_time(frameName(dir / "out", "out", 4));
  // --verify names the missing and the truncated frame, and renders nothing.
  Outcome check = render(in() + " " + out() + " --verify");
  EXPECT_EQ(check.status, 1) << check.out;
  EXPECT_NE(check.out.find("missing 2 " + frameName(dir / "out", "out", 2) + "\n"), std::string::npos);
  EXPECT_NE(check.out.find("missing 3 " + frameName(dir / "out", "out", 3) + "\n"), std::string::npos);
  EXPECT_NE(check.out.find("2 of 4 output frames missing or unreadable: 2-3"), std::string::npos) << check.out;
  EXPECT_FALSE(fs::exists(frameName(dir / "out", "out", 2)));
  Outcome r = render(in() + " " + out() + " --skip-existing");
  ASSERT_EQ(r.status, 0) << r.out;
  // The finished frames are untouched; the missing and the truncated one are whole again.
  EXPECT_EQ(fs::last_write_time(frameName(dir / "out", "out", 1)), before1);
  EXPECT_EQ(fs::last_write_time(frameName(dir / "out", "out", 4)), before4);
  for (int f : {2, 3})
    EXPECT_TRUE(testsupport::readsWhole(frameName(dir / "out", "out", f))) << f;
  check = render(in() + " " + out() + " --verify");
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_EQ(check.out.find("missing"), std::string::npos) << check.out;
}

TEST_F(Faults, TheSummaryAndProgressLinesAccountForEveryFrame)
{
  writeSequence(1, 4);
  ASSERT_EQ(render(in() + " " + out() + " -F 1-4").status, 0);
  fs::remove(frameName(dir / "out", "out", 1));
  fs::remove(frameName(dir / "out", "out", 2));
  fs::remove(frameName(dir / "out", "out", 3));
  const std::string summaryPath = (dir / "summary.json").string();
  // Fails at timestep 0.25 (odd frames at speed 0.5): 1 and 3 fail, 2 is written, 4 is skipped.
  Outcome r = render(in() + " " + out() + " -F 1-4 --skip-existing --progress-lines --summary-json " + summaryPath,
                     "oomatquarter");
  ASSERT_EQ(r.status, 1) << r.out;
  std::map<int, std::string> lines;
  std::istringstream text(r.out);
  for (std::string line; std::getline(text, line);) {
    int frame = 0, done = 0, total = 0;
    char status[16] = {};
    double percent = 0, elapsed = -1;
    if (std::sscanf(line.c_str(), "tweenova-progress frame=%d status=%15s done=%d total=%d percent=%lf elapsed=%lf",
                    &frame, status, &done, &total, &percent, &elapsed) == 6) {
      EXPECT_EQ(total, 3) << line;
      EXPECT_NEAR(percent, 100.0 * done / 3, 0.05) << line;
      EXPECT_GE(elapsed, 0.0) << line;
      lines[frame] = status;
    }
  }
  EXPECT_EQ(lines, (std::map<int, std::string>{{1, "failed"}, {2, "written"}, {3, "failed"}})) << r.out;

  std::ifstream file(summaryPath);
  const nlohmann::json summary = nlohmann::json::parse(file);
  EXPECT_EQ(summary["exit_status"], 1);
  EXPECT_EQ(summary["frames_requested"], 4);
  EXPECT_EQ(summary["frames_written"], 1);
  EXPECT_EQ(summary["frames_failed"], 2);
  EXPECT_EQ(summary["frames_skipped"], 1);
  EXPECT_GT(summary["peak_memory_mib"].get<double>(), 0.0);
  ASSERT_EQ(summary["frames"].size(), 4u);
  const std::vector<std::string> statuses{"failed", "written", "failed", "skipped"};
  for (int f = 1; f <= 4; ++f) {
    const nlohmann::json& entry = summary["frames"][f - 1];
    EXPECT_EQ(entry["frame"], f);
    EXPECT_EQ(entry["file"], frameName(dir / "out", "out", f));
    EXPECT_EQ(entry["status"], statuses[f - 1]) << entry;
    EXPECT_EQ(entry.contains("seconds"), f != 4) << entry;
  }
  EXPECT_NE(summary["frames"][0]["error"].get<std::string>().find("Out of GPU memory"), std::string::npos);

  // A summary that could not be written would pass for a complete run: the folder is checked first.
  Outcome nowhere = render(in() + " " + out() + " -F 2 --summary-json " + (dir / "none" / "s.json").string());
  EXPECT_EQ(nowhere.status, 2) << nowhere.out;
  EXPECT_NE(nowhere.out.find("--summary-json"), std::string::npos) << nowhere.out;
}

// Behaviours of the host layer that the node relies on.
#include "DDImage/ChannelSet.h"
#include "DDImage/Iop.h"
#include "DDImage/Knob.h"
#include "HostLayer/HostNode.h"
#include "HostLayer/ImageFile.h"
#include "HostLayer/Read.h"
#include "HostLayer/Render.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

using namespace DD::Image;
namespace fs = std::filesystem;

TEST(HostLayer, AnimatedKnobIsLinearBetweenKeysAndHeldOutside)
{
  Knob k(KnobKind::Float, "output_frame", "frame");
  k.set_value(3.0);
  EXPECT_FALSE(k.isAnimated());
  EXPECT_DOUBLE_EQ(k.get_value_at(100), 3.0);
  k.set_value_at(5.0, 10);
  k.set_value_at(20.0, 40);
  EXPECT_TRUE(k.isAnimated());
  EXPECT_DOUBLE_EQ(k.get_value_at(-5), 5.0);
  EXPECT_DOUBLE_EQ(k.get_value_at(10), 5.0);
  EXPECT_DOUBLE_EQ(k.get_value_at(25), 12.5);
  EXPECT_DOUBLE_EQ(k.get_value_at(40), 20.0);
  EXPECT_DOUBLE_EQ(k.get_value_at(1000), 20.0);
  std::set<int> frames;
  EXPECT_EQ(k.getKeyList(frames), 2);
  EXPECT_EQ(frames, (std::set<int>{10, 40}));
}

TEST(HostLayer, ChannelSetsIterateInChannelOrderAndPrintByLayer)
{
  ChannelSet s;
  s += Chan_Alpha;
  s += Chan_Red;
  Channel diffuse = getChannel("diffuse.red");
  s += diffuse;
  std::vector<Channel> order(s.begin(), s.end());
  EXPECT_EQ(order, (std::vector<Channel>{Chan_Red, Chan_Alpha, diffuse}));
  EXPECT_EQ(s.size(), 3u);

  auto text = [](const ChannelSet& c) {
    std::ostringstream o;
    o << c;
    return o.str();
  };
  EXPECT_EQ(text(Mask_RGB), "rgb");
  EXPECT_EQ(text(Mask_RGBA), "rgba");
  EXPECT_EQ(text(Mask_All), "all");
  EXPECT_EQ(text(Mask_None), "none");
  EXPECT_EQ(text(Mask_Alpha), "rgba.alpha");

  ChannelSet all = Mask_All;
  all &= Mask_RGB;
  EXPECT_EQ(all, Mask_RGB);
  ChannelSet parsed;
  ASSERT_TRUE(parseChannelSet("rgb,alpha", parsed));
  EXPECT_EQ(parsed, Mask_RGBA);
  EXPECT_FALSE(parseChannelSet("nosuchlayer", parsed));
  EXPECT_EQ(getChannel("bad name"), Chan_Black);
}

TEST(HostLayer, SequencePatterns)
{
  HostLayer::SequencePattern p;
  std::string why;
  ASSERT_TRUE(HostLayer::parseSequencePattern("/tmp/a/shot.####.exr", p, why));
  EXPECT_EQ(HostLayer::frameFileName(p, 7), "/tmp/a/shot.0007.exr");
  ASSERT_TRUE(HostLayer::parseSequencePattern("shot.%04d.png", p, why));
  EXPECT_EQ(HostLayer::frameFileName(p, 12345), "shot.12345.png");
  ASSERT_TRUE(HostLayer::parseSequencePattern("shot.%d.png", p, why));
  EXPECT_EQ(HostLayer::frameFileName(p, 3), "shot.3.png");
  EXPECT_FALSE(HostLayer::parseSequencePattern("shot.png", p, why));
  EXPECT_FALSE(HostLayer::parseSequencePattern("a.##.b.##.png", p, why));
  EXPECT_FALSE(HostLayer::parseSequencePattern("a.%s.png", p, why));
}

namespace {

void writePng(const std::string& path, int w, int h, unsigned char value)
{
  const std::vector<unsigned char> px(size_t(w) * h * 3, value);
  ASSERT_TRUE(testsupport::writeImage(path, OIIO::ImageSpec(w, h, 3, OIIO::TypeDesc::UINT8), px.data(),
                                      OIIO::TypeDesc::UINT8));
}

using testsupport::TempDir;

} // namespace

TEST(HostLayer, ReaderHoldsOutsideTheRangeAndNamesAMissingFrame)
{
  TempDir dir("tweenova-host");
  for (int f : {1, 2, 4})
    writePng((dir.path / ("in." + std::string(f < 10 ? "000" : "00") + std::to_string(f) + ".png")).string(), 8, 4,
             (unsigned char)(f * 50));
  auto reader = HostLayer::createReadNode((dir.path / "in.####.png").string());

  HostLayer::FrameInfoSummary info;
  std::string error;
  ASSERT_TRUE(HostLayer::validateNode(*reader, 1, info, error)) << error;
  EXPECT_EQ(info.first, 1);
  EXPECT_EQ(info.last, 4);
  EXPECT_EQ(info.box, Box(0, 0, 8, 4));

  // Frame 9 holds frame 4; 8-bit values are decoded from sRGB to linear.
  HostLayer::RenderResult held = HostLayer::renderFrame(*reader, 9, Mask_RGB);
  ASSERT_TRUE(held.ok) << held.error;
  EXPECT_NEAR(held.plane.at(3, 2, Chan_Green), HostLayer::srgbToLinear(200.0f / 255.0f), 1e-6);

  HostLayer::RenderResult missing = HostLayer::renderFrame(*reader, 3, Mask_RGB);
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find("in.0003.png"), std::string::npos) << missing.error;

  EXPECT_THROW(HostLayer::createReadNode((dir.path / "none.####.png").string()), std::runtime_error);
}

TEST(HostLayer, ReaderReadsTheNextFrameAheadAndReportsOnlyFramesInUse)
{
  TempDir dir("tweenova-host");
  auto name = [&](int f) { return (dir.path / ("in.000" + std::to_string(f) + ".png")).string(); };
  for (int f : {1, 2, 3})
    writePng(name(f), 8, 4, (unsigned char)(f * 60));
  auto reader = HostLayer::createReadNode((dir.path / "in.####.png").string());

  HostLayer::RenderResult first = HostLayer::renderFrame(*reader, 1, Mask_RGB);
  ASSERT_TRUE(first.ok) << first.error;
  reader->waitForReadAhead();
  // Frame 2 was read while frame 1 was in use: it renders from memory.
  fs::remove(name(2));
  {
    std::ofstream corrupt(name(3), std::ios::binary | std::ios::trunc);
    corrupt << "\x89PNG\r\n\x1a\n truncated";
  }
  HostLayer::RenderResult second = HostLayer::renderFrame(*reader, 2, Mask_RGB);
  ASSERT_TRUE(second.ok) << second.error;
  EXPECT_NEAR(second.plane.at(5, 1, Chan_Red), HostLayer::srgbToLinear(120.0f / 255.0f), 1e-6);

  // Reading frame 3 ahead failed quietly; using it reports it.
  reader->waitForReadAhead();
  EXPECT_FALSE(reader->hasError()) << reader->error();
  HostLayer::RenderResult third = HostLayer::renderFrame(*reader, 3, Mask_RGB);
  EXPECT_FALSE(third.ok);
  EXPECT_NE(third.error.find(name(3)), std::string::npos) << third.error;
}

namespace {

// An operator that counts its validations.
class CountingOp : public Iop {
public:
  explicit CountingOp(Node* n) : Iop(n) {}
  const char* Class() const override { return "Counting"; }
  const char* node_help() const override { return ""; }
  int minimum_inputs() const override { return 0; }
  int maximum_inputs() const override { return 0; }
  void knobs(Knob_Callback f) override { Int_knob(f, &value, "value"); }
  void _validate(bool) override
  {
    ++validations;
    info_.set(0, 0, 1, 1);
    if (value < 0)
      error("negative value %d", value);
  }
  void fetchPlane(ImagePlane&) override {}
  int value = 0;
  int validations = 0;
};

} // namespace

TEST(HostLayer, FramesAskedForWhileTheReadAheadIsBusyWaitTheirTurn)
{
  // Frames side by side ask for their next source frames while the thread
  // still reads an earlier one: those asked for wait (the latest four),
  // rather than being dropped and read by their users when they need them.
  HostLayer::HostNode node("Counter", [](Node* n) { return new CountingOp(n); });
  std::mutex m;
  std::condition_variable opened;
  bool open = false;
  std::vector<double> prepared;
  node.setReadAhead([](double f) { return f <= 8.0; }, [&](Op* op) {
    std::unique_lock<std::mutex> lock(m);
    prepared.push_back(op->outputContext().frame());
    opened.notify_all();
    opened.wait(lock, [&] { return open; });
  });
  node.release(node.acquire(OutputContext(1)));
  std::unique_lock<std::mutex> lock(m);
  opened.wait(lock, [&] { return !prepared.empty(); });  // busy with frame 1
  lock.unlock();
  for (int f = 2; f <= 5; ++f)
    node.release(node.acquire(OutputContext(f)));
  lock.lock();
  open = true;
  lock.unlock();
  opened.notify_all();
  node.waitForReadAhead();
  // 1 and 2 were asked for first; 2 went out of the queue as 6 came in.
  EXPECT_EQ(prepared, (std::vector<double>{1, 3, 4, 5, 6}));
}

// sRGB as the built-in colour configuration defines it (OpenColorIO's
// ExponentWithLinearTransform, gamma 2.4, offset 0.055): the curve's linear
// toe meets it where the slopes match, at 0.055 / 1.4, not at 0.04045.
double ocioSrgbToLinear(double v)
{
  const double gamma = 2.4, offset = 0.055, knee = offset / (gamma - 1);
  const double power = [&](double x) { return std::pow((x + offset) / (1 + offset), gamma); }(knee);
  return v >= knee ? std::pow((v + offset) / (1 + offset), gamma) : v * power / knee;
}

TEST(HostLayer, IntegerFilesDecodeEveryCodeToLinearBottomRowFirst)
{
  TempDir dir("tweenova-host");
  // Every code of each depth in red and alpha, two rows: the top row counts up, the bottom row down.
  auto check = [&](OIIO::TypeDesc type, unsigned maxCode, const std::string& name) {
    SCOPED_TRACE(name);
    const int w = int(maxCode) + 1;
    std::vector<uint16_t> px(size_t(w) * 2 * 4);
    for (int x = 0; x < w; ++x)
      for (int row = 0; row < 2; ++row) {
        const unsigned code = row == 0 ? unsigned(x) : maxCode - unsigned(x);
        uint16_t* p = px.data() + (size_t(row) * w + x) * 4;
        p[0] = p[3] = uint16_t(code);
        p[1] = p[2] = 0;
      }
    const std::string path = (dir.path / name).string();
    // Codes given as 16-bit fractions of maxCode land unchanged in either depth.
    std::vector<float> asFloat(px.size());
    for (size_t i = 0; i < px.size(); ++i)
      asFloat[i] = float(px[i]) / float(maxCode);
    ASSERT_TRUE(testsupport::writeImage(path, OIIO::ImageSpec(w, 2, 4, type), asFloat));

    const HostLayer::ImageData img = HostLayer::readImageFile(path, 0);
    ASSERT_EQ(img.header.channels.size(), 4u);
    EXPECT_EQ(img.header.colorSpace, "sRGB");
    const size_t area = size_t(w) * 2;
    for (int x = 0; x < w; ++x) {
      const float fraction = float(x) / float(maxCode);
      // Host row 1 is the file's top row. Colour through the colour
      // configuration's sRGB, alpha as the code's fraction.
      ASSERT_NEAR(img.pixels[size_t(w) + x], ocioSrgbToLinear(fraction), 1e-6f * fraction + 1e-9f) << x;
      ASSERT_FLOAT_EQ(img.pixels[3 * area + size_t(w) + x], fraction) << x;
      ASSERT_NEAR(img.pixels[size_t(w - 1 - x)], ocioSrgbToLinear(fraction), 1e-6f * fraction + 1e-9f) << x;
    }
  };
  check(OIIO::TypeDesc::UINT8, 255, "codes8.png");
  check(OIIO::TypeDesc::UINT16, 65535, "codes16.tif");
}

TEST(HostLayer, OperatorsValidateAgainOnlyWhenTheirHashChanges)
{
  HostLayer::HostNode node("Counter", [](Node* n) { return new CountingOp(n); });
  Op* op = node.acquire(OutputContext(1));
  auto* counting = static_cast<CountingOp*>(op);
  EXPECT_TRUE(op->tryValidate(true));
  EXPECT_TRUE(op->tryValidate(true));
  EXPECT_EQ(counting->validations, 1);
  node.refresh(op);
  op->validate(true);
  EXPECT_EQ(counting->validations, 1);  // same knob values, same hash

  node.knob("value")->set_value(-2);
  node.refresh(op);
  EXPECT_FALSE(op->tryValidate(true));  // reports the error as false
  EXPECT_EQ(counting->validations, 2);
  EXPECT_EQ(op->errorMessage(), "negative value -2");
  node.release(op);
}

TEST(HostLayer, MovieFramesAreTheSameInAnyReadingOrder)
{
  const std::string movie = "/usr/share/doc/opencv-doc/examples/data/Megamind.avi";
  if (!fs::exists(movie))
    GTEST_SKIP() << movie << " is installed by scripts/setup (opencv-doc)";
  auto forward = HostLayer::createReadNode(movie);
  auto backward = HostLayer::createReadNode(movie);
  HostLayer::FrameInfoSummary info;
  std::string error;
  ASSERT_TRUE(HostLayer::validateNode(*forward, 1, info, error)) << error;
  EXPECT_EQ(info.first, 1);
  EXPECT_EQ(info.last, 270);
  EXPECT_EQ(info.box, Box(0, 0, 720, 528));

  std::map<int, std::vector<float>> seen;
  for (int f : {58, 59, 60, 61})
    seen[f] = [&] {
      HostLayer::RenderResult r = HostLayer::renderFrame(*forward, f, Mask_RGB);
      EXPECT_TRUE(r.ok) << r.error;
      return std::vector<float>(r.plane.readable(), r.plane.readable() + r.plane.bufferSize());
    }();
  for (int f : {61, 59, 60, 58}) {
    HostLayer::RenderResult r = HostLayer::renderFrame(*backward, f, Mask_RGB);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(std::equal(seen[f].begin(), seen[f].end(), r.plane.readable())) << "frame " << f;
  }
  // Neighbouring frames of a moving shot differ.
  EXPECT_NE(seen[59], seen[60]);
  EXPECT_NE(seen[60], seen[61]);
}

TEST(HostLayer, TheReaderCacheIsBoundedByBytes)
{
  TempDir dir("tweenova-host");
  auto name = [&](int f) { return (dir.path / ("in.000" + std::to_string(f) + ".png")).string(); };
  for (int f = 1; f <= 4; ++f)
    writePng(name(f), 64, 64, (unsigned char)(f * 50));
  // 64 x 64 RGB float: 48 KiB a frame.
  for (size_t limit : {size_t(100) << 10, SIZE_MAX}) {
    auto reader = HostLayer::createReadNode((dir.path / "in.####.png").string());
    reader->setCacheLimit(limit);
    for (int f = 1; f <= 3; ++f) {
      ASSERT_TRUE(HostLayer::renderFrame(*reader, f, Mask_RGB).ok);
      reader->waitForReadAhead();
    }
    // Frame 1 is read again from its file only if the cache let it go.
    fs::rename(name(1), name(1) + ".away");
    const HostLayer::RenderResult again = HostLayer::renderFrame(*reader, 1, Mask_RGB);
    EXPECT_EQ(again.ok, limit == SIZE_MAX) << limit << ": " << again.error;
    fs::rename(name(1) + ".away", name(1));
  }
}

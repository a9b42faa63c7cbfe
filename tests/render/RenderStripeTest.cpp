#include "render/ErrorReporting.h"
#include "render/RenderStripe.h"

#include "DDImage/Application.h"
#include "HostLayer/Render.h"
#include "networks/TestNetworks.h"
#include "node/Tweenova.h"
#include "render/RenderTestSupport.h"
#include "support/ScopedCuda.h"

#include <gtest/gtest.h>
#include <torch/script.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

using namespace DD::Image;
using rendertest::sourceValue;

namespace {

std::string text(const ChannelSet& s)
{
  std::ostringstream o;
  o << s;
  return o.str();
}

// One Tweenova operator fed by a scripted source; output frame 5 maps to the
// source position `position` (Frame mode), so frame0 = floor, frame1 = ceil.
class RenderStripeTest : public ::testing::Test {
protected:
  void build(const ChannelSet& sourceChannels = Mask_RGBA, double position = 3.25)
  {
    if (op)
      node->release(op);
    op = nullptr;
    node.reset();
    source.reset();
    script->channels = sourceChannels;
    source = testsupport::createMemorySource(script);
    node = HostLayer::HostNode::create("Tweenova", "Tweenova1");
    node->setInput(0, source.get());
    node->setValue(node->knob("mode"), 1);
    node->setValue(node->knob("output_frame"), position);
    node->setProgressHandlers([this](const std::string& m) { messages.push_back(m); },
                              [this](double f) { fractions.push_back(f); }, [this] { ++dismissals; });
    Op* o = node->acquire(OutputContext(5));
    o->validate(true);
    node->refresh(o);
    o->validate(true);
    op = static_cast<Tweenova*>(o);
    op->use_gpu = false;
    op->colorspace_convert = false;
    op->debug = false;
    op->model = rendertest::markedBlendNetwork();
    op->modelLoaded = true;
  }
  void TearDown() override
  {
    if (op)
      node->release(op);
    Application::SetGUIActive(false);
  }

  // A plane as the host hands it over: packed, over the output box, one component per channel.
  ImagePlane render(const ChannelSet& channels)
  {
    ImagePlane plane(op->info().box(), true, channels, int(channels.size()));
    op->renderStripe(plane);
    return plane;
  }

  // Every pixel of channel z equals value(x, y).
  static void expectChannel(const ImagePlane& plane, Channel z, const std::function<float(int, int)>& value,
                            const std::string& what)
  {
    ASSERT_TRUE(plane.memory().isAllocated()) << what;
    const Box& b = plane.bounds();
    int wrong = 0;
    for (int y = b.y(); y < b.t(); ++y)
      for (int x = b.x(); x < b.r(); ++x)
        if (std::fabs(plane.at(x, y, z) - value(x, y)) > 1e-4f && wrong++ < 3)
          ADD_FAILURE() << what << ": channel " << getName(z) << " at (" << x << ", " << y << ") is "
                        << plane.at(x, y, z) << ", expected " << value(x, y);
  }
  // Channel z holds source frame f.
  static void expectFrame(const ImagePlane& plane, Channel z, double f, const std::string& what)
  {
    expectChannel(plane, z, [&](int x, int y) { return sourceValue(z, x, y, f); }, what + " (source frame)");
  }
  // Channel z holds plane `mark` of the marked blend at position p.
  static void expectNetwork(const ImagePlane& plane, Channel z, int mark, double p, const std::string& what)
  {
    expectChannel(plane, z, [&](int x, int y) { return sourceValue(z, x, y, p) + float(mark); },
                  what + " (network plane " + std::to_string(mark) + ")");
  }

  std::shared_ptr<testsupport::SourceScript> script = rendertest::sourceScript();
  std::unique_ptr<HostLayer::HostNode> source;
  std::unique_ptr<HostLayer::HostNode> node;
  Tweenova* op = nullptr;
  std::vector<std::string> messages;
  std::vector<double> fractions;
  int dismissals = 0;
};

} // namespace

TEST_F(RenderStripeTest, AbortAndFailedInputValidationReturnWithoutWriting)
{
  build();
  node->abort();
  ImagePlane aborted = render(Mask_RGBA);
  EXPECT_FALSE(aborted.memory().isAllocated());
  EXPECT_FALSE(op->hasError());
  EXPECT_EQ(script->fetches, 0);
  node->resetAbort();

  script->failValidation = true;
  op->input(0)->invalidate();
  ImagePlane invalid = render(Mask_RGBA);
  EXPECT_FALSE(invalid.memory().isAllocated());
  EXPECT_FALSE(op->hasError()) << op->errorMessage();
  EXPECT_EQ(script->fetches, 0);
  EXPECT_TRUE(messages.empty());
}

TEST_F(RenderStripeTest, CopyThroughWhenNoRequestedChannelIsInterpolated)
{
  build();
  op->input_channels = Mask_RGB;
  op->debug = true;
  testing::internal::CaptureStdout();
  ImagePlane plane = render(Mask_Alpha);
  const std::string out = testing::internal::GetCapturedStdout();
  expectFrame(plane, Chan_Alpha, 3, "copy-through");
  EXPECT_NE(out.find("Tweenova1: renderStripe for layer '" + text(Mask_Alpha) +
                     "' (copy straight through, not in channels).\n"),
            std::string::npos)
    << out;
  EXPECT_EQ(out.find("Running inference"), std::string::npos);
  EXPECT_TRUE(messages.empty());
  EXPECT_FALSE(op->hasError());
}

TEST_F(RenderStripeTest, ThresholdFastPathsCopyTheNearerSourceFrame)
{
  struct Case {
    double position;
    float threshold;
    double frame;  // source frame copied
  };
  const Case cases[] = {{3.25, 0.5f, 3}, {3.75, 0.5f, 4}, {3.25, 0.3f, 3}, {3.75, 0.3f, 4}, {3.0, 0.0f, 3}};
  for (const Case& c : cases) {
    build(Mask_RGBA, c.position);
    op->threshold = c.threshold;
    op->debug = true;
    op->modelLoaded = false;
    op->model = torch::jit::Module("Unused");  // a fast path never reaches the network
    testing::internal::CaptureStdout();
    ImagePlane plane = render(Mask_RGBA);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string what = "position " + std::to_string(c.position) + " threshold " + std::to_string(c.threshold);
    for (Channel z : Mask_RGBA)
      expectFrame(plane, z, c.frame, what);
    std::ostringstream line;
    line << "Tweenova1: renderStripe for layer 'rgba' (threshold fast-path: source frame " << int(c.frame)
         << " returned unprocessed, timestep " << double(float(c.position - std::floor(c.position))) << ").\n";
    EXPECT_NE(out.find(line.str()), std::string::npos) << what << "\n" << out;
    EXPECT_EQ(out.find("Total time renderStripe"), std::string::npos) << what;
    EXPECT_TRUE(messages.empty()) << what;
    EXPECT_FALSE(op->hasError()) << what << ": " << op->errorMessage();
  }
}

TEST_F(RenderStripeTest, NegativeThresholdInterpolatesEvenAWholeFrame)
{
  build(Mask_RGBA, 3.0);
  op->threshold = -0.1f;
  ImagePlane plane = render(Mask_RGB);
  EXPECT_FALSE(op->hasError()) << op->errorMessage();
  expectNetwork(plane, Chan_Red, 0, 3.0, "whole frame");
  expectNetwork(plane, Chan_Green, 1, 3.0, "whole frame");
  expectNetwork(plane, Chan_Blue, 2, 3.0, "whole frame");
}

TEST_F(RenderStripeTest, ChannelGroupsGoToTheNetworkThreeAtATime)
{
  const Channel extra = getChannel("extra.u");
  ChannelSet six = Mask_RGBA;
  six += Chan_Z;
  six += extra;

  build(six);
  {
    SCOPED_TRACE("one channel");
    ImagePlane plane = render(Mask_Alpha);
    expectNetwork(plane, Chan_Alpha, 0, 3.25, "alpha alone");
  }
  {
    SCOPED_TRACE("two channels");
    op->input_channels = ChannelSet{Chan_Green, Chan_Alpha};
    ImagePlane plane = render(Mask_RGBA);
    expectFrame(plane, Chan_Red, 3, "red outside the channels");
    expectNetwork(plane, Chan_Green, 0, 3.25, "green as c0");
    expectFrame(plane, Chan_Blue, 3, "blue outside the channels");
    expectNetwork(plane, Chan_Alpha, 1, 3.25, "alpha as c1");
  }
  {
    SCOPED_TRACE("three channels");
    op->input_channels = Mask_RGB;
    ImagePlane plane = render(Mask_RGBA);
    expectNetwork(plane, Chan_Red, 0, 3.25, "red");
    expectNetwork(plane, Chan_Green, 1, 3.25, "green");
    expectNetwork(plane, Chan_Blue, 2, 3.25, "blue");
    expectFrame(plane, Chan_Alpha, 3, "alpha outside the channels");
  }
  {
    SCOPED_TRACE("four channels");
    op->input_channels = Mask_All;
    fractions.clear();
    messages.clear();
    ImagePlane plane = render(Mask_RGBA);
    expectNetwork(plane, Chan_Red, 0, 3.25, "red");
    expectNetwork(plane, Chan_Green, 1, 3.25, "green");
    expectNetwork(plane, Chan_Blue, 2, 3.25, "blue");
    expectNetwork(plane, Chan_Alpha, 1, 3.25, "fourth channel from plane 1 of its own call");
    // Two passes expected and made: progress 0, 1/2, 2/2, then complete.
    EXPECT_EQ(fractions, (std::vector<double>{0.0, 0.5, 1.0, 1.0}));
    EXPECT_EQ(messages, (std::vector<std::string>{"Starting processing...", "Interpolating (pass 1/2)",
                                                  "Interpolating (pass 2/2)", "Processing complete"}));
  }
  {
    SCOPED_TRACE("six channels");
    ImagePlane plane = render(six);
    expectNetwork(plane, Chan_Red, 0, 3.25, "red");
    expectNetwork(plane, Chan_Green, 1, 3.25, "green");
    expectNetwork(plane, Chan_Blue, 2, 3.25, "blue");
    expectNetwork(plane, Chan_Alpha, 1, 3.25, "alpha");
    expectFrame(plane, Chan_Z, 3, "fifth channel");
    expectFrame(plane, extra, 3, "sixth channel");
  }
  EXPECT_FALSE(op->hasError()) << op->errorMessage();
}

TEST_F(RenderStripeTest, FailuresInTheNetworkAreShownOnTheNodeAndNothingIsWritten)
{
  build();
  op->model = torch::jit::load(testnetworks::networkPath("throws"));
  testing::internal::CaptureStderr();
  ImagePlane thrown = render(Mask_RGB);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(thrown.memory().isAllocated());
  ASSERT_TRUE(op->hasError());
  // The last line of the failure text; a final line feed stays with it.
  const std::string& shown = op->errorMessage();
  EXPECT_NE(shown.find("test network failed on purpose"), std::string::npos) << shown;
  EXPECT_EQ(shown.find_first_of("\r\n"), shown.size() - 1) << shown;
  EXPECT_EQ(err.rfind("Tweenova1: ", 0), 0u) << err;
  EXPECT_NE(err.find("rror in renderStripe: "), std::string::npos) << err;
  EXPECT_NE(err.find("test network failed on purpose"), std::string::npos) << err;
  EXPECT_EQ(std::find(messages.begin(), messages.end(), "Processing complete"), messages.end());
  EXPECT_EQ(dismissals, 0);

  op->clearError();
  torch::jit::Module nans = torch::jit::load(testnetworks::networkPath("nans"));
  nans.setattr("nan_count", int64_t(1) << 40);
  op->model = nans;
  op->debug = true;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ImagePlane corrupt = render(Mask_RGB);
  err = testing::internal::GetCapturedStderr();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(corrupt.memory().isAllocated());
  EXPECT_EQ(op->errorMessage(), "Too many nan values returned, frame corrupt");
  EXPECT_EQ(err.rfind("Tweenova1: Error in renderStripe: Too many nan values returned, frame corrupt", 0), 0u) << err;
  EXPECT_EQ(out.find("Total time renderStripe"), std::string::npos) << out;
}

TEST_F(RenderStripeTest, FailuresOutsideTheNetworkNeverReachTheHost)
{
  build();
  // A source failing while frames are fetched for the network.
  script->fetch = testsupport::SourceScript::Fetch::ThrowStd;
  testing::internal::CaptureStderr();
  ImagePlane fetched = render(Mask_RGB);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(fetched.memory().isAllocated());
  EXPECT_EQ(op->errorMessage(), "source unreadable");
  EXPECT_EQ(err.rfind("Tweenova1: Error in renderStripe: scripted source read failed\nsource unreadable", 0), 0u)
    << err;

  // The same failure in the copy-through path.
  op->clearError();
  op->input_channels = Mask_Alpha;
  testing::internal::CaptureStderr();
  ImagePlane copied = render(Mask_RGB);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(copied.memory().isAllocated());
  EXPECT_EQ(op->errorMessage(), "source unreadable");

  // Something that is no standard exception, in the copy-through and in the interpolation path.
  for (const ChannelSet& channels : {Mask_Alpha, Mask_All}) {
    op->clearError();
    op->input_channels = channels;
    script->fetch = testsupport::SourceScript::Fetch::ThrowInt;
    testing::internal::CaptureStderr();
    ImagePlane plane;
    EXPECT_NO_THROW(plane = render(Mask_RGB));
    err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(plane.memory().isAllocated());
    EXPECT_EQ(op->errorMessage(), "Unexpected failure in renderStripe (see the terminal for details).");
    EXPECT_EQ(err.rfind("Tweenova1: Unexpected failure in renderStripe", 0), 0u) << err;
  }
}

TEST_F(RenderStripeTest, PlaneOtherThanDeclaredIsRefusedWithoutWriting)
{
  build();
  const Box box = op->info().box();
  struct Case {
    const char* what;
    ImagePlane plane;
  };
  Case cases[] = {
    {"unpacked", ImagePlane(box, false, Mask_RGBA, 4)},
    {"smaller box", ImagePlane(Box(box.x(), box.y(), box.r() - 1, box.t()), true, Mask_RGBA, 4)},
    {"shifted box", ImagePlane(Box(box.x() + 1, box.y(), box.r() + 1, box.t()), true, Mask_RGBA, 4)},
    {"fewer components", ImagePlane(box, true, Mask_RGBA, 3)},
    {"more components", ImagePlane(box, true, Mask_RGB, 4)},
  };
  for (Case& c : cases) {
    for (const ChannelSet& channels : {Mask_RGBA, Mask_Z}) {  // interpolation, then copy-through
      op->clearError();
      op->input_channels = channels;
      testing::internal::CaptureStderr();
      op->renderStripe(c.plane);
      const std::string err = testing::internal::GetCapturedStderr();
      EXPECT_FALSE(c.plane.memory().isAllocated()) << c.what;
      EXPECT_EQ(op->errorMessage().rfind("Output plane does not match the node's output: expected a packed plane", 0),
                0u)
        << c.what << ": " << op->errorMessage();
      EXPECT_NE(err.find("Tweenova1: Error in renderStripe: Output plane does not match"), std::string::npos)
        << c.what << ": " << err;
    }
  }

  // A plane whose buffer is already allocated too small is left as it is.
  ImagePlane small(box, true, Mask_RGBA, 4);
  small.memory().allocate(5);
  std::fill(static_cast<float*>(small.memory()), static_cast<float*>(small.memory()) + 5, -1.0f);
  op->clearError();
  testing::internal::CaptureStderr();
  op->renderStripe(small);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(op->hasError());
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(small.readable()[i], -1.0f);
}

TEST_F(RenderStripeTest, TerminalLinesOfAnInterpolatedRender)
{
  build();
  testing::internal::CaptureStdout();
  render(Mask_RGBA);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Tweenova1: Running inference for layer 'rgba' on CPU\n");

  Application::SetGUIActive(true);
  op->debug = true;
  testing::internal::CaptureStdout();
  render(Mask_RGBA);
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("Running inference"), std::string::npos) << out;
  EXPECT_NE(out.find("\n===================================\nTotal time renderStripe: "), std::string::npos) << out;
  EXPECT_FALSE(op->hasError()) << op->errorMessage();
}

TEST_F(RenderStripeTest, RenderChoosesTheDeviceAgainAndNamesIt)
{
  // Two devices; the batch render's variable picks the second, whatever the panel shows.
  tweenova::SimulatedCudaEnvironment env = tweenova::SimulatedCudaEnvironment::standard();
  env.devices[1].name = "Simulated GPU 1";
  env.devices[1].major = 7;
  testsupport::ScopedCuda cuda(env);
  testsupport::ScopedEnv index("QUOLMARINE_NUKE_GPU_INDEX", "7");
  build();
  op->use_gpu = true;
  op->debug = true;
  op->gpuNameText = "the panel's device";
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  render(Mask_RGBA);
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[renderStripe] Render --gpu override: 7\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Tweenova1: Set the use_cuda_device to: 1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Tweenova1: Running inference for layer 'rgba' on GPU (Simulated GPU 1)\n"), std::string::npos)
    << out;
  // Whether or not the simulated device exists, the render ends on the node, never in the host.
  if (op->hasError()) {
    EXPECT_EQ(err.rfind("Tweenova1: ", 0), 0u) << err;
  }
}

TEST(ProgressTotal, CountsOnePassPerTileAndChannelGroup)
{
  EXPECT_EQ(progressTotalFor(3840, 2160, 1024, 64, 3), 12);
  EXPECT_EQ(progressTotalFor(3840, 2160, 1024, 64, 4), 24);
  EXPECT_EQ(progressTotalFor(3840, 2160, 1024, 64, 6), 24);
  EXPECT_EQ(progressTotalFor(3840, 2160, 1024, 0, 1), 1);
  EXPECT_EQ(progressTotalFor(3840, 2160, 1024, 0, 4), 2);
  EXPECT_EQ(progressTotalFor(1024, 1024, 1024, 512, 3), 1);
  // The overlap is held to max_size / 2.5: 409 for 1024.
  EXPECT_EQ(progressTotalFor(3840, 1000, 1024, 900, 3), 7);
  // Overlaps below 1 and negative ones count as none.
  EXPECT_EQ(progressTotalFor(3840, 2160, 2, 64, 3), 1);
  EXPECT_EQ(progressTotalFor(3840, 2160, 1024, -5, 3), 1);
}

TEST(RenderThroughTheHost, ServedNetworkRendersAPackedFrame)
{
  testnetworks::ServeNetwork serve("blend");
  auto script = rendertest::sourceScript();
  auto source = testsupport::createMemorySource(script);
  auto node = HostLayer::HostNode::create("Tweenova", "Tweenova1");
  node->setInput(0, source.get());
  node->setValue(node->knob("mode"), 1);
  node->setValue(node->knob("output_frame"), 2.5);
  node->setValue(node->knob("use_gpu"), 0);
  node->setValue(node->knob("colorspace_convert"), 0);
  testing::internal::CaptureStdout();
  HostLayer::RenderResult result = HostLayer::renderFrame(*node, 1, Mask_RGBA);
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_TRUE(result.plane.packed());
  for (Channel z : Mask_RGBA)
    EXPECT_NEAR(result.plane.at(3, 2, z), sourceValue(z, 3, 2, 2.5), 1e-4) << getName(z);
}

TEST_F(RenderStripeTest, EveryTileOfAFrameGoesThroughOneProcedure)
{
  // The network wants frames up to 576 pixels on their short side at twice
  // their size; a tile's own size must not decide it.
  struct Case {
    Box box;
    int maxSize;
    float expected;
  };
  const Case cases[] = {
    {Box(0, 0, 500, 300), 128, 2.0f},   // a small frame in small tiles
    {Box(0, 0, 700, 620), 256, 1.0f},   // a large frame whose last tiles are small
    {Box(0, 0, 700, 620), 4500, 1.0f},  // the same frame in one piece
  };
  for (const Case& c : cases) {
    script->box = c.box;
    build(Mask_RGB);
    op->model = torch::jit::load(testnetworks::networkPath("downscaleecho"));
    op->max_size = c.maxSize;
    op->overlap = 64;
    op->downscale = 1;  // 0.5
    const ImagePlane out = render(Mask_RGB);
    EXPECT_FALSE(op->hasError()) << op->errorMessage();
    const std::string what = std::to_string(c.box.w()) + "x" + std::to_string(c.box.h()) + " in tiles of " +
                             std::to_string(c.maxSize);
    expectChannel(out, Chan_Red, [&](int, int) { return 0.5f * c.expected; }, what);
  }
}

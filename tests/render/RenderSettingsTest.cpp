// What a render takes from its node, once, at its start.
#include "inference/InferencePass.h"
#include "render/RenderStripe.h"
#include "support/RetimeRig.h"

#include <gtest/gtest.h>

using testsupport::RetimeRig;

namespace {

void expectSame(const RenderSettings& a, const RenderSettings& b)
{
  EXPECT_EQ(a.maxSize, b.maxSize);
  EXPECT_EQ(a.overlap, b.overlap);
  EXPECT_EQ(a.padding, b.padding);
  EXPECT_EQ(a.steps, b.steps);
  EXPECT_EQ(a.flowMagnitude, b.flowMagnitude);
  EXPECT_EQ(a.threshold, b.threshold);
  EXPECT_EQ(a.warpDownscale, b.warpDownscale);
  EXPECT_EQ(a.colorspaceConvert, b.colorspaceConvert);
  EXPECT_EQ(a.mixedPrecision, b.mixedPrecision);
  EXPECT_EQ(a.useBfloat16, b.useBfloat16);
  EXPECT_EQ(a.nanErrorThreshold, b.nanErrorThreshold);
  EXPECT_EQ(a.modelChannels, b.modelChannels);
  EXPECT_EQ(a.debug, b.debug);
}

} // namespace

TEST(RenderSettings, EveryKnobReachesItsSetting)
{
  RetimeRig rig;
  Tweenova& op = rig.acquire(1);
  // A new node's are the settings' defaults, which the inference tests take for a new node's.
  RenderSettings expected;
  expectSame(renderSettings(op), expected);
  EXPECT_EQ(renderSettings(op).nodeName, "Tweenova1");

  op.max_size = 1000;
  op.overlap = 100;
  op.padding = 10;
  op.steps = 5;
  op.flow_magnitude = 2;
  op.threshold = 0.25f;
  op.downscale = 2;
  op.colorspace_convert = false;
  op.mixed_precision = true;
  op.use_bfloat16 = false;
  op.nan_error_threshold = 42;
  op.debug = true;
  expected = {1000, 100, 10, 5, 2, 0.25f, 0.25f, false, true, false, 42, 3, true, "Tweenova1"};
  expectSame(renderSettings(op), expected);
  op.downscale = 1;
  EXPECT_EQ(renderSettings(op).warpDownscale, 0.5f);
  op.downscale = 0;
  EXPECT_EQ(renderSettings(op).warpDownscale, 1.0f);
  rig.release(op);
}

TEST(RenderSettings, TheReducedTypeIsThatOfTheRenderDeviceNotThePanels)
{
  // The panel's device may be another than the batch render's: its bf16Capable does not count.
  RetimeRig rig;
  Tweenova& op = rig.acquire(1);
  op.use_bfloat16 = true;
  const torch::jit::Module network;
  const RenderProgress progress;
  auto reducedTypeOn = [&](bool deviceBf16) {
    const RenderSettings settings = renderSettings(op);
    InferenceContext ctx{1, 0, settings, network, progress, torch::Device(torch::kCUDA, 0), true, 1.5f, 0.5f, 1.0f};
    ctx.deviceBf16 = deviceBf16;
    return reducedType(ctx);
  };
  op.bf16Capable = true;
  EXPECT_EQ(reducedTypeOn(false), at::kHalf);
  op.bf16Capable = false;
  EXPECT_EQ(reducedTypeOn(true), at::kBFloat16);
  rig.release(op);
}

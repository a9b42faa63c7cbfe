#include "support/RetimeRig.h"

#include <gtest/gtest.h>

using testsupport::RetimeRig;

TEST(FrameMapping, SpeedModeOutputRangesForInputOneToHundred)
{
  const std::pair<float, int> cases[] = {{0.5f, 198}, {0.25f, 396}, {0.3f, 330}, {1.0f, 100},
                                         {1.5f, 66},  {2.0f, 50},   {2.5f, 40},  {3.0f, 34}};
  for (auto [speed, last] : cases) {
    RetimeRig rig;
    rig.set("speed", speed);
    Tweenova& op = rig.acquire(1);
    EXPECT_EQ(op.outputFirstFrame, 1) << "speed " << speed;
    EXPECT_EQ(op.outputLastFrame, last) << "speed " << speed;
    EXPECT_EQ(op.info().first_frame(), 1);
    EXPECT_EQ(op.info().last_frame(), last);
    rig.release(op);
  }
}

namespace {

void expectInfo(const FrameInfo& fi, int f0, int f1, float pos, float t)
{
  EXPECT_EQ(fi.frame0, f0);
  EXPECT_EQ(fi.frame1, f1);
  EXPECT_FLOAT_EQ(fi.requestedFramePosition, pos);
  EXPECT_FLOAT_EQ(fi.timestep, t);
}

} // namespace

TEST(FrameMapping, SpeedModeMappingClampsOneFrameOutsideTheOutputRange)
{
  RetimeRig rig;
  Tweenova& op = rig.acquire(1);
  expectInfo(op.calculateFrameInfo(1), 1, 2, 1.25f, 0.25f);
  expectInfo(op.calculateFrameInfo(2), 1, 2, 1.75f, 0.75f);
  expectInfo(op.calculateFrameInfo(3), 2, 3, 2.25f, 0.25f);
  expectInfo(op.calculateFrameInfo(198), 99, 100, 99.75f, 0.75f);
  expectInfo(op.calculateFrameInfo(0), 0, 1, 0.75f, 0.75f);
  expectInfo(op.calculateFrameInfo(-50), 0, 1, 0.75f, 0.75f);
  expectInfo(op.calculateFrameInfo(250), 100, 101, 100.25f, 0.25f);
  rig.release(op);
}

TEST(FrameMapping, WholeAndFractionalSpeeds)
{
  RetimeRig rig;
  rig.set("speed", 1.0);
  Tweenova& one = rig.acquire(37);
  expectInfo(one.calculateFrameInfo(37), 37, 37, 37.0f, 0.0f);
  rig.release(one);

  rig.set("speed", 1.5);
  Tweenova& oneHalf = rig.acquire(1);
  EXPECT_EQ(oneHalf.outputLastFrame, 66);
  expectInfo(oneHalf.calculateFrameInfo(1), 1, 2, 1.25f, 0.25f);
  expectInfo(oneHalf.calculateFrameInfo(2), 2, 3, 2.75f, 0.75f);
  rig.release(oneHalf);

  rig.set("speed", 2.0);
  Tweenova& two = rig.acquire(50);
  expectInfo(two.calculateFrameInfo(50), 99, 99, 99.0f, 0.0f);
  rig.release(two);

  rig.set("speed", 0.0);
  Tweenova& zero = rig.acquire(1);
  EXPECT_EQ(zero.outputFirstFrame, 1);
  EXPECT_EQ(zero.outputLastFrame, 1);
  rig.release(zero);
}

TEST(FrameMapping, FrameModeFollowsOutputFrameAndItsKeys)
{
  RetimeRig rig;
  rig.set("mode", 1);
  rig.set("output_frame", 12.4);
  Tweenova& op = rig.acquire(77);
  const FrameInfo fi = op.calculateFrameInfo(77);
  EXPECT_EQ(fi.frame0, 12);
  EXPECT_EQ(fi.frame1, 13);
  EXPECT_FLOAT_EQ(fi.timestep, 0.39999962f);
  // No keys: the output range is the input range.
  EXPECT_EQ(op.outputFirstFrame, 1);
  EXPECT_EQ(op.outputLastFrame, 100);
  rig.release(op);

  rig.node->setKey(rig.knob("output_frame"), 10, 5.0);
  rig.node->setKey(rig.knob("output_frame"), 40, 20.0);
  Tweenova& keyed = rig.acquire(25);
  EXPECT_EQ(keyed.outputFirstFrame, 10);
  EXPECT_EQ(keyed.outputLastFrame, 40);
  // Stored at the operator's frame: halfway between the keys.
  EXPECT_FLOAT_EQ(keyed.output_frame, 12.5f);
  EXPECT_EQ(keyed.input(0)->outputContext().frame(), 12);
  EXPECT_EQ(keyed.input(1)->outputContext().frame(), 13);
  rig.release(keyed);
}

TEST(FrameMapping, InputCopiesRequestsAndHash)
{
  RetimeRig rig;
  Tweenova& op = rig.acquire(3);
  EXPECT_EQ(op.split_input(0), 2);
  EXPECT_EQ(op.split_input(1), 1);
  DD::Image::OutputContext out;
  op.inputContext(0, 1, out);
  EXPECT_EQ(out.frame(), 3);  // frame1 of position 2.25
  op.inputContext(1, 0, out);
  EXPECT_EQ(out.frame(), op.outputContext().frame());

  DD::Image::RequestOutput req;
  op.getRequests(DD::Image::Box(5, 5, 6, 6), DD::Image::Mask_Red, 1, req);
  ASSERT_EQ(req.requests().size(), 2u);
  EXPECT_EQ(req.requests()[0].getOp(), op.input(0));
  EXPECT_EQ(req.requests()[1].getOp(), op.input(1));
  EXPECT_EQ(req.requests()[0].getBox(), DD::Image::Box(0, 0, 64, 48));
  EXPECT_TRUE(req.requests()[0].getChannels().contains(DD::Image::Chan_Alpha));  // input_channels is all

  rig.release(op);
}

namespace {

// Whether changing one member of the node changes its hash.
template <class T>
bool hashFollows(Tweenova& op, T& member, T changed)
{
  DD::Image::Hash before, after;
  op.append(before);
  const T kept = member;
  member = changed;
  op.append(after);
  member = kept;
  return before != after;
}

} // namespace

TEST(FrameMapping, HashFollowsEverySettingOfTheImage)
{
  RetimeRig rig;
  Tweenova& op = rig.acquire(3);
  EXPECT_TRUE(hashFollows(op, op.mode, 1));
  EXPECT_TRUE(hashFollows(op, op.speed, 0.25f));
  EXPECT_TRUE(hashFollows(op, op.output_frame, 7.5f));
  EXPECT_TRUE(hashFollows(op, op.mixed_precision, true));
  EXPECT_TRUE(hashFollows(op, op.use_bfloat16, false));
  EXPECT_TRUE(hashFollows(op, op.bf16Capable, true));
  EXPECT_TRUE(hashFollows(op, op.use_gpu, !op.use_gpu));
  EXPECT_TRUE(hashFollows(op, op.steps, 3));
  EXPECT_TRUE(hashFollows(op, op.flow_magnitude, 2));
  EXPECT_TRUE(hashFollows(op, op.threshold, 0.01f));
  EXPECT_TRUE(hashFollows(op, op.downscale, 1));
  EXPECT_TRUE(hashFollows(op, op.colorspace_convert, false));
  EXPECT_TRUE(hashFollows(op, op.max_size, 1024));
  EXPECT_TRUE(hashFollows(op, op.overlap, 64));
  EXPECT_TRUE(hashFollows(op, op.padding, 32));
  EXPECT_TRUE(hashFollows(op, op.nan_error_threshold, 50));
  EXPECT_FALSE(hashFollows(op, op.debug, true));  // no effect on the image
  rig.release(op);
}

TEST(FrameMapping, InputRangeIsFilledOnceFromTheInput)
{
  RetimeRig rig(32, 32, 5, 20);
  EXPECT_EQ(rig.knob("frame_range_start")->get_value(), kUnsetFrame);
  Tweenova& op = rig.acquire(5);
  EXPECT_EQ(op.frame_range_start, 5);
  EXPECT_EQ(op.frame_range_end, 20);
  EXPECT_EQ(rig.knob("frame_range_start")->get_value(), 5);
  EXPECT_EQ(rig.knob("frame_range_end")->get_value(), 20);
  rig.release(op);
  rig.set("frame_range_end", 10);
  Tweenova& again = rig.acquire(5);
  EXPECT_EQ(again.frame_range_end, 10);  // never refilled
  EXPECT_EQ(again.outputLastFrame, 14);  // (10 - 5) / 0.5 + 5 - 0.5
  rig.release(again);
}

TEST(FrameMapping, InputRangeReachingTheIntLimits)
{
  RetimeRig rig;
  rig.set("frame_range_start", -2147483647);
  rig.set("frame_range_end", 2147483647);
  Tweenova& slow = rig.acquire(1);
  EXPECT_EQ(slow.outputFirstFrame, -2147483647);
  EXPECT_EQ(slow.outputLastFrame, 2147483520);  // saturated, not wrapped round
  rig.release(slow);

  rig.set("speed", 1);
  rig.set("frame_range_start", -2147483648.0);
  rig.set("frame_range_end", 0);
  Tweenova& whole = rig.acquire(1);
  EXPECT_EQ(whole.outputFirstFrame, -2147483647 - 1);
  EXPECT_EQ(whole.outputLastFrame, 0);
  // Clamped one frame below the first output frame: far below 0, not wrapped to the top.
  const FrameInfo first = whole.calculateFrameInfo(-3e9f);
  EXPECT_LT(first.frame0, -2000000000);
  rig.release(whole);
}

TEST(FrameMapping, ExtremeValuesKeepAUsableRange)
{
  // A single-frame clip slowed down keeps its one frame.
  RetimeRig single(16, 16, 7, 7);
  Tweenova& one = single.acquire(7);
  EXPECT_EQ(one.outputFirstFrame, 7);
  EXPECT_EQ(one.outputLastFrame, 7);
  single.release(one);

  // An absurd speed or position saturates instead of overflowing the frame numbers.
  RetimeRig rig;
  rig.set("speed", 1e-30);
  Tweenova& slow = rig.acquire(1);
  EXPECT_GT(slow.outputLastFrame, 2000000000);
  rig.release(slow);
  rig.set("mode", 1);
  rig.set("output_frame", -1e20);
  Tweenova& far = rig.acquire(1);
  const FrameInfo fi = far.calculateFrameInfo(1);
  EXPECT_LT(fi.frame0, -2000000000);
  EXPECT_LE(fi.frame0, fi.frame1);
  rig.release(far);
}

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

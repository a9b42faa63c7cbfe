// The logger follows the debug knob of whichever node switched it last.
#include "runtime/Logging.h"
#include "support/RetimeRig.h"

#include <gtest/gtest.h>

using testsupport::RetimeRig;

namespace {

std::string validateOutput(RetimeRig& rig, double frame)
{
  testing::internal::CaptureStdout();
  Tweenova& op = rig.acquire(frame);
  rig.release(op);
  return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(Logging, DebugKnobSwitchesTheProcessWideLoggerAtValidation)
{
  RetimeRig quiet;
  EXPECT_EQ(validateOutput(quiet, 1), "");  // a new node switches the logger off

  RetimeRig loud;
  loud.set("debug", 1);
  const std::string first = validateOutput(loud, 2);
  // The entry line is written under the level before the switch; the lines after it show.
  const size_t speedLine = first.find("Speed: 0.5, Output range: 1 to 198 (198 frames)");
  ASSERT_NE(speedLine, std::string::npos) << first;
  EXPECT_GT(first.find("Tweenova::_validate called"), speedLine);
  EXPECT_NE(first.find("[debug]"), std::string::npos);
  EXPECT_EQ(first.find("\033["), std::string::npos) << "no colour codes when stdout is not a terminal";

  const std::string second = validateOutput(loud, 3);
  EXPECT_NE(second.find("Tweenova::_validate called"), std::string::npos);
  EXPECT_NE(second.find("| frame0     | frame1     | timestep   | requestedFramePosition |"), std::string::npos);

  // The other node switches it off again for everybody.
  validateOutput(quiet, 4);
  EXPECT_EQ(validateOutput(loud, 5).find("Tweenova::_validate called"), std::string::npos);
  tweenova::applyLogLevel(false);
}

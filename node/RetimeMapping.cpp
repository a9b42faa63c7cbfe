#include "node/RetimeMapping.h"

#include <algorithm>
#include <cmath>

float phaseOffset(float speed)
{
  if (speed < 1.0f)
    return 0.5f;
  if (speed != std::floor(speed))
    return 0.5f / (speed + speed);
  return 0.0f;
}

int32_t saturatedFrame(double v)
{
  constexpr double kLimit = 2147483520.0;  // the largest float below 2^31
  if (!(v == v))
    return 0;
  return int32_t(std::max(-kLimit, std::min(kLimit, v)));
}

FrameInfo mapOutputFrame(const RetimeSettings& s, float currentFrame)
{
  float p = s.outputFrame;
  if (s.mode == 0) {
    float t = currentFrame;
    // One frame outside the output range on either side; the bounds are
    // widened in 64 bits so that a range reaching the int limits cannot overflow.
    if (s.outputLastFrame > s.outputFirstFrame) {
      t = std::min(t, float(int64_t(s.outputLastFrame) + 1));
      t = std::max(t, float(int64_t(s.outputFirstFrame) - 1));
    }
    const float start = float(s.frameRangeStart);
    p = ((t - start) + phaseOffset(s.speed)) * s.speed + start;
  }
  FrameInfo info;
  info.frame0 = saturatedFrame(std::floor(p));
  info.frame1 = saturatedFrame(std::ceil(p));
  info.requestedFramePosition = p;
  info.timestep = p - std::floor(p);
  return info;
}

int32_t lastSpeedModeFrame(int32_t start, int32_t end, float speed)
{
  // The length is taken in 64 bits: the whole int range does not fit in an int.
  const float length = float(int64_t(end) - int64_t(start));
  int32_t last = saturatedFrame(std::floor(length / speed + float(start) - phaseOffset(speed)));
  // A clip shorter than one output interval (a single frame slowed down)
  // still has its first frame: the range never ends before it starts.
  if (last < start && end >= start)
    last = start;
  return last;
}

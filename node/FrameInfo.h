#pragma once

#include <cstdint>

// Where one output frame lies in the source clip.
struct FrameInfo {
  int32_t frame0;                // floor of the source position
  int32_t frame1;                // ceiling of the source position
  float requestedFramePosition;  // the fractional source position
  float timestep;                // position minus its floor, in [0, 1)
};

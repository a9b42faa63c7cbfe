#pragma once

#include "node/FrameInfo.h"

#include <cstdint>

// The arithmetic of the frame mapping, apart from the node so that any host
// of the node (the command-line host's frame list) maps frames the same way.
// All positions are single precision.

// What the mapping of one output frame reads from the node.
struct RetimeSettings {
  int mode = 0;               // 0: speed mode; any other value: frame mode
  float speed = 0.5f;
  float outputFrame = 1.0f;   // the output_frame knob at the frame being mapped
  int frameRangeStart = 0;
  int outputFirstFrame = 0;   // the output range of the last validation
  int outputLastFrame = 0;
};

// Phase offset: slowing down samples the middle of each output frame's interval.
float phaseOffset(float speed);

// A frame number from float arithmetic, saturated to what an int holds (NaN gives 0).
int32_t saturatedFrame(double v);

// The source frames and fraction of output frame `currentFrame`.
FrameInfo mapOutputFrame(const RetimeSettings& settings, float currentFrame);

// The last output frame of speed mode for the input range [start, end] at a
// speed above 0; never before `start` when the range holds a frame.
int32_t lastSpeedModeFrame(int32_t start, int32_t end, float speed);

#pragma once

#include <torch/types.h>

class Tweenova;

// What one plane render hands to every network pass.
struct InferenceContext {
  int progressTotal;              // network passes expected for the plane
  int progressDone;               // passes completed so far
  Tweenova& node;                 // parameters and the loaded network
  torch::Device renderDevice;     // CPU (index -1) or CUDA
  bool useCuda;
  float requestedFramePosition;
  float timestep;
  float downscaleFactor;          // 1.0, 0.5 or 0.25
  bool deviceBf16 = false;        // renderDevice computes bfloat16
};

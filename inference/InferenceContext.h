#pragma once

#include "inference/RenderSettings.h"

#include <torch/script.h>
#include <torch/types.h>

#include <functional>
#include <string>

// What the inference engine tells the host while it works, and how it hears
// that the render is to stop. Empty functions are skipped.
struct RenderProgress {
  std::function<void(const std::string&)> message;  // the progress text
  std::function<void(double)> fraction;             // share of the passes done, 0 to 1
  std::function<bool()> aborted;                    // whether the host asks the render to stop
};

// What one plane render hands to every network pass.
struct InferenceContext {
  int progressTotal;                   // network passes expected for the plane
  int progressDone;                    // passes completed so far
  const RenderSettings& settings;      // the node's parameters, taken at the render's start
  const torch::jit::Module& network;   // the loaded network, shared by renders for reading
  const RenderProgress& progress;
  torch::Device renderDevice;          // CPU (index -1) or CUDA
  bool useCuda;
  float requestedFramePosition;
  float timestep;
  float downscaleFactor;               // the warp downscale of this frame
  bool deviceBf16 = false;             // renderDevice computes bfloat16
};

#pragma once

#include <string>

// The parameters a render reads, taken from the node once at its start. The
// defaults are those of a new node.
struct RenderSettings {
  // Tiling: the tile side, the overlap of neighbouring tiles and the band at
  // their edges that the blend leaves out, in pixels.
  int maxSize = 4500;
  int overlap = 512;
  int padding = 64;

  // The network's arguments.
  int steps = 2;             // sub-steps per frame, 1 to 6
  int flowMagnitude = 0;     // 0 low, 1 medium, 2 high
  float threshold = 0.001f;  // timesteps this close to a source frame hold it
  float warpDownscale = 1.0f;  // the panel's warp downscale: 1.0, 0.5 or 0.25

  // Around the network.
  bool colorspaceConvert = true;  // PU21-encode the inputs, decode the result
  bool mixedPrecision = false;    // reduced precision on the GPU
  bool useBfloat16 = true;        // bfloat16 rather than float16 where the device computes it
  int nanErrorThreshold = 10;     // percentage of NaN values a pass may return; 100 or more: unchecked
  int modelChannels = 3;          // channels the network takes per image

  // Diagnostics: verbose lines on standard output, prefixed with the node's name.
  bool debug = false;
  std::string nodeName;
};

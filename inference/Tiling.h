#pragma once

#include "inference/InferenceContext.h"

#include <torch/types.h>

class Tweenova;

// How a frame is split into overlapping tiles.
struct TilePlan {
  int countX = 1, countY = 1;
  int sideX = 0, sideY = 0;
  int overlapX = 0, overlapY = 0;
  int paddingX = 0, paddingY = 0;
  bool singleCall = true;  // the whole frame goes through one network pass
};

// The tile plan for a W x H frame.
TilePlan planTiles(int W, int H, int maxSize, int overlap, int padding);

// Interpolates a pair of [1, 3, H, W] float32 CPU frames (rows in the host's
// order), tile by tile when they exceed the node's max size. Returns a
// [1, 3, H, W] float32 CPU tensor.
torch::Tensor tiledInference(Tweenova& node, InferenceContext& ctx, const torch::Tensor& frame0,
                             const torch::Tensor& frame1);

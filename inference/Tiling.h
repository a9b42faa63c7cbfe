#pragma once

#include "inference/InferenceContext.h"

#include <torch/types.h>

#include <vector>

// How a frame is split into overlapping tiles. When the frame exceeds the
// max size in a direction, counts and sides are those of the split even if
// the effective overlap is 0; singleCall then says whether the frame goes
// through one network pass instead (frame within the max size, or no overlap).
struct TilePlan {
  int countX = 1, countY = 1;
  int sideX = 0, sideY = 0;
  int overlapX = 0, overlapY = 0;
  int paddingX = 0, paddingY = 0;
  bool singleCall = true;  // the whole frame goes through one network pass
};

// The tile plan for a W x H frame. The panel's patch count (countX x countY)
// and a render's progress total (one pass per tile unless singleCall) are
// read from it too.
TilePlan planTiles(int W, int H, int maxSize, int overlap, int padding);

// One tile's extent [begin, end) along a direction.
struct TileSpan {
  int begin, end;
};

// The tiles along a direction of `extent` pixels, in increasing order: tile k
// starts at k * (side - overlap); the last one ends at the extent.
std::vector<TileSpan> tileSpans(int extent, int side, int overlap, int count);

// The cross-fade of a tile along one direction.
struct EdgeFade {
  int overlap = 0;
  int padding = 0;
  bool first = true;  // no neighbour before: no fade-in
  bool last = true;   // no neighbour after: no fade-out
};

// Weight of position t in a tile of length n along one direction: 0 over the
// padding, a linear fade-in over the rest of the overlap before, and a
// fade-out ending floor(padding / 2) before the tile's end after.
float edgeWeight(int t, int n, const EdgeFade& fade);

// The [1, 1, th, tw] float32 CPU blend weights of a tile.
torch::Tensor tileWeightMask(int th, int tw, const EdgeFade& rows, const EdgeFade& columns);

// Interpolates a pair of [1, 3, H, W] float32 CPU frames (rows in the host's
// order), tile by tile when they exceed the settings' max size. Returns a
// [1, 3, H, W] float32 CPU tensor. An abort between tiles returns what was
// blended so far.
torch::Tensor tiledInference(InferenceContext& ctx, const torch::Tensor& frame0, const torch::Tensor& frame1);

#pragma once

#include "inference/InferenceContext.h"

#include <torch/script.h>
#include <torch/types.h>

// Runs the context's network once on a pair of [1, 3, h, w] float32 CPU
// tiles (rows in the host's order, bottom-up) at the context's timestep.
// Returns a new [1, 3, h, w] float32 contiguous CPU tensor in the same row
// order, and advances the context's progress. Throws on any failure,
// including a result with more NaN values than the settings allow.
torch::Tensor inferencePass(InferenceContext& ctx, const torch::Tensor& frame0, const torch::Tensor& frame1);

// The reduced type of mixed precision on the render device: bfloat16 when the
// settings ask for it and the device computes it, else float16.
at::ScalarType reducedType(const InferenceContext& ctx);

// Whether a pass on the CPU runs its convolutions in bfloat16 (under CPU
// autocast): where the CPU computes bfloat16 natively and use_bfloat16 is on.
bool cpuBfloat16(const InferenceContext& ctx);

// The warp downscale argument of every pass of a frame of `width` x
// `height`: the panel's `factor`, twice that where the network says (by its
// integer attribute fine_flow_side) that frames of that short side have their
// flows estimated at twice their size. The decision is the frame's, so that
// all its tiles go through one procedure.
float frameWarpDownscale(const torch::jit::Module& network, float factor, int width, int height);

// The network's sub-step argument for the node's `steps` value: steps - 1, within 0 ... 5.
int64_t subStepIndex(int steps);

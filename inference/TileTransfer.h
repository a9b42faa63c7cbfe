#pragma once

#include "inference/NetworkPadding.h"

#include <torch/types.h>

// The preparation of a pass's inputs and results for float32 tiles on the
// CPU, each direction in one pass over the pixels: the values the tensor
// expressions give (row flip, PU21, replicate padding, crop), without their
// full-frame temporaries.
namespace transfer {

// Whether a tensor can take the one-pass route: a float32 CPU tensor of
// shape [1, C, h, w] whose rows are contiguous.
bool onePassApplies(const torch::Tensor& t);

// A [1, C, h, w] host tile (rows bottom-up) as network input, with the
// padding of `padding` (the tile's): rows top-down, PU21-encoded when
// `encode`, the last row and column repeated into the padding, as
// NetworkPadding::pad does.
torch::Tensor toNetworkInput(const torch::Tensor& tile, bool encode, const NetworkPadding& padding);

// The tile's region of a [1, C, H, W] network result (rows top-down;
// `padding` is the tile's), PU21-decoded when `decode`, as a new contiguous
// float32 tensor with rows bottom-up.
torch::Tensor fromNetworkResult(const torch::Tensor& result, const NetworkPadding& padding, bool decode);

// The number of NaN values in a tensor.
int64_t countNaN(const torch::Tensor& t);

} // namespace transfer

#pragma once

#include <torch/types.h>

// The preparation of a pass's inputs and results for float32 tiles on the
// CPU, each direction in one pass over the pixels: the values the tensor
// expressions give (row flip, PU21, replicate padding, crop), without their
// full-frame temporaries.
namespace transfer {

// Whether a tensor can take the one-pass route: a float32 CPU tensor of
// shape [1, C, h, w] whose rows are contiguous.
bool onePassApplies(const torch::Tensor& t);

// A [1, C, h, w] host tile (rows bottom-up) as network input of shape
// [1, C, h + padRows, w + padColumns]: rows top-down, PU21-encoded when
// `encode`, the last row and column repeated into the padding.
torch::Tensor toNetworkInput(const torch::Tensor& tile, bool encode, int64_t padRows, int64_t padColumns);

// The [0, h) x [0, w) region of a [1, C, H, W] network result (rows
// top-down), PU21-decoded when `decode`, as a new contiguous float32 tensor
// with rows bottom-up.
torch::Tensor fromNetworkResult(const torch::Tensor& result, int64_t h, int64_t w, bool decode);

// The number of NaN values in a tensor.
int64_t countNaN(const torch::Tensor& t);

} // namespace transfer

#pragma once

#include <torch/types.h>

// The preparation of a pass's inputs and results by tensor expressions, for
// tiles of any type and any render device (the GPU's route; float32 tiles
// for the CPU take TileTransfer's one pass to the same values).
namespace transfer {

// Rows or columns that bring a side of n up to the network's pad multiple.
int64_t padAmount(int64_t n);

// A [1, C, h, w] host tile (rows bottom-up) as network input on `device`:
// rows flipped to top-down on the host before the upload, PU21-encoded on
// the device when `encode`, the last row and column repeated up to the pad
// multiple.
torch::Tensor toDeviceInput(const torch::Tensor& tile, const torch::Device& device, bool encode);

// The [0, h) x [0, w) region of a network result (rows top-down, any device
// and floating type), PU21-decoded when `decode`, as a contiguous float32 CPU
// tensor with rows bottom-up.
torch::Tensor fromDeviceResult(const torch::Tensor& result, int64_t h, int64_t w, bool decode);

} // namespace transfer

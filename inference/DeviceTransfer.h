#pragma once

#include "inference/NetworkPadding.h"

#include <torch/types.h>

// The preparation of a pass's inputs and results by tensor expressions, for
// tiles of any type and any render device (the GPU's route; float32 tiles
// for the CPU take TileTransfer's one pass to the same values).
namespace transfer {

// A [1, C, h, w] host tile (rows bottom-up) as network input on `device`:
// rows flipped to top-down on the host before the upload, PU21-encoded on
// the device when `encode`, then padded (`padding` is the tile's).
torch::Tensor toDeviceInput(const torch::Tensor& tile, const torch::Device& device, bool encode,
                            const NetworkPadding& padding);

// The tile's region of a network result (rows top-down, any device and
// floating type; `padding` is the tile's), PU21-decoded when `decode`, as a
// contiguous float32 CPU tensor with rows bottom-up.
torch::Tensor fromDeviceResult(const torch::Tensor& result, const NetworkPadding& padding, bool decode);

} // namespace transfer

#pragma once

#include "runtime/DeviceRule.h"

#include <torch/script.h>

namespace tweenova {

// Sets libtorch's process-wide JIT options for running the network: no
// graph executor optimisation, static fusion of depth 0.
void setJitOptions();

// The network of the model library on the chosen device (shared with the
// nodes that hold it already), prepared for the CPU when that is the device.
// Throws what fetching or deserialising throws.
torch::jit::Module loadNetwork(const DeviceChoice& choice);

// Puts `network` on the chosen device: another device takes that device's
// copy, and on the CPU the half-casting flags are switched off. Returns
// whether the network has such flags and runs on the CPU (in float32).
bool placeNetwork(torch::jit::Module& network, const DeviceChoice& choice);

} // namespace tweenova

#pragma once

#include <torch/script.h>

#include <functional>
#include <optional>

namespace tweenova {

// Networks are shared: every node of the process, and every operator the
// host makes of one node to render frames side by side, holds the same
// deserialised network for the same model archive and device, so that a GPU
// keeps one copy of the weights however many frames are in flight. A
// network lives as long as some node holds it. Renders only read it.

// Runs on a network deserialised for a device before anyone else sees it.
using NetworkPreparation = std::function<void(torch::jit::Module&)>;

// The network of the model library's archive on `device`: the one a node
// already holds for the same archive bytes and device, else deserialised from
// the library's memory now and handed to `prepare` first. Throws what
// fetching or deserialising throws.
torch::jit::Module acquireNetwork(const torch::Device& device, const NetworkPreparation& prepare);

// The device acquireNetwork placed `network` on; nullopt for a network it
// did not give out.
std::optional<torch::Device> networkDevice(const torch::jit::Module& network);

// How many networks nodes hold now.
size_t sharedNetworkCount();

// Lets go of a node's network. The last holder moves it to the CPU first, so
// that it leaves the GPU in order; nothing is thrown.
void releaseNetwork(torch::jit::Module& network) noexcept;

} // namespace tweenova

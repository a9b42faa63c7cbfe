#pragma once

#include "device/Image.h"
#include "device/RetimeNode.h"

class Tweenova;

namespace devicecheck {

// Median milliseconds of one forward of the node's loaded network on its
// CUDA device: the pair prepared as a render hands it over (PU21-encoded,
// padded to the network's side multiple, float32, under autocast to the half
// type of `precision`), at t = 0.5 with the node's other settings. Each run ends
// with a CUDA synchronize; `warmup` untimed runs come first.
double medianForwardMs(Tweenova& node, const Image& first, const Image& second, Precision precision, int warmup,
                       int runs);

} // namespace devicecheck

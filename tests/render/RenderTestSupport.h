#pragma once

// The source and the network shared by the render tests.

#include "support/MemorySource.h"

#include <torch/script.h>

#include <memory>

namespace rendertest {

// The value a scripted source holds at (x, y) of channel z in frame f.
inline float sourceValue(DD::Image::Channel z, int x, int y, double f)
{
  return 0.01f * float(x) + 0.001f * float(y) + 0.1f * float(f) + 10.0f * float(int(z));
}

// The render tests' source: frames 1 to 10 of sourceValue over an 8 x 4 box
// in RGBA, whose box, channels and failures a test changes through the script.
inline std::shared_ptr<testsupport::SourceScript> sourceScript()
{
  auto script = std::make_shared<testsupport::SourceScript>();
  script->box = DD::Image::Box(0, 0, 8, 4);
  script->channels = DD::Image::Mask_RGBA;
  script->first = 1;
  script->last = 10;
  script->value = sourceValue;
  return script;
}

// A cross-fade of the two frames whose output plane m is raised by m, so that
// every written value tells which plane of the result it came from.
inline torch::jit::Module markedBlendNetwork()
{
  torch::jit::Module m("MarkedBlend");
  m.define(R"(
def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int, flow_magnitude: int,
            threshold: float, warp_downscale: float) -> Tensor:
    marks = torch.tensor([0.0, 1.0, 2.0], dtype=img0.dtype, device=img0.device).view(1, 3, 1, 1)
    return img0 * (1.0 - timestep) + img1 * timestep + marks
)");
  return m;
}

} // namespace rendertest

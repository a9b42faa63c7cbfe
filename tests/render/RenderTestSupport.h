#pragma once

// Sources and networks shared by the render tests.

#include "DDImage/ImagePlane.h"
#include "DDImage/Iop.h"
#include "DDImage/Node.h"

#include <torch/script.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>

namespace rendertest {

// How a scripted source behaves; shared between the test and the source's operators.
struct SourceScript {
  DD::Image::Box box{0, 0, 8, 4};
  DD::Image::ChannelSet channels = DD::Image::Mask_RGBA;
  std::atomic<bool> failValidation{false};
  enum class Fetch { Fill, ThrowStd, ThrowInt };
  std::atomic<Fetch> fetch{Fetch::Fill};
  std::atomic<int> fetches{0};
};

// The value a scripted source holds at (x, y) of channel z in frame f.
inline float sourceValue(DD::Image::Channel z, int x, int y, double f)
{
  return 0.01f * float(x) + 0.001f * float(y) + 0.1f * float(f) + 10.0f * float(int(z));
}

// An image source whose box, validation and fetch failures a test controls.
class ScriptedSource : public DD::Image::Iop {
public:
  ScriptedSource(DD::Image::Node* node, std::shared_ptr<SourceScript> script) : Iop(node), script_(std::move(script))
  {
  }
  const char* Class() const override { return "ScriptedSource"; }
  const char* node_help() const override { return "A test source."; }
  int minimum_inputs() const override { return 0; }
  int maximum_inputs() const override { return 0; }

  void _validate(bool) override
  {
    if (script_->failValidation)
      error("%s", "scripted source cannot validate");
    info_.set(script_->box);
    info_.channels(script_->channels);
    info_.first_frame(1);
    info_.last_frame(10);
  }

  void fetchPlane(DD::Image::ImagePlane& plane) override
  {
    ++script_->fetches;
    if (script_->fetch == SourceScript::Fetch::ThrowStd)
      throw std::runtime_error("scripted source read failed\nsource unreadable");
    if (script_->fetch == SourceScript::Fetch::ThrowInt)
      throw 42;
    plane.makeWritable();
    const DD::Image::Box& b = plane.bounds();
    int k = 0;
    for (DD::Image::Channel c : plane.channels()) {
      for (int y = b.y(); y < b.t(); ++y)
        for (int x = b.x(); x < b.r(); ++x)
          plane.writable()[(y - b.y()) * plane.rowStride() + (x - b.x()) * plane.colStride() +
                           k * plane.chanStride()] = sourceValue(c, x, y, outputContext().frame());
      ++k;
    }
  }

private:
  std::shared_ptr<SourceScript> script_;
};

inline std::unique_ptr<DD::Image::Node> createScriptedSource(std::shared_ptr<SourceScript> script)
{
  return std::make_unique<DD::Image::Node>(
    "Scripted", [script](DD::Image::Node* n) -> DD::Image::Op* { return new ScriptedSource(n, script); });
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

// The test generator: a host node whose pixels come from a function.
#include "HostLayer/Generator.h"

#include "DDImage/Iop.h"

#include <algorithm>
#include <utility>

using namespace DD::Image;

namespace HostLayer {

namespace {

class GeneratorOp : public Iop {
public:
  GeneratorOp(Node* node, int w, int h, int first, int last, ChannelSet chans, PixelFunction value)
    : Iop(node), w_(w), h_(h), first_(first), last_(last), chans_(chans), value_(std::move(value))
  {}
  const char* Class() const override { return "Generator"; }
  const char* node_help() const override { return "Generates a test image."; }
  int minimum_inputs() const override { return 0; }
  int maximum_inputs() const override { return 0; }

  void _validate(bool) override
  {
    info_.set(0, 0, w_, h_);
    info_.format(Format{w_, h_, ""});
    info_.channels(chans_);
    info_.first_frame(first_);
    info_.last_frame(last_);
  }

  void fetchPlane(ImagePlane& plane) override
  {
    plane.makeWritable();
    std::fill(plane.writable(), plane.writable() + plane.bufferSize(), 0.0f);
    const Box& b = plane.bounds();
    const double frame = outputContext().frame();
    int z = 0;
    for (Channel c : plane.channels()) {
      if (z >= plane.nComps())
        break;
      for (int y = b.y(); y < b.t(); ++y)
        for (int x = b.x(); x < b.r(); ++x) {
          bool inside = chans_.contains(c) && x >= 0 && x < w_ && y >= 0 && y < h_;
          plane.writable()[(y - b.y()) * plane.rowStride() + (x - b.x()) * plane.colStride() +
                           z * plane.chanStride()] = inside ? value_(c, x, y, frame) : 0.0f;
        }
      ++z;
    }
  }

private:
  int w_, h_, first_, last_;
  ChannelSet chans_;
  PixelFunction value_;
};

} // namespace

std::unique_ptr<Node> createGeneratorNode(const std::string& name, int width, int height, int first, int last,
                                          const ChannelSet& channels, PixelFunction value)
{
  return std::make_unique<Node>(name, [=](Node* n) { return new GeneratorOp(n, width, height, first, last, channels, value); });
}

} // namespace HostLayer

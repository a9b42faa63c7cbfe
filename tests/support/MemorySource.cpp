#include "support/MemorySource.h"

#include "DDImage/Iop.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

using namespace DD::Image;

namespace testsupport {

namespace {

class MemorySourceOp : public Iop {
public:
  MemorySourceOp(Node* node, std::shared_ptr<SourceScript> script) : Iop(node), script_(std::move(script)) {}
  const char* Class() const override { return "MemorySource"; }
  const char* node_help() const override { return "Serves frames from memory to a test."; }
  int minimum_inputs() const override { return 0; }
  int maximum_inputs() const override { return 0; }

  void _validate(bool) override
  {
    if (script_->failValidation)
      error("%s", "scripted source cannot validate");
    const Box& box = script_->box;
    info_.set(box);
    info_.format(Format{box.w(), box.h(), ""});
    info_.channels(script_->channels);
    info_.first_frame(script_->first);
    info_.last_frame(script_->last);
  }

  void fetchPlane(ImagePlane& plane) override
  {
    ++script_->fetches;
    if (script_->fetch == SourceScript::Fetch::ThrowStd)
      throw std::runtime_error("scripted source read failed\nsource unreadable");
    if (script_->fetch == SourceScript::Fetch::ThrowInt)
      throw 42;
    plane.makeWritable();
    std::fill(plane.writable(), plane.writable() + plane.bufferSize(), 0.0f);
    int z = 0;
    for (Channel c : plane.channels()) {
      if (z >= plane.nComps())
        break;
      if (script_->channels.contains(c))
        fillChannel(plane, c, z);
      ++z;
    }
  }

private:
  // Component z of the plane, channel c, where the plane meets the box.
  void fillChannel(ImagePlane& plane, Channel c, int z) const
  {
    const Box& b = plane.bounds();
    Box inside = b;
    inside.intersect(script_->box);
    const double frame = outputContext().frame();
    for (int y = inside.y(); y < inside.t(); ++y)
      for (int x = inside.x(); x < inside.r(); ++x)
        plane.writable()[(y - b.y()) * plane.rowStride() + (x - b.x()) * plane.colStride() + z * plane.chanStride()] =
          script_->value(c, x, y, frame);
  }

  std::shared_ptr<SourceScript> script_;
};

} // namespace

std::unique_ptr<HostLayer::HostNode> createMemorySource(std::shared_ptr<SourceScript> script, const std::string& name)
{
  if (!script || !script->value)
    throw std::invalid_argument("createMemorySource: a script with a pixel function is needed");
  return std::make_unique<HostLayer::HostNode>(name, [script](Node* n) -> Op* { return new MemorySourceOp(n, script); });
}

std::unique_ptr<HostLayer::HostNode> createMemorySource(int width, int height, int first, int last, const ChannelSet& channels,
                                         PixelFunction value, const std::string& name)
{
  auto script = std::make_shared<SourceScript>();
  script->box = Box(0, 0, width, height);
  script->channels = channels;
  script->first = first;
  script->last = last;
  script->value = std::move(value);
  return createMemorySource(std::move(script), name);
}

} // namespace testsupport

#include "support/RetimeRig.h"

#include "HostLayer/Render.h"

#include <stdexcept>

using namespace DD::Image;

namespace testsupport {

float rampValue(Channel z, int x, int y, double frame)
{
  return 0.001f * float(x) + 0.002f * float(y) + 0.01f * float(frame) + 0.1f * float(int(z));
}

RetimeRig::RetimeRig(int width, int height, int first, int last, const ChannelSet& channels,
                     PixelFunction value)
{
  source = createMemorySource(width, height, first, last, channels, std::move(value));
  node = HostLayer::HostNode::create("Tweenova", "Tweenova1");
  node->setInput(0, source.get());
}

Knob* RetimeRig::knob(const std::string& name) const { return node->knob(name); }

void RetimeRig::set(const std::string& name, double value)
{
  Knob* k = knob(name);
  if (!k)
    throw std::runtime_error("no knob " + name);
  node->setValue(k, value);
}

Tweenova& RetimeRig::acquire(double frame)
{
  Op* op = node->acquire(OutputContext(frame));
  std::string error;
  HostLayer::validateOperator(*node, op, error);  // the tests look at the outcome themselves
  return *static_cast<Tweenova*>(op);
}

void RetimeRig::release(Tweenova& op) { node->release(&op); }

} // namespace testsupport

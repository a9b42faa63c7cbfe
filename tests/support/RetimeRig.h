#pragma once

#include "DDImage/ChannelSet.h"
#include "HostLayer/HostNode.h"
#include "node/Tweenova.h"
#include "support/MemorySource.h"

#include <memory>
#include <string>

namespace testsupport {

// A value that changes with the frame so that every source frame differs.
float rampValue(DD::Image::Channel z, int x, int y, double frame);

// A Tweenova node fed by a memory source, built through the host layer as the
// host application would build it.
struct RetimeRig {
  explicit RetimeRig(int width = 64, int height = 48, int first = 1, int last = 100,
                     const DD::Image::ChannelSet& channels = DD::Image::Mask_RGBA,
                     PixelFunction value = rampValue);

  // The operator that owns the panel.
  Tweenova& panelOp() { return *static_cast<Tweenova*>(node->firstOp()); }
  DD::Image::Knob* knob(const std::string& name) const;
  // A user edit of a knob (knob_changed runs).
  void set(const std::string& name, double value);
  // An operator for output frame `frame`, knobs stored, validated. Hand it back with release().
  Tweenova& acquire(double frame);
  void release(Tweenova& op);

  std::unique_ptr<HostLayer::HostNode> source;
  std::unique_ptr<HostLayer::HostNode> node;
};

} // namespace testsupport

#pragma once

// The one source that feeds frames from memory to the node under test: a host
// node whose pixels come from a function, and whose box, channels, frame range
// and failures a test sets, and may change between renders.
#include "DDImage/Box.h"
#include "DDImage/ChannelSet.h"
#include "HostLayer/HostNode.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace testsupport {

// The value of channel z at (x, y) of source frame `frame`.
using PixelFunction = std::function<float(DD::Image::Channel z, int x, int y, double frame)>;

// What a memory source serves and how it fails; shared between the test and
// the source's operators, which read it at every validation and fetch.
struct SourceScript {
  DD::Image::Box box;
  DD::Image::ChannelSet channels = DD::Image::Mask_RGBA;
  int first = 1;
  int last = 1;
  PixelFunction value;
  std::atomic<bool> failValidation{false};
  enum class Fetch { Fill, ThrowStd, ThrowInt };
  std::atomic<Fetch> fetch{Fetch::Fill};
  std::atomic<int> fetches{0};  // planes asked for, failed ones included
};

// A host node named `name` serving `script`'s frames: the values inside the
// box in its channels, zero elsewhere; its format is the box's size.
std::unique_ptr<HostLayer::HostNode> createMemorySource(std::shared_ptr<SourceScript> script,
                                                    const std::string& name = "Source");

// The same for a fixed clip: frames first to last of width x height pixels.
std::unique_ptr<HostLayer::HostNode> createMemorySource(int width, int height, int first, int last,
                                                    const DD::Image::ChannelSet& channels, PixelFunction value,
                                                    const std::string& name = "Source");

} // namespace testsupport

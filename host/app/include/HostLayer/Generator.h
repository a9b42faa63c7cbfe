#pragma once

#include "DDImage/ChannelSet.h"
#include "DDImage/Node.h"

#include <functional>
#include <memory>
#include <string>

namespace HostLayer {

// A generator node for tests: value(channel, x, y, frame) over [0,w)x[0,h).
using PixelFunction = std::function<float(DD::Image::Channel, int x, int y, double frame)>;
std::unique_ptr<DD::Image::Node> createGeneratorNode(const std::string& name, int width, int height, int first,
                                                     int last, const DD::Image::ChannelSet& channels,
                                                     PixelFunction value);

} // namespace HostLayer

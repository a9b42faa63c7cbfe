#pragma once

#include "HostLayer/HostNode.h"
#include "device/Image.h"

#include <memory>
#include <string>

namespace devicecheck {

// A host node serving two images from memory as frames 1 and 2 of an RGB
// clip; frames before 1 hold the first, frames after 2 the second. Not the
// tests' memory source (support/MemorySource.h): that one calls a function
// for every value, which for a 1080p pair costs some 35 ms of CPU time more
// per output frame (measured on a 2-core machine), inside the node timings
// this program reports; this one reads the images in place.
std::unique_ptr<HostLayer::HostNode> createFramePairNode(const std::string& name, std::shared_ptr<const Image> first,
                                                     std::shared_ptr<const Image> second);

} // namespace devicecheck

#pragma once

#include "DDImage/Node.h"
#include "device/Image.h"

#include <memory>
#include <string>

namespace devicecheck {

// A host node serving two images from memory as frames 1 and 2 of an RGB
// clip; frames before 1 hold the first, frames after 2 the second.
std::unique_ptr<DD::Image::Node> createFramePairNode(const std::string& name, std::shared_ptr<const Image> first,
                                                     std::shared_ptr<const Image> second);

} // namespace devicecheck

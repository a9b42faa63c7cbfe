#pragma once

#include "DDImage/Channel.h"

#include <Imath/ImathBox.h>
#include <OpenEXR/ImfPreviewImage.h>

#include <vector>

namespace HostLayer {

// A preview of the size of `like` made from a part's pixels (interleaved,
// top-down, `channels` each, over `window`): its rgb, or its grey channel,
// in sRGB, and its alpha, each preview pixel the mean of the pixels it
// covers.
Imf::PreviewImage makePreview(const std::vector<float>& pixels, const std::vector<DD::Image::Channel>& channels,
                              const Imath::Box2i& window, const Imf::PreviewImage& like);

} // namespace HostLayer

#pragma once

#include "DDImage/Channel.h"
#include "HostLayer/ExrFile.h"

#include <string>
#include <vector>

namespace HostLayer {

// The host channels of every channel of every part of an EXR file, with
// where each lives (`places`, in the same order). A name's layer is what
// comes before its last dot ("forward.left.u": layer "forward.left"); a
// part's unprefixed channels take the part's name as their layer, but the
// first part's, whose R, G, B and A are rgba's, Z depth's, and any other
// name the layer "other"'s. Layers keep R, G, B and A as red, green, blue
// and alpha. Within a layer red, green, blue and alpha come first. Names the
// host cannot hold (spaces, a name used twice) get a host name of their own;
// the file's name stays in the place. Throws std::runtime_error naming the
// file when the host runs out of channels.
std::vector<DD::Image::Channel> presentExrChannels(const std::string& path, const std::vector<Imf::Header>& parts,
                                                   std::vector<ExrChannelPlace>& places);

} // namespace HostLayer

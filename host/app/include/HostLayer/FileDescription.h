#pragma once

#include <OpenImageIO/imageio.h>

#include <string>

namespace HostLayer {

// The whole header of an image file (or of one frame of a movie) as
// OpenImageIO describes it: windows, channel names and types, compression
// and every attribute. Checked as readImageHeader checks it; throws
// std::runtime_error naming the file on failure.
OIIO::ImageSpec readFileDescription(const std::string& path, int subimage = 0);

} // namespace HostLayer

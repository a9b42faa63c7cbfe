#pragma once

#include <OpenImageIO/imageio.h>

#include <string>
#include <vector>

namespace HostLayer {

// Luminance/chroma EXR files (Y with subsampled RY and BY), which
// OpenImageIO does not open, are read through OpenEXR's RGBA interface,
// which turns them into RGB (and A), as OpenEXR defines it.

// Whether `path` is such a file.
bool isLumaChromaExr(const std::string& path);

// Its header as OpenImageIO would give an RGB(A) half file: the windows,
// the pixel aspect, the compression and the channels R, G, B (and A).
OIIO::ImageSpec lumaChromaDescription(const std::string& path);

// Its pixels as RGB(A) floats, interleaved, the top row first, for the
// data window of `desc` (lumaChromaDescription). Throws std::runtime_error
// naming the file when it cannot be read whole.
std::vector<float> readLumaChroma(const std::string& path, const OIIO::ImageSpec& desc);

} // namespace HostLayer

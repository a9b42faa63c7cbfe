#pragma once

#include "DDImage/ImagePlane.h"

#include <string>

namespace cli {

struct WriteSettings {
  bool floatExr = false;  // 32-bit float EXR instead of 16-bit half
};

// Writes a plane to `path`, the format chosen by the extension: .exr (every
// channel, layers kept, half or float, ZIP), .png, .tif/.tiff, .jpg/.jpeg and
// .dpx (the rgba channels, encoded to sRGB as the reader decodes them). The
// image goes to a temporary file in the same folder and is renamed into place
// only when complete. Throws std::runtime_error naming the file on failure;
// nothing is left behind then, and an earlier file of that name is kept.
void writeImage(const std::string& path, const DD::Image::ImagePlane& plane, const WriteSettings& settings);

// Whether an extension names a format writeImage supports.
bool supportedOutputExtension(const std::string& path);

} // namespace cli

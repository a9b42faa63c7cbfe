#pragma once

#include "DDImage/ImagePlane.h"
#include "DDImage/Iop.h"

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
// `format` is the frame the plane belongs to: an EXR file gets the plane as
// its data window inside the format as its display window, other files hold
// the format; an empty format makes the plane the whole frame.
void writeImage(const std::string& path, const DD::Image::ImagePlane& plane, const WriteSettings& settings,
                const DD::Image::Format& format = {});

// Whether an extension names a format writeImage supports.
bool supportedOutputExtension(const std::string& path);

} // namespace cli

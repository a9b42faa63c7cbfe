#pragma once

#include "DDImage/Channel.h"
#include "DDImage/Iop.h"
#include "HostLayer/Srgb.h"

#include <string>
#include <vector>

namespace HostLayer {

// Windows are in the file's coordinates: x to the right, y downwards. The
// pixels are the data window; the display window is the frame they belong to
// (OpenEXR's windows; other files have one window, both the same).
struct ImageHeader {
  int width = 0;   // of the data window
  int height = 0;
  int x = 0;       // the data window's top-left pixel
  int y = 0;
  int fullX = 0;   // the display window; fullWidth 0: the data window
  int fullY = 0;
  int fullWidth = 0;
  int fullHeight = 0;
  int subimages = 1;
  bool movie = false;
  std::string colorSpace;  // what the pixels were converted to scene linear from (readImageFile)
  std::vector<DD::Image::Channel> channels;  // as the reader presents them
};

// Image data in the host's layout: one block per channel in `channels` order,
// rows bottom-up.
struct ImageData {
  ImageHeader header;
  std::vector<float> pixels;
};

// The host's view of the windows (y upwards, the display window's bottom-left
// pixel at 0, 0): the display window is the format, the data window the box.
DD::Image::Format displayFormat(const ImageHeader& h);
DD::Image::Box dataBox(const ImageHeader& h);

// Reads the header of a file (or of one frame of a movie). Throws
// std::runtime_error("cannot open FILE: why") on failure.
ImageHeader readImageHeader(const std::string& path, int subimage = 0);

// Reads every channel; red, green and blue are converted from `colorSpace`
// (empty: the file's default, defaultColorSpace) to scene linear. A one-channel image is presented as rgb, a
// two-channel one as rgb and alpha; "R", "G", "B", "A" name rgba's channels,
// "Z" depth.Z, and "layer.R" the channel "layer.red". Throws
// std::runtime_error naming the file on failure (missing, truncated, corrupt).
ImageData readImageFile(const std::string& path, int subimage = 0, const std::string& colorSpace = "");

// The name a channel is written under ("R", "diffuse.G", "depth.Z" as "Z").
std::string fileChannelName(DD::Image::Channel c);

} // namespace HostLayer

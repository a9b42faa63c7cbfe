#pragma once

#include "DDImage/Channel.h"
#include "DDImage/Iop.h"
#include "HostLayer/Srgb.h"

#include <memory>
#include <string>
#include <vector>

namespace HostLayer {

struct ExrLayout;

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
  // An EXR file's parts, names and attributes, for writing frames back as it
  // holds them; null for other files.
  std::shared_ptr<const ExrLayout> exr;
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
// (empty: the file's default, defaultColorSpace) to scene linear, and a
// grey file's channel as a neutral. "R", "G", "B", "A" name rgba's channels,
// "Z" depth.Z, "layer.R" the channel "layer.red", and other names the
// layer's channel of that name ("other.Y" for a name without a layer: the
// grey channel of a one- or two-channel file). EXR files keep every part
// and name (ExrFile.h). Throws std::runtime_error naming the file on failure
// (missing, truncated, corrupt).
ImageData readImageFile(const std::string& path, int subimage = 0, const std::string& colorSpace = "");

// The name a channel is written under where the source names none ("R",
// "diffuse.G", "Z" for depth.Z, "Y" for other.Y).
std::string fileChannelName(DD::Image::Channel c);

} // namespace HostLayer

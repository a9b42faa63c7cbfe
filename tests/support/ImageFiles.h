#pragma once

#include <OpenImageIO/imageio.h>

#include <string>
#include <vector>

namespace testsupport {

// Whether the image file at `path` opens and every pixel of it reads.
inline bool readsWhole(const std::string& path)
{
  auto in = OIIO::ImageInput::create(path);
  OIIO::ImageSpec header;
  if (!in || !in->open(path, header))
    return false;
  std::vector<float> px(size_t(header.image_pixels()) * header.nchannels);
  return in->read_image(0, 0, 0, header.nchannels, OIIO::TypeDesc::FLOAT, px.data());
}

// The header of the image file at `path`: windows, channels and attributes
// (an empty one, 0 x 0, when it does not open).
inline OIIO::ImageSpec fileDescription(const std::string& path)
{
  auto in = OIIO::ImageInput::create(path);
  OIIO::ImageSpec header;
  if (!in || !in->open(path, header))
    return OIIO::ImageSpec();
  return header;
}

// The channel names stored in the image file at `path` (empty when it does not open).
inline std::vector<std::string> channelNames(const std::string& path) { return fileDescription(path).channelnames; }

} // namespace testsupport

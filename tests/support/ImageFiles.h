#pragma once

// Image files through OpenImageIO: the one writer the tests make images
// with, and what they read back.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testsupport {

// Writes the image file `path`, of the type its extension names: the size,
// windows, channels, stored type and attributes of `header`, and `pixels`, of
// type `pixelType`, channel-interleaved, rows top-down over the data window.
[[nodiscard]] inline ::testing::AssertionResult writeImage(const std::string& path, const OIIO::ImageSpec& header,
                                                           const void* pixels, OIIO::TypeDesc pixelType)
{
  auto out = OIIO::ImageOutput::create(path);
  if (!out)
    return ::testing::AssertionFailure() << "no image writer for " << path << ": " << OIIO::geterror();
  const bool written = out->open(path, header) && out->write_image(pixelType, pixels) && out->close();
  if (!written)
    return ::testing::AssertionFailure() << "cannot write " << path << ": " << out->geterror();
  return ::testing::AssertionSuccess();
}

// The same, of float pixels: one value per channel of every pixel.
[[nodiscard]] inline ::testing::AssertionResult writeImage(const std::string& path, const OIIO::ImageSpec& header,
                                                           const std::vector<float>& pixels)
{
  const size_t values = size_t(header.image_pixels()) * size_t(header.nchannels);
  if (pixels.size() != values)
    return ::testing::AssertionFailure() << path << ": " << pixels.size() << " values for " << values;
  return writeImage(path, header, pixels.data(), OIIO::TypeDesc::FLOAT);
}

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

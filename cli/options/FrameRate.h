#pragma once

#include "cli/output/OutputMetadata.h"

#include <OpenImageIO/imageio.h>

#include <optional>
#include <string>

namespace cli {

// A frame rate as a fraction, as movies and EXR headers hold it.
struct FrameRate {
  int numerator = 24;
  int denominator = 1;

  double value() const { return double(numerator) / double(denominator); }
  // "24", or "24000/1001" where it is not a whole number.
  std::string text() const;
  // "24", "23.976": as people say it.
  std::string decimal() const;
};

// "25", "24000/1001", "12.5", or a decimal of the NTSC rates ("23.976",
// "23.98", "29.97", "59.94"), which is read as the exact N*1000/1001.
// Nothing when the text is none of these, or not a rate from 1 to 1000.
std::optional<FrameRate> parseFrameRate(const std::string& text);

// The FramesPerSecond attribute of an image header, if it holds a rate.
std::optional<FrameRate> frameRateOf(const OIIO::ImageSpec& desc);
// A source's frame rate, if it has one.
std::optional<FrameRate> frameRateOf(const SourceClock& clock);

} // namespace cli

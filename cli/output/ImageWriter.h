#pragma once

#include "DDImage/ImagePlane.h"
#include "DDImage/Iop.h"
#include "cli/output/OutputMetadata.h"

#include <memory>
#include <string>
#include <vector>

namespace cli {

struct WriteSettings {
  ExrChannelType exrType = ExrChannelType::AsSource;  // --half, --float
  std::string compression;  // --compression: an EXR compression; empty: the source's, else zip
  std::string colorSpace;   // --output-colorspace; empty: the file type's default
};

// What a written frame carries besides its pixels.
struct FrameContext {
  // The frame the plane belongs to: an EXR gets the plane as its data window
  // inside the format as its display window, other files hold the format.
  // Empty: the plane is the whole frame.
  DD::Image::Format format;
  // The layout of the EXR file the frame comes from (its frame0), if any:
  // its parts, channel names and types, attributes and compression come back.
  std::shared_ptr<const HostLayer::ExrLayout> exr;
  SourceClock clock;                // the source's frame rate and timecode
  long long framesAfterSource = 0;  // the output frame's distance from the source's frame
};

// Writes a plane to `path`, the format chosen by the extension: .exr (every
// channel, in the source EXR's parts under its names, types and attributes,
// in the context's windows), .png, .tif/.tiff, .jpg/.jpeg and .dpx (the
// rgba channels, or a grey file's one channel, with alpha where there is
// one; 8 bits for PNG and JPEG, 16 for TIFF, 10 for DPX).
// Colour is encoded in the settings' colour space, by default the one the
// application's Write node takes for the file type: scene linear for EXR,
// the log one for DPX, sRGB (matte_paint, texture_paint) for the others. The
// image goes to a temporary file in the same folder and is renamed into place
// only when complete. Throws std::runtime_error naming the file on failure;
// nothing is left behind then, and an earlier file of that name is kept.
void writeImage(const std::string& path, const DD::Image::ImagePlane& plane, const WriteSettings& settings,
                const FrameContext& context = {});

// The region's pixels of `chans` interleaved top-down, zeros outside the
// plane and for channels it lacks.
std::vector<float> interleaved(const DD::Image::ImagePlane& plane, const std::vector<DD::Image::Channel>& chans,
                               const DD::Image::Box& region);

// Encodes the linear colour of interleaved pixels of `chans` in
// `colorSpace`; `integer` files get 0 for what is not a finite number.
void encodeColor(std::vector<float>& pixels, const std::vector<DD::Image::Channel>& chans,
                 const std::string& colorSpace, bool integer);

// Whether an extension names a format writeImage supports.
bool supportedOutputExtension(const std::string& path);

} // namespace cli

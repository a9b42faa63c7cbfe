#pragma once

#include "HostLayer/ImageFile.h"

#include <OpenImageIO/color.h>

#include <string>
#include <vector>

namespace HostLayer {

// The OpenColorIO configuration every read and write converts through: the
// one $OCIO names, else the one that comes with the host layer
// (ocio/config.ocio beside its library: scene-linear Rec.709, sRGB, Rec709,
// Cineon). Loaded once; throws std::runtime_error when it cannot be.
const OIIO::ColorConfig& colorConfig();
// Where the configuration came from, for messages.
std::string colorConfigSource();

// `name` when the configuration has such a colour space or role; else
// throws std::runtime_error listing the colour spaces it has.
std::string checkedColorSpace(const std::string& name);

// What a file's pixels are, for the choice of its default colour space.
enum class Encoding { Float, Integer8, Integer16, Log, Video };

// The colour space the application's Read and Write nodes take for such
// pixels, through the configuration's roles: scene_linear for float,
// matte_paint for 8 bits, texture_paint for 16 bits, compositing_log for log
// (Cineon DPX), and Rec709 (when the configuration has it, else matte_paint)
// for movies.
std::string defaultColorSpace(Encoding encoding);

// The encoding of a file as OpenImageIO describes it (a DPX whose transfer
// is printing density or logarithmic is Log).
Encoding fileEncoding(const OIIO::ImageSpec& desc);

// Whether converting from `from` to `to` changes anything.
bool convertsColor(const std::string& from, const std::string& to);

// Converts the red, green and blue of interleaved pixels (`channels` per
// pixel, red, green and blue at `rgb`) from `from` to `to` in place; every
// other channel is left as it is.
void convertColor(float* pixels, size_t count, int channels, const int rgb[3], const std::string& from,
                  const std::string& to);

// The same for an image in the host's layout (one block per channel): its
// red, green and blue blocks, when it has all three, into scene linear.
void toSceneLinear(ImageData& img, const std::string& from);

} // namespace HostLayer

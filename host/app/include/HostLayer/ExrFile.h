#pragma once

#include "DDImage/Channel.h"
#include "DDImage/ImagePlane.h"
#include "DDImage/Iop.h"

#include <OpenEXR/ImfHeader.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace HostLayer {

struct ImageData;
struct ImageHeader;

// Where one of the reader's channels lives in an EXR file.
struct ExrChannelPlace {
  int part = 0;
  std::string name;  // in that part, as the file spells it ("forward.left.u")
};

// How an EXR file holds its pixels: every part's header as the file has it
// (windows, channel list and types, compression, tiles, name, view and every
// other attribute) and, for each channel the reader presents (the header's
// channels, in order), where it lives. A written frame takes this
// layout back: the same parts, names, types and attributes.
struct ExrLayout {
  std::vector<Imf::Header> parts;
  std::vector<DD::Image::Channel> channels;  // the host's channels
  std::vector<ExrChannelPlace> places;       // where each of them lives
  // Read through OpenEXR's RGBA interface from luminance and chroma
  // channels: the parts hold R, G, B (and A) instead, every attribute kept.
  bool lumaChroma = false;
};

// Whether the file starts with OpenEXR's magic number.
bool isExrFile(const std::string& path);

// The header of an EXR file: the union of its parts' data windows, part 0's
// display window, the channels of every part and its layout. Deep parts are
// refused. Throws std::runtime_error naming the file.
ImageHeader readExrHeader(const std::string& path);

// Every channel of every part as float, planar and bottom-up over the
// header's data window; zeros where a part's window does not reach.
ImageData readExrFile(const std::string& path);

// How the channels of an EXR file are typed when written.
enum class ExrChannelType { AsSource, Half, Float };

// One frame to encode as an EXR file.
struct ExrFrame {
  const DD::Image::ImagePlane* plane = nullptr;  // its bounds are the data window (host coordinates)
  DD::Image::Format format;                      // the display window; empty: the plane's bounds
  std::vector<DD::Image::Channel> channels;      // the plane's channels to write, in order
  // The source frame's layout: its parts, names, types and attributes come
  // back. Null: one part, channels named after the host's names.
  std::shared_ptr<const ExrLayout> layout;
  ExrChannelType type = ExrChannelType::AsSource;
  std::string compression;  // "zip", "dwaa:45", ...; empty: the source's, else zip
  std::string colorSpace;   // of the written rgb values; empty: scene linear
  // The frame rate, where the source's header has none (a movie's), and the
  // timecode of the output frame (packed as SMPTE time and flags; the
  // source's user bits are kept).
  std::optional<std::pair<int, int>> framesPerSecond;
  std::optional<uint32_t> timecode;
  std::string software;  // the "Software" attribute
};

// The frame rate and timecode (time and flags, then user bits) a layout's
// first part carries, where it does.
struct ExrClock {
  std::optional<std::pair<int, int>> framesPerSecond;
  std::optional<std::pair<uint32_t, uint32_t>> timecode;
};
ExrClock exrClock(const ExrLayout& layout);

// The whole file in memory. Throws std::runtime_error saying why.
std::vector<unsigned char> encodeExr(const ExrFrame& frame);

// The name a channel is written under where no layout names it: "R" for
// rgba.red, "Z" for depth.Z, "Y" for other.Y, "diffuse.R" for diffuse.red.
std::string exrChannelName(DD::Image::Channel c);

} // namespace HostLayer

// Writing EXR files through OpenEXR: a frame goes back into its source's
// parts, under the source's names and types, with every attribute it had.
#include "HostLayer/ExrFile.h"

#include "ExrPreview.h"
#include "HostLayer/ColorSpaces.h"

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfIO.h>
#include <OpenEXR/ImfMultiPartOutputFile.h>
#include <OpenEXR/ImfOutputPart.h>
#include <OpenEXR/ImfPartType.h>
#include <OpenEXR/ImfRationalAttribute.h>
#include <OpenEXR/ImfStandardAttributes.h>
#include <OpenEXR/ImfTiledOutputPart.h>

#include <Imath/half.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <stdexcept>
#include <type_traits>

using namespace DD::Image;

namespace HostLayer {

namespace {

// OpenEXR writes into memory; the caller puts the bytes on disk.
class MemoryStream : public Imf::OStream {
public:
  MemoryStream() : Imf::OStream("memory") {}
  void write(const char c[], int n) override
  {
    if (pos_ + uint64_t(n) > bytes_.size())
      bytes_.resize(pos_ + uint64_t(n));
    std::memcpy(bytes_.data() + pos_, c, size_t(n));
    pos_ += uint64_t(n);
  }
  uint64_t tellp() override { return pos_; }
  void seekp(uint64_t pos) override { pos_ = pos; }
  std::vector<unsigned char> take() { return std::move(bytes_); }

private:
  std::vector<unsigned char> bytes_;
  uint64_t pos_ = 0;
};

// "zip", "dwaa:45": the method, and its level where one is given.
struct Compression {
  Imf::Compression method = Imf::ZIP_COMPRESSION;
  int level = -1;
};

Compression parseCompression(const std::string& text)
{
  static const std::map<std::string, Imf::Compression> methods = {
    {"none", Imf::NO_COMPRESSION}, {"rle", Imf::RLE_COMPRESSION},   {"zips", Imf::ZIPS_COMPRESSION},
    {"zip", Imf::ZIP_COMPRESSION}, {"piz", Imf::PIZ_COMPRESSION},   {"pxr24", Imf::PXR24_COMPRESSION},
    {"b44", Imf::B44_COMPRESSION}, {"b44a", Imf::B44A_COMPRESSION}, {"dwaa", Imf::DWAA_COMPRESSION},
    {"dwab", Imf::DWAB_COMPRESSION}};
  const size_t colon = text.find(':');
  const auto it = methods.find(text.substr(0, colon));
  if (it == methods.end())
    throw std::runtime_error("'" + text + "' is not an EXR compression");
  Compression c{it->second, -1};
  if (colon != std::string::npos)
    c.level = std::stoi(text.substr(colon + 1));
  return c;
}

void applyCompression(Imf::Header& h, const std::string& asked)
{
  if (asked.empty())
    return;
  const Compression c = parseCompression(asked);
  h.compression() = c.method;
  // A level the source gave for its own method does not carry over to another.
  h.erase("dwaCompressionLevel");
  if (c.level < 0)
    return;
  if (c.method == Imf::DWAA_COMPRESSION || c.method == Imf::DWAB_COMPRESSION) {
    h.dwaCompressionLevel() = float(c.level);
    h.insert("dwaCompressionLevel", Imf::FloatAttribute(float(c.level)));
  } else {
    h.zipCompressionLevel() = c.level;
  }
}

Imf::PixelType pixelType(const Imf::Channel* source, ExrChannelType choice)
{
  if (choice == ExrChannelType::Float)
    return Imf::FLOAT;
  if (choice == ExrChannelType::Half || !source)
    return Imf::HALF;
  return source->type;
}

// Host coordinates (y upwards) to the file's (y downwards from the display
// window's top): x' = ox + x, y' = oy + height - 1 - y.
struct FileAxes {
  int ox = 0, oy = 0, height = 0;
  Imath::Box2i toFile(const Box& b) const
  {
    return Imath::Box2i(Imath::V2i(ox + b.x(), oy + height - b.t()), Imath::V2i(ox + b.r() - 1, oy + height - 1 - b.y()));
  }
};

// One part of the file to write: its header and the plane's channels in it.
struct PartPlan {
  Imf::Header header;
  std::vector<Channel> channels;
  std::vector<std::string> names;
  std::vector<Imf::PixelType> types;
};

void addChannel(PartPlan& part, Channel c, const std::string& name, const Imf::Channel* source, ExrChannelType type)
{
  part.channels.push_back(c);
  part.names.push_back(name);
  part.types.push_back(pixelType(source, type));
}

// The source's parts with the channels of the plane that live in them;
// channels no part holds go into the first one.
std::vector<PartPlan> planParts(const ExrFrame& frame)
{
  std::vector<PartPlan> parts;
  const ExrLayout* layout = frame.layout.get();
  for (size_t p = 0; layout && p < layout->parts.size(); ++p)
    parts.push_back(PartPlan{layout->parts[p], {}, {}, {}});
  if (parts.empty())
    parts.push_back(PartPlan{});
  for (Channel c : frame.channels) {
    const auto found = layout ? std::find(layout->channels.begin(), layout->channels.end(), c) : frame.channels.end();
    if (layout && found != layout->channels.end()) {
      const ExrChannelPlace& place = layout->places[size_t(found - layout->channels.begin())];
      PartPlan& part = parts[size_t(place.part)];
      addChannel(part, c, place.name, part.header.channels().findChannel(place.name), frame.type);
    } else {
      addChannel(parts[0], c, exrChannelName(c), nullptr, frame.type);
    }
  }
  parts.erase(std::remove_if(parts.begin(), parts.end(), [](const PartPlan& p) { return p.channels.empty(); }),
              parts.end());
  if (parts.empty())
    throw std::runtime_error("no channel to write");
  return parts;
}

// Where the frame lies in the file: its display window, and the axes that
// turn host boxes into file windows.
struct Placement {
  FileAxes axes;
  Imath::Box2i display;
};

Placement placement(const ExrFrame& frame)
{
  const Box& box = frame.plane->bounds();
  Placement p;
  if (frame.format.width > 0 && frame.format.height > 0) {
    const Imath::V2i origin = frame.layout ? frame.layout->parts[0].displayWindow().min : Imath::V2i(0, 0);
    p.axes = FileAxes{origin.x, origin.y, frame.format.height};
    p.display = p.axes.toFile(Box(0, 0, frame.format.width, frame.format.height));
  } else {
    // No frame around the plane: the plane is the whole picture.
    p.axes = FileAxes{-box.x(), 0, box.t()};
    p.display = p.axes.toFile(box);
  }
  return p;
}

// Parts whose windows differ in the source keep their own; otherwise every
// part takes the plane's box.
Imath::Box2i partWindow(const ExrFrame& frame, const PartPlan& part, const Placement& where)
{
  const ExrLayout* layout = frame.layout.get();
  bool differ = false;
  for (size_t p = 1; layout && p < layout->parts.size(); ++p)
    differ = differ || layout->parts[p].dataWindow() != layout->parts[0].dataWindow();
  return differ ? part.header.dataWindow() : where.axes.toFile(frame.plane->bounds());
}

// The plane's values of a part's channels over its window, interleaved, rows
// top-down as the file holds them; zeros where the plane does not reach.
std::vector<float> partPixels(const ImagePlane& plane, const PartPlan& part, const Imath::Box2i& window,
                              const FileAxes& axes)
{
  const int64_t w = int64_t(window.max.x) - window.min.x + 1, h = int64_t(window.max.y) - window.min.y + 1;
  const size_t nc = part.channels.size();
  std::vector<float> pixels(size_t(w * h) * nc, 0.0f);
  const Box& b = plane.bounds();
  const float* data = plane.readable();
  for (size_t k = 0; k < nc && data; ++k) {
    const int z = plane.chanNo(part.channels[k]);
    if (z < 0)
      continue;
    for (int64_t row = 0; row < h; ++row) {
      const int y = axes.oy + axes.height - 1 - int(window.min.y + row);
      if (y < b.y() || y >= b.t())
        continue;
      const float* in = data + (y - b.y()) * plane.rowStride() + z * plane.chanStride();
      float* out = pixels.data() + size_t(row * w) * nc + k;
      for (int64_t col = 0; col < w; ++col) {
        const int x = int(window.min.x + col) - axes.ox;
        if (x >= b.x() && x < b.r())
          out[size_t(col) * nc] = in[(x - b.x()) * plane.colStride()];
      }
    }
  }
  return pixels;
}

// Scene-linear rgb (or a grey file's channel, as a neutral) in the frame's colour space.
void encodeColour(std::vector<float>& pixels, const PartPlan& part, const std::string& colorSpace)
{
  const std::string linear = defaultColorSpace(Encoding::Float);
  if (colorSpace.empty() || !convertsColor(linear, colorSpace) || part.channels.empty())
    return;
  const auto at = [&](Channel c) {
    const auto it = std::find(part.channels.begin(), part.channels.end(), c);
    return it == part.channels.end() ? -1 : int(it - part.channels.begin());
  };
  int rgb[3] = {at(Chan_Red), at(Chan_Green), at(Chan_Blue)};
  if (rgb[0] < 0 || rgb[1] < 0 || rgb[2] < 0)
    rgb[0] = rgb[1] = rgb[2] = at(findChannel("other.Y"));
  if (rgb[0] >= 0)
    convertColor(pixels.data(), pixels.size() / part.channels.size(), int(part.channels.size()), rgb, linear,
                 colorSpace);
}

// One channel of interleaved float pixels in the file's type: OpenEXR
// writes each channel from a buffer of its own type. Unsigned channels
// (object ids) hold whole numbers, rounded from the float values.
template <typename T>
std::vector<T> channelValues(const std::vector<float>& pixels, size_t nc, size_t k)
{
  std::vector<T> out(pixels.size() / nc);
  for (size_t i = 0; i < out.size(); ++i) {
    const float v = pixels[i * nc + k];
    if constexpr (std::is_same_v<T, uint32_t>)
      out[i] = std::isfinite(v) && v > 0.0f ? uint32_t(std::min<double>(std::round(v), UINT32_MAX)) : 0u;
    else
      out[i] = T(v);
  }
  return out;
}

// OpenEXR's slice for pixel (x, y) of `window` in an interleaved, top-down
// buffer of `nc` values of `size` bytes a pixel: address = base + x * xStride
// + y * yStride.
Imf::Slice interleavedSlice(Imf::PixelType type, size_t size, const void* buffer, size_t nc, size_t k,
                            const Imath::Box2i& window)
{
  const int64_t w = int64_t(window.max.x) - window.min.x + 1;
  const int64_t first = -(int64_t(window.min.y) * w + window.min.x) * int64_t(nc) + int64_t(k);
  const intptr_t base = intptr_t(buffer) + intptr_t(first * int64_t(size));
  return Imf::Slice(type, reinterpret_cast<char*>(base), nc * size, size_t(w) * nc * size);
}

void setTimecode(Imf::Header& h, const ExrFrame& frame)
{
  if (frame.framesPerSecond && !Imf::hasFramesPerSecond(h) && h.find("FramesPerSecond") == h.end())
    Imf::addFramesPerSecond(h, Imf::Rational(frame.framesPerSecond->first, unsigned(frame.framesPerSecond->second)));
  if (!frame.timecode)
    return;
  const unsigned int user = Imf::hasTimeCode(h) ? Imf::timeCode(h).userData() : 0u;
  Imf::addTimeCode(h, Imf::TimeCode(*frame.timecode, user));
}

// The part's header as written: the source's with the new windows, channel
// list, compression, timecode and software; tiles of one level (levels are
// not made again); a preview made afresh.
Imf::Header partHeader(const ExrFrame& frame, const PartPlan& part, const Imath::Box2i& window,
                       const Placement& where)
{
  Imf::Header h = part.header;
  h.displayWindow() = where.display;
  h.dataWindow() = window;
  Imf::ChannelList list;
  for (size_t k = 0; k < part.names.size(); ++k)
    list.insert(part.names[k], Imf::Channel(part.types[k]));
  h.channels() = list;
  if (!frame.layout)
    h.compression() = Imf::ZIP_COMPRESSION;
  applyCompression(h, frame.compression);
  if (h.hasTileDescription()) {
    Imf::TileDescription tiles = h.tileDescription();
    tiles.mode = Imf::ONE_LEVEL;
    h.setTileDescription(tiles);
  }
  h.setType(h.hasTileDescription() ? Imf::TILEDIMAGE : Imf::SCANLINEIMAGE);
  h.erase("chunkCount");
  setTimecode(h, frame);
  h.insert("Software", Imf::StringAttribute(frame.software));
  return h;
}

void writePart(Imf::MultiPartOutputFile& file, int index, const PartPlan& part, const std::vector<float>& pixels,
               const Imath::Box2i& window)
{
  const size_t nc = part.channels.size();
  std::vector<std::vector<half>> halves;
  std::vector<std::vector<uint32_t>> whole;
  halves.reserve(nc);
  whole.reserve(nc);
  Imf::FrameBuffer buffer;
  for (size_t k = 0; k < nc; ++k) {
    const std::string& name = part.names[k];
    if (part.types[k] == Imf::HALF) {
      halves.push_back(channelValues<half>(pixels, nc, k));
      buffer.insert(name, interleavedSlice(Imf::HALF, sizeof(half), halves.back().data(), 1, 0, window));
    } else if (part.types[k] == Imf::UINT) {
      whole.push_back(channelValues<uint32_t>(pixels, nc, k));
      buffer.insert(name, interleavedSlice(Imf::UINT, sizeof(uint32_t), whole.back().data(), 1, 0, window));
    } else {
      buffer.insert(name, interleavedSlice(Imf::FLOAT, sizeof(float), pixels.data(), nc, k, window));
    }
  }
  if (file.header(index).hasTileDescription()) {
    Imf::TiledOutputPart out(file, index);
    out.setFrameBuffer(buffer);
    out.writeTiles(0, out.numXTiles() - 1, 0, out.numYTiles() - 1);
  } else {
    Imf::OutputPart out(file, index);
    out.setFrameBuffer(buffer);
    out.writePixels(window.max.y - window.min.y + 1);
  }
}

} // namespace

std::vector<unsigned char> encodeExr(const ExrFrame& frame)
{
  const std::vector<PartPlan> parts = planParts(frame);
  const Placement where = placement(frame);
  std::vector<Imf::Header> headers;
  std::vector<std::vector<float>> pixels;
  for (const PartPlan& part : parts) {
    const Imath::Box2i window = partWindow(frame, part, where);
    pixels.push_back(partPixels(*frame.plane, part, window, where.axes));
    encodeColour(pixels.back(), part, frame.colorSpace);
    headers.push_back(partHeader(frame, part, window, where));
    if (part.header.hasPreviewImage())
      headers.back().setPreviewImage(makePreview(pixels.back(), part.channels, window, part.header.previewImage()));
  }
  MemoryStream stream;
  {
    Imf::MultiPartOutputFile file(stream, headers.data(), int(headers.size()));
    for (size_t p = 0; p < parts.size(); ++p)
      writePart(file, int(p), parts[p], pixels[p], headers[p].dataWindow());
  }
  return stream.take();
}

std::string exrChannelName(Channel c)
{
  static const std::map<std::string, std::string> colours = {
    {"red", "R"}, {"green", "G"}, {"blue", "B"}, {"alpha", "A"}};
  const std::string name = getName(c);
  const size_t dot = name.rfind('.');
  const std::string layer = name.substr(0, dot);
  const std::string channel = dot == std::string::npos ? name : name.substr(dot + 1);
  const auto it = colours.find(channel);
  const std::string shortName = it != colours.end() ? it->second : channel;
  if (layer == "rgba" || layer == "depth" || layer == "other")
    return shortName;
  return layer + "." + shortName;
}

ExrClock exrClock(const ExrLayout& layout)
{
  ExrClock clock;
  if (layout.parts.empty())
    return clock;
  const Imf::Header& h = layout.parts[0];
  // OpenEXR's name, and the one OpenImageIO writes.
  for (const char* name : {"framesPerSecond", "FramesPerSecond"})
    if (const auto* fps = h.findTypedAttribute<Imf::RationalAttribute>(name); fps && !clock.framesPerSecond)
      clock.framesPerSecond = std::make_pair(fps->value().n, int(fps->value().d));
  if (Imf::hasTimeCode(h))
    clock.timecode = std::make_pair(Imf::timeCode(h).timeAndFlags(), Imf::timeCode(h).userData());
  return clock;
}

} // namespace HostLayer

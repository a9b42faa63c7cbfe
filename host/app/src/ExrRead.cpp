// Reading EXR files through OpenEXR: every part, every channel under its
// own name, every attribute kept in the layout for the writer.
#include "HostLayer/ExrFile.h"

#include "ExrChannelNames.h"
#include "HostLayer/DecodeLimits.h"
#include "HostLayer/ImageFile.h"

#include <OpenEXR/ImfArray.h>
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfInputPart.h>
#include <OpenEXR/ImfMultiPartInputFile.h>
#include <OpenEXR/ImfPartType.h>
#include <OpenEXR/ImfRgbaFile.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <stdexcept>

using namespace DD::Image;

namespace HostLayer {

namespace {

// Walks an OpenEXR file's header(s) and refuses an attribute that claims
// more bytes than the file holds: OpenEXR allocates the claimed size first.
void checkExrHeader(const std::string& path, std::ifstream& in, uint64_t size)
{
  uint32_t version = 0;
  in.read(reinterpret_cast<char*>(&version), 4);
  const bool multipart = (version & 0x1000) != 0;
  auto damaged = [&path](const std::string& why) {
    return std::runtime_error("cannot read " + path + ": damaged OpenEXR header (" + why + ")");
  };
  // Names are read as OpenEXR reads them: up to a terminating zero, or up to
  // 31 characters (255 with long names), where the next field starts.
  const size_t longest = (version & 0x400) != 0 ? 255 : 31;
  auto readName = [&in, longest]() {
    std::string name;
    for (char c; name.size() < longest && in.get(c) && c != '\0';)
      name += c;
    return name;
  };
  for (;;) {
    std::string name = readName();
    if (!in)
      throw damaged("it ends inside the header");
    if (name.empty()) {
      // The end of a header; a multi-part file ends its list with an empty header.
      if (!multipart || in.peek() == '\0')
        return;
      continue;
    }
    readName();
    int32_t bytes = 0;
    if (!in.read(reinterpret_cast<char*>(&bytes), 4))
      throw damaged("it ends inside the header");
    const uint64_t at = uint64_t(in.tellg());
    if (bytes < 0 || uint64_t(bytes) > size - std::min(size, at))
      throw damaged("attribute '" + name + "' claims " + std::to_string(bytes) + " bytes");
    in.seekg(bytes, std::ios::cur);
  }
}

void checkExrAttributes(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  struct stat st;
  const uint64_t size = stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
  char magic[4];
  if (in.read(magic, 4))
    checkExrHeader(path, in, size);
}

bool isDeep(const Imf::Header& h)
{
  return h.hasType() && Imf::isDeepData(h.type());
}

// Luminance and chroma (Y, RY, BY), which OpenEXR's RGBA interface turns
// into RGB; any other channel stored at less than full resolution.
bool subsampled(const Imf::Header& h)
{
  for (auto it = h.channels().begin(); it != h.channels().end(); ++it)
    if (it.channel().xSampling != 1 || it.channel().ySampling != 1)
      return true;
  return h.channels().findChannel("RY") || h.channels().findChannel("BY");
}

// The part headers of a luminance and chroma file as the host sees it: R, G,
// B (and A) in half, every other attribute as the file has it.
Imf::Header asRgb(const std::string& path, const Imf::Header& file)
{
  Imf::RgbaInputFile rgba(path.c_str());
  Imf::Header h = file;
  Imf::ChannelList rgb;
  for (const char* name : {"R", "G", "B"})
    rgb.insert(name, Imf::Channel(Imf::HALF));
  if (rgba.channels() & Imf::WRITE_A)
    rgb.insert("A", Imf::Channel(Imf::HALF));
  h.channels() = rgb;
  return h;
}

ExrLayout readLayout(const std::string& path, Imf::MultiPartInputFile& file)
{
  ExrLayout layout;
  for (int p = 0; p < file.parts(); ++p) {
    if (isDeep(file.header(p)))
      throw std::runtime_error("cannot read " + path + ": deep image data; only flat images can be read");
    layout.parts.push_back(file.header(p));
  }
  if (std::any_of(layout.parts.begin(), layout.parts.end(), subsampled)) {
    if (layout.parts.size() > 1)
      throw std::runtime_error("cannot read " + path + ": luminance and chroma channels in a multi-part file");
    layout.parts[0] = asRgb(path, layout.parts[0]);
    layout.lumaChroma = true;
  }
  return layout;
}

Imath::Box2i unionOfDataWindows(const ExrLayout& layout)
{
  Imath::Box2i all = layout.parts[0].dataWindow();
  for (const Imf::Header& h : layout.parts)
    all.extendBy(h.dataWindow());
  return all;
}

// What OpenEXR or the allocator threw, as the reader's error naming the file.
[[noreturn]] void rethrowNamed(const std::string& path, const char* doing)
{
  try {
    throw;
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("cannot read " + path +
                             ": the image needs more memory than this process may use (damaged header?)");
  } catch (const std::runtime_error& e) {
    const std::string what = e.what();
    if (what.find(path) != std::string::npos)
      throw;
    throw std::runtime_error(std::string(doing) + " " + path + ": " + what);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string(doing) + " " + path + ": " + e.what());
  }
}

ImageHeader headerOf(const std::string& path, std::shared_ptr<ExrLayout> layout)
{
  ImageHeader h;
  const Imath::Box2i data = unionOfDataWindows(*layout);
  const Imath::Box2i display = layout->parts[0].displayWindow();
  h.x = data.min.x;
  h.y = data.min.y;
  h.width = data.max.x - data.min.x + 1;
  h.height = data.max.y - data.min.y + 1;
  h.fullX = display.min.x;
  h.fullY = display.min.y;
  h.fullWidth = display.max.x - display.min.x + 1;
  h.fullHeight = display.max.y - display.min.y + 1;
  h.channels = presentExrChannels(path, layout->parts, layout->places);
  layout->channels = h.channels;
  checkImageSize(path, h.width, h.height, int64_t(h.channels.size()));
  h.exr = std::move(layout);
  return h;
}

// OpenEXR's reader of `path`, once the header was checked for claims the
// file cannot hold, and the header it read into `header`. Errors name the file.
std::unique_ptr<Imf::MultiPartInputFile> openExr(const std::string& path, ImageHeader& header)
{
  try {
    checkExrAttributes(path);
    auto file = std::make_unique<Imf::MultiPartInputFile>(path.c_str());
    header = headerOf(path, std::make_shared<ExrLayout>(readLayout(path, *file)));
    return file;
  } catch (...) {
    rethrowNamed(path, "cannot open");
  }
}

// OpenEXR's slice for pixel (x, y) of the file into a planar block of the
// host's layout (rows bottom-up) over `window`: address = base + x * xStride
// + y * yStride, so the base lies where pixel (0, 0) would be.
Imf::Slice planarSlice(float* block, const Imath::Box2i& window)
{
  const int64_t w = int64_t(window.max.x) - window.min.x + 1;
  const intptr_t origin = intptr_t(block) + intptr_t((int64_t(window.max.y) * w - window.min.x) * 4);
  return Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(origin), sizeof(float), size_t(-w * 4));
}

void readParts(Imf::MultiPartInputFile& file, ImageData& img)
{
  const ExrLayout& layout = *img.header.exr;
  const Imath::Box2i window = unionOfDataWindows(layout);
  const size_t area = size_t(img.header.width) * img.header.height;
  for (int p = 0; p < int(layout.parts.size()); ++p) {
    Imf::FrameBuffer buffer;
    for (size_t k = 0; k < layout.places.size(); ++k)
      if (layout.places[k].part == p)
        buffer.insert(layout.places[k].name, planarSlice(img.pixels.data() + k * area, window));
    Imf::InputPart part(file, p);
    part.setFrameBuffer(buffer);
    const Imath::Box2i data = part.header().dataWindow();
    part.readPixels(data.min.y, data.max.y);
  }
}

void readLumaChroma(const std::string& path, ImageData& img)
{
  Imf::RgbaInputFile file(path.c_str());
  const Imath::Box2i data = file.dataWindow();
  const int w = img.header.width, h = img.header.height;
  Imf::Array2D<Imf::Rgba> rgba(h, w);
  file.setFrameBuffer(&rgba[0][0] - data.min.x - size_t(data.min.y) * w, 1, size_t(w));
  file.readPixels(data.min.y, data.max.y);
  const size_t area = size_t(w) * h;
  const size_t nc = img.header.channels.size();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const size_t at = size_t(h - 1 - y) * w + x;
      const Imf::Rgba& v = rgba[y][x];
      const float values[4] = {v.r, v.g, v.b, v.a};
      for (size_t k = 0; k < nc; ++k) {
        const std::string& name = img.header.exr->places[k].name;
        img.pixels[k * area + at] = values[name == "R" ? 0 : name == "G" ? 1 : name == "B" ? 2 : 3];
      }
    }
}

} // namespace

bool isExrFile(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  char magic[4] = {};
  return in.read(magic, 4) && std::memcmp(magic, "\x76\x2f\x31\x01", 4) == 0;
}

ImageHeader readExrHeader(const std::string& path)
{
  ImageHeader header;
  openExr(path, header);
  return header;
}

ImageData readExrFile(const std::string& path)
{
  ImageData img;
  // One reader for the header and the pixels.
  const std::unique_ptr<Imf::MultiPartInputFile> file = openExr(path, img.header);
  try {
    img.pixels.assign(img.header.channels.size() * size_t(img.header.width) * img.header.height, 0.0f);
    if (img.header.exr->lumaChroma)
      readLumaChroma(path, img);
    else
      readParts(*file, img);
  } catch (...) {
    rethrowNamed(path, "cannot read");
  }
  return img;
}

} // namespace HostLayer

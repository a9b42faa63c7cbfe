#include "HostLayer/ImageFile.h"

#include "HostLayer/ColorSpaces.h"

#include "HostLayer/DecodeLimits.h"
#include "HostLayer/FileDescription.h"
#include "HostLayer/ExrFile.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

using namespace DD::Image;

namespace HostLayer {

namespace {

// The host's name of a channel of a file other than EXR: R, G, B and A are
// rgba's, a grey file's Y (and a name without a layer) the layer "other"'s.
std::string channelForFileName(const std::string& name)
{
  static const std::map<std::string, std::string> suffix = {
    {"R", "red"}, {"G", "green"}, {"B", "blue"}, {"A", "alpha"},
    {"r", "red"}, {"g", "green"}, {"b", "blue"}, {"a", "alpha"},
  };
  const size_t dot = name.rfind('.');
  const std::string layer = dot == std::string::npos ? "" : name.substr(0, dot);
  const std::string chan = dot == std::string::npos ? name : name.substr(dot + 1);
  auto it = suffix.find(chan);
  if (layer.empty() && it != suffix.end())
    return "rgba." + it->second;
  if (layer.empty())
    return chan == "Z" || chan == "z" ? "depth.Z" : "other." + chan;
  return layer + "." + (it != suffix.end() ? it->second : chan);
}

// The channels as the file names them: a one- or two-channel file is grey
// (Y) with alpha, whatever the library calls its channels.
std::vector<Channel> presentedChannels(const OIIO::ImageSpec& desc, std::vector<int>& source)
{
  std::vector<Channel> chans;
  source.clear();
  for (int i = 0; i < desc.nchannels; ++i) {
    std::string n = i < int(desc.channelnames.size()) ? desc.channelnames[i] : "";
    if (desc.nchannels <= 2)
      n = i == 0 ? "Y" : "A";
    if (n.empty())
      n = "channel" + std::to_string(i);
    Channel c = getChannel(channelForFileName(n).c_str());
    if (c == Chan_Black || std::find(chans.begin(), chans.end(), c) != chans.end())
      continue;
    chans.push_back(c);
    source.push_back(i);
  }
  return chans;
}

// What a file's first bytes tell before the image library reads it; for a
// DPX file, the header fields the library allocates by before checking them.
struct FilePreamble {
  uint64_t size = 0;         // bytes in the file
  bool dpx = false;          // the file starts with a DPX magic number
  uint64_t dataOffset = 0;
  uint64_t headerBytes = 0;  // generic, industry and user data sections together
  uint32_t width = 0;        // pixels per line
  uint32_t height = 0;       // lines per element
  uint16_t packing = 0;      // the first element's: 0 packed, 1 and 2 filled to 32-bit words
};

// Reads a DPX header's fields into `p` once its magic number was read into `head`.
void readDpxFields(const std::string& path, std::ifstream& in, unsigned char (&head)[808], FilePreamble& p)
{
  const bool big = std::memcmp(head, "SDPX", 4) == 0;
  p.dpx = true;
  if (!in.read(reinterpret_cast<char*>(head) + 4, sizeof head - 4))
    throw std::runtime_error("cannot read " + path + ": truncated DPX header");
  auto u32 = [&](size_t at) {
    const unsigned char* b = head + at;
    return big ? uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3]
               : uint32_t(b[3]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
  };
  p.dataOffset = u32(4);
  p.headerBytes = uint64_t(u32(24)) + u32(28) + u32(32);
  p.width = u32(772);
  p.height = u32(776);
  p.packing = uint16_t(big ? head[804] << 8 | head[805] : head[805] << 8 | head[804]);
}

// Refuses a DPX header that claims more than the file holds or more pixels
// than the limit: the image library allocates what it claims before checking.
void checkDpxHeader(const std::string& path, const FilePreamble& p)
{
  if (p.dataOffset > p.size || p.headerBytes > p.size)
    throw std::runtime_error("cannot read " + path + ": damaged DPX header (it claims more than the file's " +
                             std::to_string(p.size) + " bytes)");
  checkImageSize(path, p.width, p.height, 1);
}

// A DPX file must hold the pixels its header announces: the reader would
// otherwise return whatever lies past the end. Packed samples are counted at
// their bit depth without line padding, filled ones as the 32-bit words that
// hold them (three 10-bit or two 12-bit samples a word): the least either
// packing needs.
uint64_t dpxPixelBytes(const FilePreamble& p, const OIIO::ImageSpec& desc, int bits)
{
  const uint64_t samples = uint64_t(desc.width) * desc.height * desc.nchannels;
  const bool filled = p.packing == 1 || p.packing == 2;
  if (filled && (bits == 10 || bits == 12)) {
    const uint64_t perWord = bits == 10 ? 3 : 2;
    return (samples + perWord - 1) / perWord * 4;
  }
  return (samples * uint64_t(bits) + 7) / 8;
}

void checkDpxLength(const std::string& path, const FilePreamble& p, const OIIO::ImageSpec& desc)
{
  const int bits = desc.get_int_attribute("oiio:BitsPerSample", int(desc.format.size() * 8));
  const uint64_t needed = p.dataOffset + dpxPixelBytes(p, desc, bits);
  if (p.size < needed)
    throw std::runtime_error("cannot read " + path + ": truncated file (" + std::to_string(p.size) +
                             " bytes, the header needs at least " + std::to_string(needed) + ")");
}

// Header checks done before the image library reads a file, in one pass over its first bytes.
FilePreamble checkBeforeOpening(const std::string& path)
{
  FilePreamble p;
  std::ifstream in(path, std::ios::binary);
  unsigned char head[808] = {};
  if (!in.read(reinterpret_cast<char*>(head), 4))
    return p;
  struct stat st;
  p.size = stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
  if (std::memcmp(head, "SDPX", 4) == 0 || std::memcmp(head, "XPDS", 4) == 0) {
    readDpxFields(path, in, head, p);
    checkDpxHeader(path, p);
  }
  return p;
}

// The image library's own readers refuse larger images too (float RGBA at
// the pixel limit); told again only when the limit changed.
void applyLibraryLimit()
{
  static std::atomic<uint64_t> applied{0};
  const uint64_t limit = maxImagePixels();
  if (applied.exchange(limit) != limit)
    OIIO::attribute("limits:imagesize_MB", int(std::min<uint64_t>(limit * 16 >> 20, 1 << 30) + 1));
}

std::unique_ptr<OIIO::ImageInput> openImage(const std::string& path, int subimage, OIIO::ImageSpec& desc,
                                            FilePreamble& preamble)
{
  applyLibraryLimit();
  preamble = checkBeforeOpening(path);
  auto in = OIIO::ImageInput::open(path);
  if (!in) {
    std::string why = OIIO::geterror();
    throw std::runtime_error("cannot open " + path + ": " + (why.empty() ? "unreadable file" : why));
  }
  // Moves to the subimage (frame of a movie) and describes it.
  if (!in->seek_subimage(subimage, 0, desc))
    throw std::runtime_error("cannot read frame " + std::to_string(subimage + 1) + " of " + path + ": " + in->geterror());
  if (desc.width <= 0 || desc.height <= 0 || desc.nchannels <= 0)
    throw std::runtime_error("cannot read " + path + ": empty image");
  checkImageSize(path, desc.width, desc.height, desc.nchannels);
  // Movies hold their frames as subimages; any other file with several holds parts that would be lost.
  const int parts = desc.get_int_attribute("oiio:subimages", 1);
  if (parts > 1 && desc.get_int_attribute("oiio:Movie", 0) == 0)
    throw std::runtime_error("cannot read " + path + ": a multi-part file (" + std::to_string(parts) +
                             " parts), which cannot be read without dropping parts");
  if (desc.deep)
    throw std::runtime_error("cannot read " + path + ": deep image data; only flat images can be read");
  return in;
}

// EXIF and TIFF orientation (1 to 8): how a viewer turns the stored pixels.
// 5 to 8 turn the picture by a quarter, which swaps its sides.
int orientationOf(const OIIO::ImageSpec& desc)
{
  const int o = desc.get_int_attribute("Orientation", 1);
  return o >= 2 && o <= 8 ? o : 1;
}

// The geometry of the picture as a viewer shows it.
OIIO::ImageSpec orientedGeometry(const OIIO::ImageSpec& desc)
{
  OIIO::ImageSpec shown = desc;
  if (orientationOf(desc) >= 5) {
    std::swap(shown.width, shown.height);
    std::swap(shown.x, shown.y);
    std::swap(shown.full_width, shown.full_height);
    std::swap(shown.full_x, shown.full_y);
  }
  return shown;
}

// Turns interleaved float pixels as the file's orientation says, as a
// rotated movie's frames are turned: the render sees the picture upright.
void applyOrientation(const OIIO::ImageSpec& desc, std::vector<float>& raw, const std::string& path)
{
  if (orientationOf(desc) == 1)
    return;
  OIIO::ImageSpec stored(desc.width, desc.height, desc.nchannels, OIIO::TypeDesc::FLOAT);
  stored.attribute("Orientation", orientationOf(desc));
  const OIIO::ImageBuf source(stored, raw.data());
  const OIIO::ImageBuf shown = OIIO::ImageBufAlgo::reorient(source);
  const OIIO::ImageSpec want = orientedGeometry(desc);
  if (shown.has_error() || shown.spec().width != want.width || shown.spec().height != want.height)
    throw std::runtime_error("cannot read " + path + ": its orientation (" + std::to_string(orientationOf(desc)) +
                             ") could not be applied" + (shown.has_error() ? ": " + shown.geterror() : ""));
  std::vector<float> turned(raw.size());
  shown.get_pixels(shown.roi(), OIIO::TypeDesc::FLOAT, turned.data());
  raw.swap(turned);
}

ImageHeader headerOf(const OIIO::ImageSpec& file)
{
  const OIIO::ImageSpec desc = orientedGeometry(file);
  ImageHeader h;
  h.width = desc.width;
  h.height = desc.height;
  h.x = desc.x;
  h.y = desc.y;
  h.fullX = desc.full_x;
  h.fullY = desc.full_y;
  h.fullWidth = desc.full_width;
  h.fullHeight = desc.full_height;
  h.movie = desc.get_int_attribute("oiio:Movie", 0) != 0;
  h.subimages = std::max(1, desc.get_int_attribute("oiio:subimages", 1));
  std::vector<int> source;
  h.channels = presentedChannels(desc, source);
  return h;
}

} // namespace

DD::Image::Format displayFormat(const ImageHeader& h)
{
  if (h.fullWidth <= 0 || h.fullHeight <= 0)
    return DD::Image::Format{h.width, h.height, ""};
  return DD::Image::Format{h.fullWidth, h.fullHeight, ""};
}

DD::Image::Box dataBox(const ImageHeader& h)
{
  if (h.fullWidth <= 0 || h.fullHeight <= 0)
    return DD::Image::Box(0, 0, h.width, h.height);
  // The data window's top row, counted down from the display window's top.
  const int64_t x = int64_t(h.x) - h.fullX;
  const int64_t top = int64_t(h.y) - h.fullY;
  const int64_t t = int64_t(h.fullHeight) - top;
  const int64_t limit = int64_t(1) << 30;
  if (x < -limit || x > limit || t < -limit || t > limit)
    throw std::runtime_error("data window too far from the display window");
  return DD::Image::Box(int(x), int(t - h.height), int(x + h.width), int(t));
}

OIIO::ImageSpec readFileDescription(const std::string& path, int subimage)
{
  OIIO::ImageSpec desc;
  FilePreamble preamble;
  auto in = openImage(path, subimage, desc, preamble);
  return desc;
}

ImageHeader readImageHeader(const std::string& path, int subimage)
{
  if (subimage == 0 && isExrFile(path))
    return readExrHeader(path);
  OIIO::ImageSpec desc;
  FilePreamble preamble;
  auto in = openImage(path, subimage, desc, preamble);
  return headerOf(desc);
}

namespace {

// Fills the planar, bottom-up pixels of `img` from interleaved, top-down
// file pixels.
void deinterleave(ImageData& img, const std::vector<float>& raw, int w, int h, int nc, const std::vector<int>& source)
{
  const size_t area = size_t(w) * h;
  img.pixels.assign(area * source.size(), 0.0f);
  for (size_t k = 0; k < source.size(); ++k) {
    float* dst = img.pixels.data() + k * area;
    for (int row = 0; row < h; ++row) {
      // Files store the top line first; the host's row 0 is the bottom line.
      const float* src = raw.data() + size_t(h - 1 - row) * w * nc + source[k];
      float* d = dst + size_t(row) * w;
      for (int x = 0; x < w; ++x)
        d[x] = src[size_t(x) * nc];
    }
  }
}

// Every channel as float; integer codes become code / largest code.
std::vector<float> readPixels(OIIO::ImageInput& in, const std::string& path, int subimage,
                              const OIIO::ImageSpec& desc)
{
  std::vector<float> raw(size_t(desc.width) * desc.height * desc.nchannels);
  if (!in.read_image(subimage, 0, 0, desc.nchannels, OIIO::TypeDesc::FLOAT, raw.data())) {
    std::string why = in.geterror();
    throw std::runtime_error("cannot read " + path + ": " + (why.empty() ? "corrupt or truncated file" : why));
  }
  return raw;
}

// A file OpenImageIO reads (every kind but EXR), in the host's layout.
ImageData readLibraryFile(const std::string& path, int subimage, const std::string& colorSpace)
{
  OIIO::ImageSpec desc;
  FilePreamble preamble;
  auto in = openImage(path, subimage, desc, preamble);
  if (preamble.dpx)
    checkDpxLength(path, preamble, desc);
  ImageData img;
  // One reader for header and pixels: a second open of a movie disturbs the first one's decoding position.
  img.header = headerOf(desc);
  std::vector<float> raw = readPixels(*in, path, subimage, desc);
  applyOrientation(desc, raw, path);
  std::vector<int> source;
  presentedChannels(desc, source);
  deinterleave(img, raw, img.header.width, img.header.height, desc.nchannels, source);
  img.header.colorSpace = colorSpace.empty() ? defaultColorSpace(fileEncoding(desc)) : colorSpace;
  return img;
}

} // namespace

ImageData readImageFile(const std::string& path, int subimage, const std::string& colorSpace)
{
  ImageData img;
  if (subimage == 0 && isExrFile(path)) {
    img = readExrFile(path);
    img.header.colorSpace = colorSpace.empty() ? defaultColorSpace(Encoding::Float) : colorSpace;
  } else {
    img = readLibraryFile(path, subimage, colorSpace);
  }
  toSceneLinear(img, img.header.colorSpace);
  return img;
}

std::string fileChannelName(Channel c) { return exrChannelName(c); }

} // namespace HostLayer

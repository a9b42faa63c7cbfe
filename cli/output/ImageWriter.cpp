#include "cli/output/ImageWriter.h"

#include "HostLayer/ColorSpaces.h"
#include "HostLayer/ExrFile.h"
#include "HostLayer/ImageFile.h"
#include "cli/output/FileReplacement.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/strutil.h>
#include <OpenImageIO/imageio.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

using namespace DD::Image;

namespace cli {

namespace {

std::string extensionOf(const std::string& path)
{
  return OIIO::Strutil::lower(OIIO::Filesystem::extension(path));
}

// libjpeg ends the process (exit()) on an error of its own: refuse what it refuses first.
constexpr int kJpegMaxSide = 65500;

// The whole file in memory, encoded by OpenImageIO. Writing it is left to
// replaceFile, which checks every byte reaches the disk: some of the library's
// writers do not report a failed write.
std::vector<unsigned char> encode(const std::string& ext, const OIIO::ImageSpec& desc, const float* pixels)
{
  if ((ext == ".jpg" || ext == ".jpeg") && (desc.width > kJpegMaxSide || desc.height > kJpegMaxSide))
    throw std::runtime_error("JPEG files are at most " + std::to_string(kJpegMaxSide) + " pixels wide and high");
  std::vector<unsigned char> bytes;
  OIIO::Filesystem::IOVecOutput memory(bytes);
  auto out = OIIO::ImageOutput::create("frame" + ext, &memory);
  if (!out)
    throw std::runtime_error(OIIO::geterror());
  auto fail = [&out](const char* fallback) {
    const std::string why = out->geterror();
    throw std::runtime_error(why.empty() ? fallback : why);
  };
  if (!out->open("frame" + ext, desc))
    fail("cannot start the file");
  if (!out->write_image(OIIO::TypeDesc::FLOAT, pixels))
    fail("encoding failed");
  if (!out->close())
    fail("cannot finish the file");
  return bytes;
}

} // namespace

// The region's pixels interleaved top-down, zeros outside the plane and for
// channels it lacks.
std::vector<float> interleaved(const ImagePlane& plane, const std::vector<Channel>& chans, const Box& region)
{
  const int w = region.w(), h = region.h();
  const Box& b = plane.bounds();
  const size_t nc = chans.size();
  std::vector<float> pixels(size_t(w) * h * nc, 0.0f);
  const float* data = plane.readable();
  const int x0 = std::max(region.x(), b.x()), x1 = std::min(region.r(), b.r());
  const int y0 = std::max(region.y(), b.y()), y1 = std::min(region.t(), b.t());
  for (size_t k = 0; k < nc; ++k) {
    const int z = plane.chanNo(chans[k]);
    if (z < 0 || !data)
      continue;
    for (int y = y0; y < y1; ++y) {
      float* out = pixels.data() + (size_t(region.t() - 1 - y) * w + size_t(x0 - region.x())) * nc + k;
      const float* in = data + (y - b.y()) * plane.rowStride() + z * plane.chanStride();
      for (int x = x0; x < x1; ++x)
        out[size_t(x - x0) * nc] = in[(x - b.x()) * plane.colStride()];
    }
  }
  return pixels;
}

namespace {

// The colour space a file of this type is written in by default, as the
// application's Write node chooses it.
std::string defaultOutputColorSpace(const std::string& ext, OIIO::TypeDesc type)
{
  using HostLayer::Encoding;
  if (ext == ".exr")
    return HostLayer::defaultColorSpace(Encoding::Float);
  if (ext == ".dpx")
    return HostLayer::defaultColorSpace(Encoding::Log);
  return HostLayer::defaultColorSpace(type == OIIO::TypeDesc::UINT8 ? Encoding::Integer8 : Encoding::Integer16);
}

} // namespace

void encodeColor(std::vector<float>& pixels, const std::vector<Channel>& chans, const std::string& colorSpace,
                 bool integer)
{
  int rgb[3] = {-1, -1, -1};
  for (size_t k = 0; k < chans.size(); ++k)
    for (int c = 0; c < 3; ++c)
      if (chans[k] == Channel(Chan_Red + c))
        rgb[c] = int(k);
  // A grey file's channel converts as a neutral.
  for (size_t k = 0; k < chans.size() && rgb[0] < 0; ++k)
    if (chans[k] == findChannel("other.Y"))
      rgb[0] = rgb[1] = rgb[2] = int(k);
  const size_t nc = chans.size();
  if (rgb[0] >= 0 && rgb[1] >= 0 && rgb[2] >= 0)
    HostLayer::convertColor(pixels.data(), pixels.size() / nc, int(nc), rgb,
                            HostLayer::defaultColorSpace(HostLayer::Encoding::Float), colorSpace);
  if (integer)
    for (float& v : pixels)
      v = std::isfinite(v) ? v : 0.0f;
}

bool supportedOutputExtension(const std::string& path)
{
  const std::string ext = extensionOf(path);
  return ext == ".exr" || ext == ".png" || ext == ".tif" || ext == ".tiff" || ext == ".jpg" || ext == ".jpeg" ||
         ext == ".dpx";
}

namespace {

// An EXR through OpenEXR: the source's parts, names, types and attributes.
std::vector<unsigned char> encodeExrFrame(const ImagePlane& plane, const WriteSettings& settings,
                                          const FrameContext& context)
{
  HostLayer::ExrFrame frame;
  frame.plane = &plane;
  frame.format = context.format;
  for (Channel c : plane.channels())
    frame.channels.push_back(c);
  frame.layout = context.exr;
  frame.type = settings.exrType;
  frame.compression = settings.compression;
  frame.colorSpace = settings.colorSpace;
  frame.framesPerSecond = context.clock.framesPerSecond;
  frame.timecode = outputTimecode(context.clock, context.framesAfterSource);
  frame.software = "Tweenova tweenova-render " TWEENOVA_VERSION;
  return HostLayer::encodeExr(frame);
}

// The channels a file other than EXR takes: rgba's, or a grey file's one
// channel with alpha; JPEG has no alpha.
std::vector<Channel> imageChannels(const ImagePlane& plane, const std::string& ext)
{
  std::vector<Channel> chans;
  const Channel grey = findChannel("other.Y");
  const bool colour = plane.channels().contains(Chan_Red) || plane.channels().contains(Chan_Green) ||
                      plane.channels().contains(Chan_Blue);
  for (Channel c : plane.channels())
    if (c == Chan_Red || c == Chan_Green || c == Chan_Blue || c == Chan_Alpha || (!colour && c == grey && grey))
      chans.push_back(c);
  if (ext == ".jpg" || ext == ".jpeg")
    chans.erase(std::remove(chans.begin(), chans.end(), Chan_Alpha), chans.end());
  return chans;
}

// A PNG, TIFF, JPEG or DPX through OpenImageIO: the format's frame, its
// colour space's codes.
std::vector<unsigned char> encodeImageFrame(const std::string& path, const std::string& ext, const ImagePlane& plane,
                                            const WriteSettings& settings, const Format& format)
{
  const bool framed = format.width > 0 && format.height > 0;
  const Box region = framed ? Box(0, 0, format.width, format.height) : plane.bounds();
  const std::vector<Channel> chans = imageChannels(plane, ext);
  if (chans.empty())
    throw std::runtime_error("cannot write " + path + ": none of the rendered channels fits a '" + ext + "' file");
  OIIO::TypeDesc type = OIIO::TypeDesc::UINT8;
  if (ext == ".tif" || ext == ".tiff" || ext == ".dpx")
    type = OIIO::TypeDesc::UINT16;
  const std::string colorSpace = settings.colorSpace.empty() ? defaultOutputColorSpace(ext, type) : settings.colorSpace;
  OIIO::ImageSpec desc(region.w(), region.h(), int(chans.size()), type);
  if (ext == ".dpx") {
    // 10-bit, as film scans are; a log one says so.
    desc.attribute("oiio:BitsPerSample", 10);
    if (!HostLayer::convertsColor(colorSpace, "compositing_log"))
      desc.attribute("dpx:Transfer", "Printing density");
  }
  desc.channelnames.clear();
  desc.alpha_channel = -1;
  for (size_t i = 0; i < chans.size(); ++i) {
    desc.channelnames.push_back(HostLayer::fileChannelName(chans[i]));
    if (chans[i] == Chan_Alpha)
      desc.alpha_channel = int(i);
  }
  if (ext == ".jpg" || ext == ".jpeg")
    desc.attribute("Compression", "jpeg:95");
  std::vector<float> pixels = interleaved(plane, chans, region);
  encodeColor(pixels, chans, colorSpace, true);
  return encode(ext, desc, pixels.data());
}

} // namespace

void writeImage(const std::string& path, const ImagePlane& plane, const WriteSettings& settings,
                const FrameContext& context)
{
  const std::string ext = extensionOf(path);
  if (!supportedOutputExtension(path))
    throw std::runtime_error("cannot write " + path + ": unsupported file type '" + ext + "'");
  std::vector<unsigned char> bytes;
  try {
    bytes = ext == ".exr" ? encodeExrFrame(plane, settings, context)
                          : encodeImageFrame(path, ext, plane, settings, context.format);
  } catch (const std::exception& e) {
    const std::string what = e.what();
    if (what.find(path) != std::string::npos)
      throw;
    throw std::runtime_error("cannot write " + path + ": " + what);
  }
  try {
    replaceFile(path, bytes.data(), bytes.size());
  } catch (const std::exception& e) {
    throw std::runtime_error("cannot write " + path + ": " + e.what());
  }
}

} // namespace cli

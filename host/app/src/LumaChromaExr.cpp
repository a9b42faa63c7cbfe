#include "LumaChromaExr.h"

#include <OpenEXR/ImfArray.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <OpenEXR/ImfStandardAttributes.h>
#include <OpenEXR/ImfTestFile.h>

#include <stdexcept>

namespace HostLayer {

namespace {

const char* compressionName(Imf::Compression c)
{
  switch (c) {
  case Imf::NO_COMPRESSION: return "none";
  case Imf::RLE_COMPRESSION: return "rle";
  case Imf::ZIPS_COMPRESSION: return "zips";
  case Imf::ZIP_COMPRESSION: return "zip";
  case Imf::PIZ_COMPRESSION: return "piz";
  case Imf::PXR24_COMPRESSION: return "pxr24";
  case Imf::B44_COMPRESSION: return "b44";
  case Imf::B44A_COMPRESSION: return "b44a";
  case Imf::DWAA_COMPRESSION: return "dwaa";
  case Imf::DWAB_COMPRESSION: return "dwab";
  default: return "zip";
  }
}

} // namespace

bool isLumaChromaExr(const std::string& path)
{
  try {
    return Imf::isOpenExrFile(path.c_str()) && (Imf::RgbaInputFile(path.c_str()).channels() & Imf::WRITE_C);
  } catch (const std::exception&) {
    return false;
  }
}

OIIO::ImageSpec lumaChromaDescription(const std::string& path)
{
  try {
    Imf::RgbaInputFile file(path.c_str());
    const Imath::Box2i data = file.dataWindow(), display = file.displayWindow();
    const bool alpha = file.channels() & Imf::WRITE_A;
    OIIO::ImageSpec desc(data.max.x - data.min.x + 1, data.max.y - data.min.y + 1, alpha ? 4 : 3,
                         OIIO::TypeDesc::HALF);
    desc.x = data.min.x;
    desc.y = data.min.y;
    desc.full_x = display.min.x;
    desc.full_y = display.min.y;
    desc.full_width = display.max.x - display.min.x + 1;
    desc.full_height = display.max.y - display.min.y + 1;
    desc.alpha_channel = alpha ? 3 : -1;
    desc.attribute("PixelAspectRatio", file.pixelAspectRatio());
    desc.attribute("compression", compressionName(file.compression()));
    if (Imf::hasFramesPerSecond(file.header())) {
      const Imf::Rational fps = Imf::framesPerSecond(file.header());
      const int rate[2] = {fps.n, int(fps.d)};
      desc.attribute("FramesPerSecond", OIIO::TypeRational, rate);
    }
    return desc;
  } catch (const std::exception& e) {
    throw std::runtime_error("cannot open " + path + ": " + e.what());
  }
}

std::vector<float> readLumaChroma(const std::string& path, const OIIO::ImageSpec& desc)
{
  try {
    Imf::RgbaInputFile file(path.c_str());
    const Imath::Box2i data = file.dataWindow();
    const int w = desc.width, h = desc.height, nc = desc.nchannels;
    Imf::Array2D<Imf::Rgba> rgba(h, w);
    file.setFrameBuffer(&rgba[0][0] - data.min.x - size_t(data.min.y) * w, 1, size_t(w));
    file.readPixels(data.min.y, data.max.y);
    std::vector<float> pixels(size_t(w) * h * nc);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        float* p = pixels.data() + (size_t(y) * w + x) * nc;
        const Imf::Rgba& v = rgba[y][x];
        p[0] = v.r;
        p[1] = v.g;
        p[2] = v.b;
        if (nc == 4)
          p[3] = v.a;
      }
    return pixels;
  } catch (const std::exception& e) {
    throw std::runtime_error("cannot read " + path + ": " + e.what());
  }
}

} // namespace HostLayer

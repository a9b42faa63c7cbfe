#include "cli/ImageWriter.h"

#include "HostLayer/ImageFile.h"

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
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return {};
  std::string ext = path.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return ext;
}

std::string temporaryName(const std::string& path)
{
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = base.rfind('.');
  return dir + "." + base.substr(0, dot) + ".tmp" + std::to_string(getpid()) + base.substr(dot);
}

} // namespace

bool supportedOutputExtension(const std::string& path)
{
  const std::string ext = extensionOf(path);
  return ext == ".exr" || ext == ".png" || ext == ".tif" || ext == ".tiff" || ext == ".jpg" || ext == ".jpeg" ||
         ext == ".dpx";
}

void writeImage(const std::string& path, const ImagePlane& plane, const WriteSettings& settings)
{
  const std::string ext = extensionOf(path);
  if (!supportedOutputExtension(path))
    throw std::runtime_error("cannot write " + path + ": unsupported file type '" + ext + "'");
  const bool exr = ext == ".exr";
  const Box& box = plane.bounds();
  const int w = box.w(), h = box.h();

  // Channels to write: every channel for EXR, the rgba ones elsewhere.
  std::vector<Channel> chans;
  for (Channel c : plane.channels())
    if (exr || c == Chan_Red || c == Chan_Green || c == Chan_Blue || c == Chan_Alpha)
      chans.push_back(c);
  if (ext == ".jpg" || ext == ".jpeg")
    chans.erase(std::remove(chans.begin(), chans.end(), Chan_Alpha), chans.end());
  if (chans.empty())
    throw std::runtime_error("cannot write " + path + ": none of the rendered channels fits a '" + ext + "' file");

  OIIO::TypeDesc type = OIIO::TypeDesc::UINT8;
  if (exr)
    type = settings.floatExr ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::HALF;
  else if (ext == ".tif" || ext == ".tiff" || ext == ".dpx")
    type = OIIO::TypeDesc::UINT16;
  OIIO::ImageSpec desc(w, h, int(chans.size()), type);
  desc.full_x = 0;
  desc.full_y = 0;
  desc.channelnames.clear();
  desc.alpha_channel = -1;
  for (size_t i = 0; i < chans.size(); ++i) {
    desc.channelnames.push_back(HostLayer::fileChannelName(chans[i]));
    if (chans[i] == Chan_Alpha)
      desc.alpha_channel = int(i);
  }
  if (exr)
    desc.attribute("compression", "zip");
  else if (ext == ".jpg" || ext == ".jpeg")
    desc.attribute("Compression", "jpeg:95");

  // Interleave top-down; integer formats are encoded to sRGB (alpha stays linear).
  const size_t nc = chans.size();
  std::vector<float> pixels(size_t(w) * h * nc);
  const float* data = plane.readable();
  for (size_t k = 0; k < nc; ++k) {
    const bool encode = !exr && chans[k] != Chan_Alpha;
    const int z = plane.chanNo(chans[k]);
    for (int row = 0; row < h; ++row) {
      float* out = pixels.data() + size_t(h - 1 - row) * w * nc + k;
      if (z < 0 || !data) {
        for (int x = 0; x < w; ++x)
          out[size_t(x) * nc] = 0.0f;
        continue;
      }
      const float* in = data + row * plane.rowStride() + z * plane.chanStride();
      for (int x = 0; x < w; ++x) {
        float v = in[x * plane.colStride()];
        if (encode)
          v = std::isfinite(v) ? HostLayer::linearToSrgb(std::max(v, 0.0f)) : 0.0f;
        out[size_t(x) * nc] = v;
      }
    }
  }

  const std::string tmp = temporaryName(path);
  auto fail = [&](const std::string& why) {
    std::remove(tmp.c_str());
    throw std::runtime_error("cannot write " + path + ": " + why);
  };
  {
    auto out = OIIO::ImageOutput::create(tmp);
    if (!out)
      fail(OIIO::geterror());
    if (!out->open(tmp, desc))
      fail(out->geterror().empty() ? std::strerror(errno) : out->geterror());
    if (!out->write_image(OIIO::TypeDesc::FLOAT, pixels.data())) {
      std::string why = out->geterror();
      out->close();
      fail(why.empty() ? "write failed" : why);
    }
    if (!out->close())
      fail(out->geterror().empty() ? "could not finish the file" : out->geterror());
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    fail(why);
  }
}

} // namespace cli

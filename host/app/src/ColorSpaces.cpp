#include "HostLayer/ColorSpaces.h"

#include "DDImage/Channel.h"

#include <OpenImageIO/strutil.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

namespace HostLayer {

namespace {

// ocio/config.ocio beside the library (or program) this code is part of.
std::string builtinConfigPath()
{
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&builtinConfigPath), &info) || !info.dli_fname)
    return "ocio/config.ocio";
  const std::string self = info.dli_fname;
  const size_t slash = self.rfind('/');
  return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/ocio/config.ocio";
}

struct LoadedConfig {
  std::unique_ptr<OIIO::ColorConfig> config;
  std::string source;
};

const LoadedConfig& loaded()
{
  static const LoadedConfig config = [] {
    LoadedConfig c;
    const char* env = std::getenv("OCIO");
    const bool fromEnv = env && *env;
    const std::string path = fromEnv ? env : builtinConfigPath();
    c.source = fromEnv ? "$OCIO=" + path : path;
    if (access(path.c_str(), R_OK) != 0)
      throw std::runtime_error("cannot read the colour configuration " + c.source);
    c.config = std::make_unique<OIIO::ColorConfig>(path);
    if (c.config->has_error())
      throw std::runtime_error("cannot load the colour configuration " + c.source + ": " + c.config->geterror());
    return c;
  }();
  return config;
}

OIIO::ColorProcessorHandle processor(const std::string& from, const std::string& to)
{
  OIIO::ColorProcessorHandle p = colorConfig().createColorProcessor(from, to);
  if (!p)
    throw std::runtime_error("cannot convert colour from '" + from + "' to '" + to + "' with the configuration " +
                             colorConfigSource());
  return p;
}

std::string roleSpace(const char* role)
{
  const char* space = colorConfig().getColorSpaceNameByRole(role);
  return space ? space : "";
}

bool hasColorSpace(const std::string& name)
{
  for (const std::string& n : colorConfig().getColorSpaceNames())
    if (OIIO::Strutil::iequals(n, name))
      return true;
  return false;
}

// Converts `count` colour triplets through `p` in place, gathered in rows of
// a bounded size: `at(i, c)` is where component c of triplet i lives.
template <typename At>
void convertTriplets(const OIIO::ColorProcessor& p, size_t count, At at)
{
  constexpr size_t kRow = 4096;
  std::vector<float> row(kRow * 3);
  for (size_t start = 0; start < count; start += kRow) {
    const size_t n = std::min(kRow, count - start);
    for (size_t i = 0; i < n; ++i)
      for (int c = 0; c < 3; ++c)
        row[i * 3 + c] = *at(start + i, c);
    p.apply(row.data(), int(n), 1, 3, sizeof(float), 3 * sizeof(float), OIIO::AutoStride);
    for (size_t i = 0; i < n; ++i)
      for (int c = 0; c < 3; ++c)
        *at(start + i, c) = row[i * 3 + c];
  }
}

} // namespace

const OIIO::ColorConfig& colorConfig() { return *loaded().config; }

std::string colorConfigSource() { return loaded().source; }

std::string checkedColorSpace(const std::string& name)
{
  if (hasColorSpace(name) || !roleSpace(name.c_str()).empty())
    return name;
  std::string names;
  for (const std::string& n : colorConfig().getColorSpaceNames())
    names += (names.empty() ? "" : ", ") + n;
  throw std::runtime_error("no colour space '" + name + "' in the colour configuration " + colorConfigSource() +
                           " (it has " + names + ")");
}

std::string defaultColorSpace(Encoding encoding)
{
  // A configuration without the role: its own name, which OpenImageIO also
  // resolves ("scene_linear"), or sRGB for the integer ones.
  auto role = [](const char* name) {
    const std::string space = roleSpace(name);
    return space.empty() ? std::string(name == std::string("scene_linear") ? "scene_linear" : "sRGB") : space;
  };
  switch (encoding) {
  case Encoding::Float:
    return role("scene_linear");
  case Encoding::Integer8:
    return role("matte_paint");
  case Encoding::Integer16:
    return role("texture_paint");
  case Encoding::Log: {
    const std::string log = roleSpace("compositing_log");
    if (log.empty())
      throw std::runtime_error("the colour configuration " + colorConfigSource() +
                               " has no compositing_log role for log (Cineon) files: name their colour space");
    return log;
  }
  case Encoding::Video:
    return hasColorSpace("Rec709") ? std::string("Rec709") : role("matte_paint");
  }
  return role("scene_linear");
}

Encoding fileEncoding(const OIIO::ImageSpec& desc)
{
  const std::string transfer = desc.get_string_attribute("dpx:Transfer");
  if (OIIO::Strutil::iequals(transfer, "Printing density") || OIIO::Strutil::iequals(transfer, "Logarithmic"))
    return Encoding::Log;
  switch (desc.format.basetype) {
  case OIIO::TypeDesc::UINT8:
  case OIIO::TypeDesc::INT8:
    return Encoding::Integer8;
  case OIIO::TypeDesc::UINT16:
  case OIIO::TypeDesc::INT16:
  case OIIO::TypeDesc::UINT32:
  case OIIO::TypeDesc::INT32:
    return Encoding::Integer16;
  default:
    return Encoding::Float;
  }
}

bool convertsColor(const std::string& from, const std::string& to)
{
  auto resolve = [](const std::string& n) {
    const std::string byRole = roleSpace(n.c_str());
    return byRole.empty() ? n : byRole;
  };
  return !OIIO::Strutil::iequals(resolve(from), resolve(to));
}

void convertColor(float* pixels, size_t count, int channels, const int rgb[3], const std::string& from,
                  const std::string& to)
{
  if (count == 0 || !convertsColor(from, to))
    return;
  OIIO::ColorProcessorHandle p = processor(from, to);
  convertTriplets(*p, count, [&](size_t i, int c) { return pixels + i * size_t(channels) + size_t(rgb[c]); });
}

bool colourBlocks(const std::vector<DD::Image::Channel>& chans, int (&block)[3])
{
  const DD::Image::Channel wanted[3] = {DD::Image::Chan_Red, DD::Image::Chan_Green, DD::Image::Chan_Blue};
  for (int c = 0; c < 3; ++c) {
    const auto it = std::find(chans.begin(), chans.end(), wanted[c]);
    if (it == chans.end())
      break;
    block[c] = int(it - chans.begin());
    if (c == 2)
      return true;
  }
  // A grey file's channel converts as a neutral: red, green and blue alike.
  const auto grey = std::find(chans.begin(), chans.end(), DD::Image::findChannel("other.Y"));
  if (grey == chans.end() || *grey == DD::Image::Chan_Black)
    return false;
  block[0] = block[1] = block[2] = int(grey - chans.begin());
  return true;
}

void toSceneLinear(ImageData& img, const std::string& from)
{
  int block[3];
  if (!colourBlocks(img.header.channels, block))
    return;
  const std::string linear = defaultColorSpace(Encoding::Float);
  if (!convertsColor(from, linear))
    return;
  const size_t area = size_t(img.header.width) * img.header.height;
  float* data = img.pixels.data();
  convertTriplets(*processor(from, linear), area, [&](size_t i, int c) { return data + size_t(block[c]) * area + i; });
}

} // namespace HostLayer

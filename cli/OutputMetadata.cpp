#include "cli/OutputMetadata.h"

#include "cli/Timecode.h"

#include "HostLayer/ImageFile.h"
#include "HostLayer/MovieProbe.h"
#include "HostLayer/Read.h"

#include <OpenImageIO/strutil.h>

#include <sys/stat.h>

#include <regex>

namespace cli {

namespace {

// Attributes the writer sets itself, or that describe the source file rather
// than the picture (an orientation was applied when the file was read).
bool layoutAttribute(const std::string& name)
{
  using OIIO::Strutil::iequals;
  using OIIO::Strutil::istarts_with;
  return istarts_with(name, "oiio:") || iequals(name, "compression") || iequals(name, "Software") ||
         iequals(name, "openexr:chunkCount") || iequals(name, "openexr:version") || iequals(name, "name") ||
         iequals(name, "type") || iequals(name, "tiles") || iequals(name, "Orientation");
}

double framesPerSecond(const OIIO::ImageSpec& desc)
{
  const OIIO::ParamValue* fps = desc.find_attribute("FramesPerSecond");
  if (fps && fps->type() == OIIO::TypeRational) {
    const int* r = static_cast<const int*>(fps->data());
    if (r[1] != 0)
      return double(r[0]) / double(r[1]);
  }
  return 24.0;
}

} // namespace

OIIO::TypeDesc exrChannelType(const std::string& name, const OIIO::ImageSpec* source, ExrChannelType choice)
{
  if (choice == ExrChannelType::Float)
    return OIIO::TypeDesc::FLOAT;
  if (choice == ExrChannelType::Half || !source)
    return OIIO::TypeDesc::HALF;
  for (int i = 0; i < source->nchannels; ++i) {
    if (source->channel_name(i) != name)
      continue;
    const OIIO::TypeDesc t = source->channelformat(i);
    if (t == OIIO::TypeDesc::FLOAT || t == OIIO::TypeDesc::UINT32)
      return t;
    break;
  }
  return OIIO::TypeDesc::HALF;
}

void carryAttributes(OIIO::ImageSpec& out, const OIIO::ImageSpec& source, long long framesAfterSource,
                     const std::string& compression)
{
  for (const OIIO::ParamValue& p : source.extra_attribs) {
    const std::string name = p.name().string();
    if (layoutAttribute(name) || (!compression.empty() && OIIO::Strutil::iequals(name, "openexr:dwaCompressionLevel")))
      continue;
    out.attribute(name, p.type(), p.data());
  }
  if (compression.empty())
    if (const std::string c = source.get_string_attribute("compression"); !c.empty())
      out.attribute("compression", c);
  const OIIO::ParamValue* tc = out.find_attribute("smpte:TimeCode");
  if (tc && tc->type() == OIIO::TypeTimeCode && framesAfterSource != 0) {
    unsigned int moved[2] = {static_cast<const unsigned int*>(tc->data())[0],
                             static_cast<const unsigned int*>(tc->data())[1]};
    moved[0] = advanceTimecode(moved[0], framesAfterSource, framesPerSecond(source));
    out.attribute("smpte:TimeCode", OIIO::TypeTimeCode, moved);
  }
}

std::shared_ptr<const OIIO::ImageSpec> movieAttributes(const std::string& input)
{
  HostLayer::SequencePattern pattern;
  std::string why;
  struct stat st;
  if (HostLayer::parseSequencePattern(input, pattern, why) || stat(input.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      !HostLayer::readImageHeader(input).movie)
    return nullptr;
  const HostLayer::MovieInfo info = HostLayer::probeMovie(input);
  auto attributes = std::make_shared<OIIO::ImageSpec>();
  if (info.fpsNumerator > 0) {
    const int rate[2] = {info.fpsNumerator, info.fpsDenominator};
    attributes->attribute("FramesPerSecond", OIIO::TypeRational, rate);
  }
  if (const std::optional<uint32_t> tc = parseTimecode(info.timecode)) {
    const unsigned int packed[2] = {*tc, 0};
    attributes->attribute("smpte:TimeCode", OIIO::TypeTimeCode, packed);
  }
  return attributes;
}

bool validExrCompression(const std::string& name)
{
  // zlib knows levels 0 to 9; DWA takes its quality level as a number.
  static const std::regex pattern("(none|rle|pxr24|b44|b44a|piz|(zips|zip)(:[0-9])?|(dwaa|dwab)(:[0-9]{1,3})?)");
  return std::regex_match(name, pattern);
}

} // namespace cli

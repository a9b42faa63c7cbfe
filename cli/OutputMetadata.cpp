#include "cli/OutputMetadata.h"

#include "cli/Timecode.h"

#include <OpenImageIO/strutil.h>

#include <regex>

namespace cli {

namespace {

// Attributes the writer sets itself, or that describe the source file rather than the picture.
bool layoutAttribute(const std::string& name)
{
  using OIIO::Strutil::iequals;
  using OIIO::Strutil::istarts_with;
  return istarts_with(name, "oiio:") || iequals(name, "compression") || iequals(name, "Software") ||
         iequals(name, "openexr:chunkCount") || iequals(name, "openexr:version") || iequals(name, "name") ||
         iequals(name, "type") || iequals(name, "tiles");
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

bool validExrCompression(const std::string& name)
{
  static const std::regex pattern("(none|rle|pxr24|b44|b44a|piz|(zips|zip|dwaa|dwab)(:[0-9]{1,3})?)");
  return std::regex_match(name, pattern);
}

} // namespace cli

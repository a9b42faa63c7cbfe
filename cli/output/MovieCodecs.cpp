#include "cli/output/MovieCodecs.h"

#include "HostLayer/ColorSpaces.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/strutil.h>

#include <algorithm>

namespace cli {

namespace {

const std::vector<MovieCodec> kCodecs = {
  // ProRes and DNxHR: intermediate codecs for editing and finishing.
  {"prores422hq", "prores_ks", "yuv422p10le", nullptr, {"-profile:v", "3"}, {Container::Mov, Container::Mkv}},
  {"prores422", "prores_ks", "yuv422p10le", nullptr, {"-profile:v", "2"}, {Container::Mov, Container::Mkv}},
  {"prores4444", "prores_ks", "yuv444p10le", "yuva444p10le", {"-profile:v", "4"}, {Container::Mov, Container::Mkv}},
  {"dnxhr_hq", "dnxhd", "yuv422p", nullptr, {"-profile:v", "dnxhr_hq"}, {Container::Mov, Container::Mkv}},
  {"dnxhr_hqx", "dnxhd", "yuv422p10le", nullptr, {"-profile:v", "dnxhr_hqx"}, {Container::Mov, Container::Mkv}},
  // Delivery codecs. H.264 is 8-bit, as players, browsers and hardware
  // decoders take it; h264_10bit (High 10) plays in few of them.
  {"h264", "libx264", "yuv420p", nullptr, {"-preset", "medium", "-crf", "18"},
   {Container::Mov, Container::Mp4, Container::Mkv}},
  {"h264_10bit", "libx264", "yuv420p10le", nullptr, {"-preset", "medium", "-crf", "18"},
   {Container::Mov, Container::Mp4, Container::Mkv}},
  // hvc1 is the tag QuickTime players look for.
  {"h265", "libx265", "yuv420p10le", nullptr, {"-preset", "medium", "-crf", "18", "-tag:v", "hvc1", "-x265-params",
                                               "log-level=error"},
   {Container::Mov, Container::Mp4, Container::Mkv}},
};

// The colour tags of the colour space the frames are encoded in, where they
// are known: the transfer and the Rec.709 primaries both encodings share.
struct ColorTags {
  const char* transfer = nullptr;
  const char* primaries = nullptr;
};

ColorTags colorTagsOf(const std::string& colorSpace)
{
  if (!HostLayer::convertsColor(colorSpace, "Rec709"))
    return {"bt709", "bt709"};
  if (!HostLayer::convertsColor(colorSpace, "sRGB"))
    return {"iec61966-2-1", "bt709"};
  return {};
}

// Full-range RGB to video-range Y'CbCr with the Rec.709 matrix (the one for
// HD and anything larger), in the codec's samples, tagged as such.
std::string videoFilter(const MovieSettings& settings)
{
  const char* format = settings.alpha ? settings.codec->alphaFormat : settings.codec->pixelFormat;
  std::string filter = "scale=out_color_matrix=bt709:out_range=tv:flags=accurate_rnd+full_chroma_int,format=" +
                       std::string(format) + ",setparams=range=tv:colorspace=bt709";
  const ColorTags tags = colorTagsOf(settings.colorSpace);
  if (tags.transfer)
    filter += ":color_trc=" + std::string(tags.transfer) + ":color_primaries=" + tags.primaries;
  return filter;
}

const char* muxerOf(Container container)
{
  switch (container) {
  case Container::Mp4:
    return "mp4";
  case Container::Mkv:
    return "matroska";
  default:
    return "mov";
  }
}

} // namespace

Container containerOf(const std::string& path)
{
  const std::string ext = OIIO::Filesystem::extension(path);
  using OIIO::Strutil::iequals;
  if (iequals(ext, ".mov"))
    return Container::Mov;
  if (iequals(ext, ".mp4"))
    return Container::Mp4;
  if (iequals(ext, ".mkv"))
    return Container::Mkv;
  return Container::None;
}

std::string containerName(Container container)
{
  switch (container) {
  case Container::Mov:
    return "mov";
  case Container::Mp4:
    return "mp4";
  case Container::Mkv:
    return "mkv";
  default:
    return "";
  }
}

const std::vector<MovieCodec>& movieCodecs() { return kCodecs; }

const MovieCodec& defaultCodec(Container container)
{
  const char* name = container == Container::Mp4 ? "h264" : container == Container::Mkv ? "h265" : "prores422hq";
  return *findCodec(name);
}

const MovieCodec* findCodec(const std::string& name)
{
  for (const MovieCodec& codec : kCodecs)
    if (name == codec.name)
      return &codec;
  return nullptr;
}

bool holds(Container container, const MovieCodec& codec)
{
  return std::find(codec.containers.begin(), codec.containers.end(), container) != codec.containers.end();
}

const char* rawPixelFormat(const MovieSettings& settings) { return settings.alpha ? "rgba64le" : "rgb48le"; }

std::vector<std::string> ffmpegArguments(const MovieSettings& settings, const std::string& timecode,
                                         const std::string& destination)
{
  std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
                                   "-f", "rawvideo", "-pix_fmt", rawPixelFormat(settings),
                                   "-s", std::to_string(settings.width) + "x" + std::to_string(settings.height),
                                   "-framerate", settings.rate.text(), "-i", "pipe:0",
                                   "-vf", videoFilter(settings), "-c:v", settings.codec->encoder};
  args.insert(args.end(), settings.codec->options.begin(), settings.codec->options.end());
  if (destination.empty()) {
    args.insert(args.end(), {"-f", "null", "-"});
    return args;
  }
  if (!timecode.empty())
    args.insert(args.end(), {"-timecode", timecode});
  // The index first, so that a player can start before the whole file is there.
  if (settings.container == Container::Mp4)
    args.insert(args.end(), {"-movflags", "+faststart"});
  args.insert(args.end(), {"-f", muxerOf(settings.container), destination});
  return args;
}

} // namespace cli

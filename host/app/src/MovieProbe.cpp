#include "HostLayer/MovieProbe.h"

#include "HostLayer/ChildProcess.h"

#include <OpenImageIO/strutil.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace HostLayer {

namespace {

using Json = nlohmann::json;

// A string field of an ffprobe JSON object ("" when absent or not a string).
std::string text(const Json& object, const char* key)
{
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A tag of `tags`, whatever the case of its name (Matroska writes TIMECODE).
std::string tag(const Json& owner, const std::string& name)
{
  const auto tags = owner.find("tags");
  if (tags == owner.end() || !tags->is_object())
    return {};
  for (const auto& [key, value] : tags->items())
    if (value.is_string() && OIIO::Strutil::iequals(key, name))
      return value.get<std::string>();
  return {};
}

// The display rotation in degrees: the stream's side data, else its "rotate" tag.
double rotationOf(const Json& stream)
{
  const auto sides = stream.find("side_data_list");
  if (sides != stream.end() && sides->is_array())
    for (const Json& side : *sides)
      if (side.contains("rotation") && side["rotation"].is_number())
        return side["rotation"].get<double>();
  return std::atof(tag(stream, "rotate").c_str());
}

bool parseRate(const std::string& text, int& num, int& den)
{
  char slash = 0;
  std::istringstream in(text);
  return (in >> num >> slash >> den) && slash == '/' && num > 0 && den > 0;
}

// Whether the first frames' timestamps are those of frame n at n / fps from
// the file's start, the time a seek counts from. Streams with packed
// B-frames (MPEG-4 in AVI) or shifted timestamps are not: a seek would
// deliver an earlier frame than asked.
bool framesOnTheGrid(const std::string& path, const MovieInfo& info)
{
  const std::string what = "cannot read movie " + path;
  constexpr int kFrames = 8;
  const std::string out = runChild({"ffprobe", "-v", "error", "-select_streams", "v:0", "-read_intervals",
                                    "%+#" + std::to_string(kFrames), "-show_entries",
                                    "frame=best_effort_timestamp_time", "-of", "csv=p=0", path},
                                   what);
  const double period = double(info.fpsDenominator) / info.fpsNumerator;
  std::istringstream in(out);
  int n = 0;
  for (std::string line; n < kFrames && std::getline(in, line);) {
    if (line.find_first_not_of(" ,\r") == std::string::npos)
      continue;  // a frame's side data (a rotated movie's display matrix) has a line of its own
    char* end = nullptr;
    const double t = std::strtod(line.c_str(), &end);
    if (end == line.c_str() || std::fabs(t - info.startTime - n * period) >= 0.5 * period)
      return false;
    ++n;
  }
  return n == kFrames;
}

// The first video stream and the format section of ffprobe's JSON for `path`.
std::pair<Json, Json> probeJson(const std::string& path, const std::string& what)
{
  const std::string out = runChild({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                    "stream=width,height,r_frame_rate,avg_frame_rate:stream_tags:stream_side_data:"
                                    "format=start_time:format_tags",
                                    "-of", "json", path},
                                   what);
  const Json all = Json::parse(out, nullptr, false);
  if (all.is_discarded() || !all.is_object())
    throw std::runtime_error(what + ": ffprobe's answer is not JSON");
  const Json streams = all.value("streams", Json::array());
  if (!streams.is_array() || streams.empty() || !streams[0].is_object())
    throw std::runtime_error(what + ": ffprobe finds no video stream");
  return {streams[0], all.value("format", Json::object())};
}

} // namespace

MovieInfo probeMovie(const std::string& path)
{
  const std::string what = "cannot read movie " + path;
  const auto [stream, format] = probeJson(path, what);
  MovieInfo info;
  info.width = stream.value("width", 0);
  info.height = stream.value("height", 0);
  if (info.width <= 0 || info.height <= 0)
    throw std::runtime_error(what + ": ffprobe finds no video stream");
  const double degrees = rotationOf(stream);
  if (std::fmod(degrees, 90.0) != 0.0)
    throw std::runtime_error(what + ": its frames are rotated by " + OIIO::Strutil::sprintf("%g", degrees) +
                             " degrees, which is not a multiple of 90");
  info.rotation = ((int(degrees) % 360) + 360) % 360;
  if (info.rotation % 180 == 90)
    std::swap(info.width, info.height);
  int avgNum = 0, avgDen = 1;
  if (parseRate(text(stream, "r_frame_rate"), info.fpsNumerator, info.fpsDenominator))
    info.constantRate = parseRate(text(stream, "avg_frame_rate"), avgNum, avgDen) &&
                        (long long)avgNum * info.fpsDenominator == (long long)info.fpsNumerator * avgDen;
  else
    info.fpsNumerator = 0, info.fpsDenominator = 1;
  info.startTime = std::atof(text(format, "start_time").c_str());
  info.timecode = tag(stream, "timecode");
  if (info.timecode.empty())
    info.timecode = tag(format, "timecode");
  return info;
}

void findSeekable(const std::string& path, MovieInfo& info)
{
  info.seekable = info.constantRate && framesOnTheGrid(path, info);
}

} // namespace HostLayer

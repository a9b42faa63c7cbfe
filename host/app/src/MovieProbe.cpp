#include "HostLayer/MovieProbe.h"

#include "HostLayer/ChildProcess.h"

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <stdexcept>

namespace HostLayer {

namespace {

// ffprobe's "key=value" lines; tags come as "TAG:name=value".
std::map<std::string, std::string> fields(const std::string& text)
{
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos)
      out.emplace(line.substr(0, eq), line.substr(eq + 1));
  }
  return out;
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

} // namespace

MovieInfo probeMovie(const std::string& path)
{
  const std::string what = "cannot read movie " + path;
  const std::string out = runChild({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                    "stream=width,height,r_frame_rate,avg_frame_rate:stream_tags=rotate,timecode:"
                                    "stream_side_data=rotation:format=start_time:format_tags=timecode",
                                    "-of", "default=noprint_wrappers=1", path},
                                   what);
  std::map<std::string, std::string> f = fields(out);
  MovieInfo info;
  info.width = std::atoi(f["width"].c_str());
  info.height = std::atoi(f["height"].c_str());
  if (info.width <= 0 || info.height <= 0)
    throw std::runtime_error(what + ": ffprobe finds no video stream");
  const std::string& turn = f.count("rotation") ? f["rotation"] : f["TAG:rotate"];
  const double degrees = std::atof(turn.c_str());
  if (std::fmod(degrees, 90.0) != 0.0)
    throw std::runtime_error(what + ": its frames are rotated by " + turn +
                             " degrees, which is not a multiple of 90");
  info.rotation = ((int(degrees) % 360) + 360) % 360;
  if (info.rotation % 180 == 90)
    std::swap(info.width, info.height);
  int avgNum = 0, avgDen = 1;
  if (parseRate(f["r_frame_rate"], info.fpsNumerator, info.fpsDenominator))
    info.constantRate = parseRate(f["avg_frame_rate"], avgNum, avgDen) &&
                        (long long)avgNum * info.fpsDenominator == (long long)info.fpsNumerator * avgDen;
  else
    info.fpsNumerator = 0, info.fpsDenominator = 1;
  info.startTime = std::atof(f["start_time"].c_str());
  info.timecode = f.count("TAG:timecode") ? f["TAG:timecode"] : std::string();
  return info;
}

void findSeekable(const std::string& path, MovieInfo& info)
{
  info.seekable = info.constantRate && framesOnTheGrid(path, info);
}

} // namespace HostLayer

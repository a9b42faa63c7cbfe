#include "cli/output/OutputMetadata.h"

#include "cli/output/Timecode.h"

#include "HostLayer/ImageFile.h"
#include "HostLayer/MovieProbe.h"
#include "HostLayer/Read.h"
#include "HostLayer/TextPattern.h"

#include <sys/stat.h>

namespace cli {

std::optional<SourceClock> movieClock(const std::string& input)
{
  HostLayer::SequencePattern pattern;
  std::string why;
  struct stat st;
  if (HostLayer::parseSequencePattern(input, pattern, why) || stat(input.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      !HostLayer::readImageHeader(input).movie)
    return std::nullopt;
  const HostLayer::MovieInfo info = HostLayer::probeMovie(input);
  SourceClock clock;
  if (info.fpsNumerator > 0)
    clock.framesPerSecond = std::make_pair(info.fpsNumerator, info.fpsDenominator);
  clock.timecode = parseTimecode(info.timecode);
  return clock;
}

std::optional<uint32_t> outputTimecode(const SourceClock& source, long long framesAfterSource)
{
  if (!source.timecode)
    return std::nullopt;
  const double fps = source.framesPerSecond && source.framesPerSecond->second > 0
                       ? double(source.framesPerSecond->first) / double(source.framesPerSecond->second)
                       : 24.0;
  return advanceTimecode(*source.timecode, framesAfterSource, fps);
}

bool validExrCompression(const std::string& name)
{
  // zlib knows levels 0 to 9; DWA takes its quality level as a number.
  static const HostLayer::TextPattern pattern("(none|rle|pxr24|b44|b44a|piz|(zips|zip)(:[0-9])?|(dwaa|dwab)(:[0-9]{1,3})?)");
  return pattern.match(name).has_value();
}

} // namespace cli

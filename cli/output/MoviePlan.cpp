#include "cli/output/MoviePlan.h"

#include "cli/output/OutputMetadata.h"

#include "HostLayer/ChildProcess.h"
#include "HostLayer/ColorSpaces.h"
#include "HostLayer/ExrFile.h"
#include "HostLayer/FileDescription.h"
#include "HostLayer/ImageFile.h"
#include "HostLayer/Read.h"

#include <iostream>
#include <sstream>
#include <vector>

using namespace DD::Image;

namespace cli {

namespace {

// The encoders this machine's ffmpeg lists.
bool ffmpegHasEncoder(const std::string& encoder, const std::string& what)
{
  std::string text;
  try {
    text = HostLayer::runChild({"ffmpeg", "-hide_banner", "-encoders"}, "cannot write movies");
  } catch (const std::exception& e) {
    throw UsageError{what, e.what()};
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string flags, name;
    if (words >> flags >> name && name == encoder)
      return true;
  }
  return false;
}

const MovieCodec& chosenCodec(const Options& options, Container container)
{
  if (options.codec.empty())
    return defaultCodec(container);
  // The options checked that the codec exists and the container holds it.
  return *findCodec(options.codec);
}

// The input's frame rate and where it comes from; nothing when it has none.
std::optional<FrameRate> inputFrameRate(const std::string& input, std::string& from)
{
  if (const std::optional<SourceClock> movie = movieClock(input)) {
    from = "the input movie's";
    return frameRateOf(*movie);
  }
  HostLayer::SequencePattern pattern;
  std::string why;
  std::string first = input;
  if (HostLayer::parseSequencePattern(input, pattern, why)) {
    const std::vector<int> frames = HostLayer::findFrames(pattern);
    if (frames.empty())
      return std::nullopt;
    first = HostLayer::frameFileName(pattern, frames.front());
  }
  try {
    from = "the FramesPerSecond of " + first;
    if (const HostLayer::ImageHeader header = HostLayer::readImageHeader(first); header.exr) {
      SourceClock clock;
      clock.framesPerSecond = HostLayer::exrClock(*header.exr).framesPerSecond;
      return frameRateOf(clock);
    }
    return frameRateOf(HostLayer::readFileDescription(first));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

FrameRate movieFrameRate(const Options& options, std::string& from)
{
  if (options.fps) {
    from = "--fps";
    return *options.fps;
  }
  if (std::optional<FrameRate> rate = inputFrameRate(options.input, from))
    return *rate;
  from = "the input carries no frame rate; --fps sets one";
  return FrameRate{};
}

std::string outputColorSpace(const Options& options)
{
  if (options.outputColorSpace.empty())
    return HostLayer::defaultColorSpace(HostLayer::Encoding::Video);
  try {
    return HostLayer::checkedColorSpace(options.outputColorSpace);
  } catch (const std::exception& e) {
    throw UsageError{"--output-colorspace " + options.outputColorSpace, e.what()};
  }
}

// Colour is what a movie holds: refused when the render writes none of it,
// and a warning names what it leaves out.
void checkChannels(const ChannelSet& channels, const MovieSettings& settings, const std::string& what)
{
  if (!channels.contains(Chan_Red) && !channels.contains(Chan_Green) && !channels.contains(Chan_Blue))
    throw UsageError{what, "a movie holds red, green and blue, and the render writes none of them"};
  std::string left;
  foreach (z, channels)
    if (z != Chan_Red && z != Chan_Green && z != Chan_Blue && !(z == Chan_Alpha && settings.alpha))
      left += (left.empty() ? "" : ", ") + std::string(getName(z));
  if (left.empty())
    return;
  const bool alphaLost = channels.contains(Chan_Alpha) && !settings.alpha;
  std::cerr << "tweenova-render: warning: " << settings.path << " holds red, green, blue"
            << (settings.alpha ? " and alpha" : "") << " only; not written: " << left
            << (alphaLost ? " (" + std::string(settings.codec->name) + " holds no alpha; prores4444 does)" : "")
            << std::endl;
}

// Encodes one black frame with the movie's settings and writes nothing.
void tryEncoder(const MovieSettings& settings, const std::string& what)
{
  const std::string trial = "cannot encode " + std::to_string(settings.width) + "x" +
                            std::to_string(settings.height) + " frames as " + settings.codec->name;
  const size_t samples = size_t(settings.width) * settings.height * (settings.alpha ? 4 : 3);
  const std::vector<uint16_t> black(samples, 0);
  try {
    HostLayer::FedChild ffmpeg = HostLayer::startFedChild(ffmpegArguments(settings, "", ""), trial, -1);
    HostLayer::feedChild(ffmpeg, black.data(), black.size() * sizeof(uint16_t));
    HostLayer::finishFedChild(ffmpeg, trial);
  } catch (const std::exception& e) {
    throw UsageError{what, e.what()};
  }
}

} // namespace

MovieSettings planMovie(const Options& options, const Format& format, const ChannelSet& channels)
{
  const std::string what = "output " + options.output;
  MovieSettings settings;
  settings.path = options.output;
  settings.container = containerOf(options.output);
  settings.codec = &chosenCodec(options, settings.container);
  if (!ffmpegHasEncoder(settings.codec->encoder, what))
    throw UsageError{what, std::string("this machine's ffmpeg has no ") + settings.codec->encoder + " encoder for " +
                             settings.codec->name + " (ffmpeg -encoders lists those it has)"};
  if (format.width <= 0 || format.height <= 0)
    throw UsageError{what, "the node puts out frames of no size"};
  settings.width = format.width;
  settings.height = format.height;
  std::string rateFrom;
  settings.rate = movieFrameRate(options, rateFrom);
  settings.colorSpace = outputColorSpace(options);
  settings.alpha = channels.contains(Chan_Alpha) && settings.codec->alphaFormat;
  checkChannels(channels, settings, what);
  tryEncoder(settings, what);
  if (!options.quiet)
    std::cerr << "tweenova-render: " << settings.path << ": " << settings.codec->name << ", " << settings.width << "x"
              << settings.height << (settings.alpha ? " with alpha" : "") << ", " << settings.rate.decimal()
              << " fps (" << rateFrom << "), " << settings.colorSpace << std::endl;
  return settings;
}

} // namespace cli

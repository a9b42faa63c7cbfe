// Deciding what a render does, and refusing what cannot be, before it starts.
#include "cli/run/RenderPlan.h"

#include "cli/output/FileReplacement.h"
#include "cli/output/MoviePlan.h"
#include "cli/run/OutputGuard.h"
#include "cli/run/SkipExisting.h"

#include "HostLayer/ColorSpaces.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace DD::Image;

namespace cli {

namespace {

// The folder a file will be written to exists and is writable; `what` names the file in the error.
void checkFolderOf(const std::string& path, const std::string& what)
{
  const std::string dir = folderOf(path);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw UsageError{what, "the folder " + dir + " does not exist"};
  if (access(dir.c_str(), W_OK) != 0)
    throw UsageError{what, "the folder " + dir + " is not writable"};
}

// The output: a sequence pattern with a frame number and a file type we
// write, or a movie's name without one, and folders that exist and are
// writable.
HostLayer::SequencePattern checkedOutput(const Options& options)
{
  HostLayer::SequencePattern out;
  std::string why;
  const bool pattern = HostLayer::parseSequencePattern(options.output, out, why);
  if (isMovieOutput(options.output)) {
    if (pattern)
      throw UsageError{"output " + options.output, "a movie is one file: its name takes no frame number"};
    out = HostLayer::SequencePattern{};
    out.text = options.output;
    out.movie = true;
  } else if (!pattern) {
    throw UsageError{"output " + options.output, why};
  } else if (!supportedOutputExtension(options.output)) {
    throw UsageError{"output " + options.output,
                     "unsupported file type (exr, png, tif, jpg, dpx; movies: mov, mp4, mkv)"};
  }
  checkFolderOf(options.output, "output " + options.output);
  if (!options.summaryJson.empty())
    checkFolderOf(options.summaryJson, "--summary-json " + options.summaryJson);
  return out;
}

WriteSettings writeSettings(const Options& options)
{
  WriteSettings settings;
  settings.exrType = options.floatOutput  ? ExrChannelType::Float
                     : options.halfOutput ? ExrChannelType::Half
                                          : ExrChannelType::AsSource;
  settings.compression = options.compression;
  if (!options.outputColorSpace.empty()) {
    try {
      settings.colorSpace = HostLayer::checkedColorSpace(options.outputColorSpace);
    } catch (const std::exception& e) {
      throw UsageError{"--output-colorspace " + options.outputColorSpace, e.what()};
    }
  }
  return settings;
}

// The channels the render writes: those asked for that the node puts out.
ChannelSet writtenChannels(const ChannelSet& available, const ChannelSet& asked)
{
  ChannelSet written = asked;
  written &= available;
  return written;
}

// --channels, parsed once the input's layers are known. A set that selects
// none of what the node puts out would fail every frame with "nothing to
// render": refused once, naming what there is.
ChannelSet checkedChannels(const std::string& text, const ChannelSet& available)
{
  ChannelSet asked;
  if (!parseChannelSet(text, asked))
    throw UsageError{"--channels " + text, "not a channel set (rgb, rgba, alpha, all, layer names)"};
  if (!writtenChannels(available, asked).empty())
    return asked;
  std::string names;
  foreach (z, available)
    names += (names.empty() ? "" : ", ") + std::string(getName(z));
  throw UsageError{"--channels " + text, "selects none of the input's channels (" + names + ")"};
}

} // namespace

RenderPlan planRender(const Options& options, std::vector<int> asked, const ChannelSet& available,
                      const Format& format)
{
  RenderPlan plan;
  plan.out = checkedOutput(options);
  plan.settings = writeSettings(options);
  // Every frame asked for: a frame --skip-existing would leave out may be the input itself.
  refuseOutputOntoInput(options.input, options.output, asked);
  refuseOverlongOutput(options.output, asked);
  if (!options.summaryJson.empty())
    refuseSummaryTarget(options.summaryJson, options.input, options.output, asked);
  plan.movie = movieClock(options.input);
  plan.frames = options.skipExisting ? framesStillToRender(asked, plan.out) : asked;
  plan.asked = std::move(asked);
  plan.channels = checkedChannels(options.channels, available);
  if (plan.out.movie)
    plan.movieOut = planMovie(options, format, writtenChannels(available, plan.channels));
  return plan;
}

} // namespace cli
